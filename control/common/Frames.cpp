// Reference frames: the rotations of the tool, world and user frames, gains
// and vectors turned into them, and the force present now measured in the
// compliance frame.
#include "ControlModule.h"

namespace {

// The rotation a velocity goes through from the base frame into `coord`, or
// back to the base frame with `toBase`; false for an unknown frame type,
// which leaves the velocity as it is.
bool VelocityRotation(RobotControlContext& host, const _REF_COORD& coord, bool toBase,
                      Eigen::Matrix3d& r) {
  switch (coord.type) {
    case COORD_BASE:
      r.setIdentity();
      return true;
    case COORD_TOOL:
      r = host.getR0();
      if (!toBase) r.transposeInPlace();
      return true;
    case COORD_WORLD:
      r = host.getWorldToBase().rotation;
      return true;
    case COORD_USER:
      if (toBase) {
        r = host.getHT_base2ucart(coord.index).rotation;
      } else {
        r = host.getHT_ucart2base(coord.index).rotation;
      }
      return true;
    default:
      return false;
  }
}

void RotateVelocity(RobotControlContext& host, const _REF_COORD& coord, bool toBase,
                    const Mota::TaskVelocity& in, Mota::TaskVelocity& out) {
  Eigen::Matrix3d r;
  if (!VelocityRotation(host, coord, toBase, r)) return;
  const Eigen::Vector3d linear = in.linear, angular = in.angular;  // `in` may be `out`
  // The angular half first; the host is asked for the rotation again for
  // the linear half.
  out.angular = r * angular;
  VelocityRotation(host, coord, toBase, r);
  out.linear = r * linear;
}

}  // namespace

void ControlModule::Base2UserCoordinate(_REF_COORD coord, const Mota::TaskVelocity& in,
                                        Mota::TaskVelocity& out) {
  RotateVelocity(*m_context, coord, false, in, out);
}

void ControlModule::User2BaseCoordniate(_REF_COORD coord, const Mota::TaskVelocity& in,
                                        Mota::TaskVelocity& out) {
  RotateVelocity(*m_context, coord, true, in, out);
}

Eigen::Matrix3d ControlModule::FrameRotation(int type, int userIndex) {
  switch (type) {
    case COORD_TOOL:
      return m_context->getR0();
    case COORD_WORLD:
      return m_context->getBaseToWorld().rotation;
    case COORD_USER:
      return m_context->getHT_base2ucart(userIndex).rotation;
    default:
      return Eigen::Matrix3d::Identity();
  }
}

void ControlModule::UpdateCoordRot(Eigen::Matrix6d& rotation, REF_COORD_MODE mode) {
  const _REF_COORD r = m_context->getRefCoord(mode);
  switch (r.type) {
    case COORD_TOOL:
    case COORD_WORLD:
      rotation.block<3, 3>(0, 0) = FrameRotation(r.type, r.index);
      rotation.block<3, 3>(3, 3) = FrameRotation(r.type, r.index);
      break;
    case COORD_USER:
      rotation.block<3, 3>(0, 0) = FrameRotation(r.type, m_context->getRefCoord(mode).index);
      rotation.block<3, 3>(3, 3) = FrameRotation(r.type, m_context->getRefCoord(mode).index);
      break;
    default:
      break;  // base frame: the matrix keeps what it holds
  }
}

// The rotation of a gain or vector frame: the tool, world or user frame
// (user frames by the compliance frame's index); false for the base frame
// and unknown types, which leave values as they are.
bool ControlModule::GainFrameRotation(const _REF_COORD& coord, Eigen::Matrix3d& r) {
  switch (coord.type) {
    case COORD_TOOL:
    case COORD_WORLD:
    case COORD_USER:
      r = FrameRotation(coord.type, coord.type == COORD_USER
                                        ? m_context->getRefCoord(REF_MODE_COMPLIANCE).index
                                        : 0);
      return true;
    default:
      return false;
  }
}

void ControlModule::ChangeCoordinate(_REF_COORD coord, const Eigen::Vector6d& in,
                                     Eigen::Vector6d& out) {
  const Eigen::Vector6d v = in;  // `in` and `out` may be the same vector
  out = v;
  Eigen::Matrix3d r;
  if (!GainFrameRotation(coord, r)) return;
  out.head<3>() = r * v.head<3>();
  out.tail<3>() = r * v.tail<3>();
}

void ControlModule::ChangeCoordinate(_REF_COORD coord, const Eigen::Vector6d& diagonal,
                                     Eigen::Matrix6d& out) {
  out = DiagonalVectoMat6D(diagonal);
  Eigen::Matrix3d r;
  if (!GainFrameRotation(coord, r)) return;
  out.block<3, 3>(0, 0) = r * out.block<3, 3>(0, 0) * r.transpose();
  out.block<3, 3>(3, 3) = r * out.block<3, 3>(3, 3) * r.transpose();
}

void ControlModule::SetRelativeMode(bool relative, Eigen::Vector6d& offset) {
  if (!relative) {
    offset.setZero();
    return;
  }
  // The sensed wrench is what the environment exerts on the tool (base
  // frame); a commanded force is what the tool exerts on the environment,
  // so the force present now, as a command, is its negative.
  Eigen::Vector6d sensed;
  if (CRobotInfo::fts) {
    sensed = m_context->getFTS_comp_FCtrl_lpf();
  } else {
    const Eigen::Matrix6d jinv = m_context->getCalInverseJacobianDLS(
        m_context->getTCPJ(), m_context->getCompliance_sv_max());
    sensed = jinv.transpose() * m_context->getJntExtTrq_Fctrl_lpf();
  }
  Eigen::Matrix6d frame = Eigen::Matrix6d::Identity();
  UpdateCoordRot(frame, REF_MODE_COMPLIANCE);
  offset = -(frame.transpose() * sensed);
}
