#include "ControlModule.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double kMinGainTime = 0.001;

// Field offsets of the command records.
constexpr size_t kStartStiffness = 2, kStartForce = 26, kStartTime = 50;
constexpr size_t kStiffnessValues = 5, kStiffnessTime = 29;
constexpr size_t kForceDirection = 5, kForceValues = 11, kForceTime = 35, kForceRelative = 39;
constexpr size_t kReleaseTime = 35;
constexpr size_t kFactorValues = 4, kFactorTime = 28;

const unsigned char* Bytes(const void* record) {
  return static_cast<const unsigned char*>(record);
}

void ReadFloats(const void* record, size_t offset, float (&out)[6]) {
  std::memcpy(out, Bytes(record) + offset, sizeof out);
}

// A time read from a record; non-finite values leave `time` as it was.
void ReadTime(const void* record, size_t offset, double& time) {
  float t;
  std::memcpy(&t, Bytes(record) + offset, sizeof t);
  if (std::isfinite(t)) time = t;
}

}  // namespace

ControlModule::ControlModule(long id, RobotControlContext* context)
    : m_id(static_cast<int32_t>(id)), m_context(context) {
  m_output.pose.setInit();
  m_output.velocity.linear.setZero();
  m_output.velocity.angular.setZero();
}

void ControlModule::SetControlMode(SERVO_MODE mode, MOTION_SPACE space) {
  m_context->setServoMode(mode);
  m_context->setMotionSpace(space);
}

void ControlModule::SetOutput(_ControlOutput output) {
  const SERVO_MODE mode = m_context->getServoMode();
  const MOTION_SPACE space = m_context->getMotionSpace();
  if (mode == SERVO_POSITION && space == SPACE_JOINT) {
    m_context->setJntPos_d(output.jointPosition);
    m_context->setJntVel_d(output.jointVelocity);
  } else if (mode == SERVO_POSITION && space == SPACE_TASK) {
    m_context->setTCPPose_d(output.pose);
    m_context->setTCPVel_d(output.velocity);
  } else if (mode == SERVO_TORQUE && (space == SPACE_JOINT || space == SPACE_TASK)) {
    m_context->setJntTrq_d(output.jointTorque);
  }
}

void ControlModule::InterpolateControlGain(Eigen::Vector6d& out, Eigen::Vector6d target,
                                           Eigen::Vector6d start) {
  // Written so that a NaN duration is raised as well.
  if (!(m_gainTime >= kMinGainTime)) m_gainTime = kMinGainTime;
  if (m_gainElapsed > m_gainTime) {
    out = target;
    m_context->setExpTimeStatus(EXPTIME_DONE);
  } else {
    for (int i = 0; i < 6; ++i)
      out[i] = start[i] + (target[i] - start[i]) / m_gainTime * m_gainElapsed;
    m_context->setExpTimeStatus(EXPTIME_RUNNING);
  }
}

void ControlModule::SetRelativeMode(bool relative, Eigen::Vector6d& offset) {
  if (!relative) {
    offset.setZero();
    return;
  }
  for (int i = 0; i < 6; ++i)
    offset[i] = CRobotInfo::fts ? m_context->getFTS_comp_FCtrl_lpf()[i]
                                : m_context->getJntExtTrq_Fctrl_lpf()[i];
}

void ControlModule::SetCompForceStatus(COMPFORCE_STATUS status) {
  m_context->setCompForceStatus(status);
}

void ControlModule::ResetControlVariables() {
  m_context->setJntPos_d(m_context->getJntPos());
  m_context->setJntVel_d(0.0);
  m_context->setJntAcc_d(0.0);
  m_context->setTCPPose_d(m_context->getTCPPose());
  m_context->setTCPPose_tg(m_context->getTCPPose());
  m_context->setTCPVel_d(0.0);
  m_context->setTCPAcc_d(0.0);
  m_context->setTCPVel_tg(0.0);
  m_context->setTCPAcc_tg(0.0);
  m_context->setJntTrq_d(m_context->getJntTrqGrav());
}

void ControlModule::FinControl() {
  ResetControlVariables();
  SetControlMode(SERVO_POSITION, SPACE_JOINT);
  SetCompForceStatus(COMPFORCE_OFF);
}

int ControlModule::CheckTorqueExtMonitoring() {
  double limit = CRobotInfo::Monitoring.extTorqueLimit;
  const int model = m_context->getModel();
  if ((model == 7 || model == 8) && m_context->getFlagOnlineTracking()) limit = 20.0;
  int over = 0;
  for (int i = 0; i < 6; ++i)
    if (std::fabs(m_context->getJntTrqExt()[i]) > limit) ++over;
  return over == 0 ? 1 : -1;
}

bool ControlModule::CheckExternalTorque() {
  const int32_t monitoring = m_context->getForceControlMonitoring();
  return CheckTorqueExtMonitoring() == -1 && monitoring == 0;
}

bool ControlModule::CheckComplianceSingularity() {
  const double s = m_context->getMinSingularValue();
  const double m = m_context->getCompliance_sv_max();
  if (s < m && m_context->getForceControlMonitoring() == 0) {
    m_context->SetError(RC_ERROR_LEVEL_ERROR, RC_ERROR_COMPLIANCE_SINGULARITY,
                        "min_singluar_value=%.3f compliance_sv_max=%.3f", s, m);
    FinControl();
    return true;
  }
  return false;
}

bool ControlModule::CheckTCPLength(double limit) {
  const Eigen::Vector3d t = m_context->getTCPToolLength();
  const double length = std::sqrt(t[0] * t[0] + t[1] * t[1] + t[2] * t[2]);
  if (length > limit) {
    m_context->SetError(RC_ERROR_LEVEL_ERROR, RC_ERROR_TCP_TOO_LONG,
                        "TCP is too Long (TCP value(%.1f, %.1f, %.1f)->Length(%.1f) > Limit(300)",
                        t[0] / 0.001, t[1] / 0.001, t[2] / 0.001, length / 0.001);
    FinControl();
    return true;
  }
  return false;
}

bool ControlModule::CheckStatusBeforeUpdate() {
  if (CheckComplianceSingularity()) return true;
  return CheckTCPLength(0.3);
}

// ---------------------------------------------------------------------------
// Frames and error vectors

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

void ControlModule::ChangeCoordinate(_REF_COORD coord, const Eigen::Vector6d& in,
                                     Eigen::Vector6d& out) {
  const Eigen::Vector6d v = in;  // `in` and `out` may be the same vector
  out = v;
  switch (coord.type) {
    case COORD_TOOL:
    case COORD_WORLD:
    case COORD_USER: {
      auto index = [&] {
        return coord.type == COORD_USER ? m_context->getRefCoord(REF_MODE_COMPLIANCE).index : 0;
      };
      out.head<3>() = FrameRotation(coord.type, index()) * v.head<3>();
      out.tail<3>() = FrameRotation(coord.type, index()) * v.tail<3>();
      break;
    }
    default:
      break;
  }
}

void ControlModule::ChangeCoordinate(_REF_COORD coord, const Eigen::Vector6d& diagonal,
                                     Eigen::Matrix6d& out) {
  out = DiagonalVectoMat6D(diagonal);
  switch (coord.type) {
    case COORD_TOOL:
    case COORD_WORLD:
    case COORD_USER: {
      auto index = [&] {
        return coord.type == COORD_USER ? m_context->getRefCoord(REF_MODE_COMPLIANCE).index : 0;
      };
      Eigen::Matrix3d r = FrameRotation(coord.type, index());
      out.block<3, 3>(0, 0) = r * out.block<3, 3>(0, 0) * r.transpose();
      r = FrameRotation(coord.type, index());
      out.block<3, 3>(3, 3) = r * out.block<3, 3>(3, 3) * r.transpose();
      break;
    }
    default:
      break;
  }
}

void ControlModule::Base2UserCoordinate(_REF_COORD coord, const Mota::TaskVelocity& in,
                                        Mota::TaskVelocity& out) {
  const Eigen::Vector3d linear = in.linear, angular = in.angular;
  switch (coord.type) {
    case COORD_BASE:
      out.angular = angular;
      out.linear = linear;
      break;
    case COORD_TOOL:
      out.angular = m_context->getR0().transpose() * angular;
      out.linear = m_context->getR0().transpose() * linear;
      break;
    case COORD_WORLD:
      out.angular = m_context->getWorldToBase().rotation * angular;
      out.linear = m_context->getWorldToBase().rotation * linear;
      break;
    case COORD_USER:
      out.angular = m_context->getHT_ucart2base(coord.index).rotation * angular;
      out.linear = m_context->getHT_ucart2base(coord.index).rotation * linear;
      break;
    default:
      break;
  }
}

void ControlModule::User2BaseCoordniate(_REF_COORD coord, const Mota::TaskVelocity& in,
                                        Mota::TaskVelocity& out) {
  const Eigen::Vector3d linear = in.linear, angular = in.angular;
  switch (coord.type) {
    case COORD_BASE:
      out.angular = angular;
      out.linear = linear;
      break;
    case COORD_TOOL:
      out.angular = m_context->getR0() * angular;
      out.linear = m_context->getR0() * linear;
      break;
    case COORD_WORLD:
      out.angular = m_context->getWorldToBase().rotation * angular;
      out.linear = m_context->getWorldToBase().rotation * linear;
      break;
    case COORD_USER:
      out.angular = m_context->getHT_base2ucart(coord.index).rotation * angular;
      out.linear = m_context->getHT_base2ucart(coord.index).rotation * linear;
      break;
    default:
      break;
  }
}

Eigen::Vector6d ControlModule::CalPoseError(const Mota::TaskPosition& a,
                                            const Mota::TaskPosition& b) {
  Eigen::Vector6d e;
  e.head<3>() = a.position - b.position;
  const Eigen::Matrix3d& ra = a.rotation;
  const Eigen::Matrix3d rel = ra.transpose() * static_cast<const Eigen::Matrix3d&>(b.rotation);
  const Eigen::AngleAxisd aa{Eigen::Quaterniond(rel)};
  e.tail<3>() = -(ra * (aa.angle() * aa.axis()));
  return e;
}

Eigen::Vector6d ControlModule::CalVelError(const Mota::TaskVelocity& a,
                                           const Mota::TaskVelocity& b) {
  Eigen::Vector6d e;
  e.head<3>() = a.linear - b.linear;
  e.tail<3>() = a.angular - b.angular;
  return e;
}

Eigen::Matrix6d ControlModule::DiagonalVectoMat6D(const Eigen::Vector6d& d) {
  Eigen::Matrix6d m = Eigen::Matrix6d::Zero();
  m.diagonal() = d;
  return m;
}

// ---------------------------------------------------------------------------
// Command records

int ControlModule::CheckCommandType(const void* record) {
  if (record == nullptr) return 0;
  int32_t type;
  std::memcpy(&type, record, sizeof type);
  return type;
}

void ControlModule::GetStartComplianceControlEvent(const void* record, Eigen::Vector6d& stiffness,
                                                   Eigen::Vector6d& force, double& time) {
  if (record == nullptr) return;
  float values[6];
  ReadFloats(record, kStartStiffness, values);
  ChangeIndexTransOri(stiffness, values, false);
  ReadFloats(record, kStartForce, values);
  ChangeIndexTransOri(force, values, false);
  ReadTime(record, kStartTime, time);
}

void ControlModule::GetTargetStiffness(const void* record, Eigen::Vector6d& stiffness,
                                       double& time) {
  if (record == nullptr) return;
  float values[6];
  ReadFloats(record, kStiffnessValues, values);
  ChangeIndexTransOri(stiffness, values, false);
  ReadTime(record, kStiffnessTime, time);
}

void ControlModule::GetTargetForce(const void* record, Eigen::Vector6d& force,
                                   Eigen::Vector6d& direction, double& time, bool& relative) {
  if (record == nullptr) return;
  unsigned char flags[6];
  std::memcpy(flags, Bytes(record) + kForceDirection, sizeof flags);
  ChangeIndexTransOri(direction, flags, false);
  float values[6];
  ReadFloats(record, kForceValues, values);
  ChangeIndexTransOri(force, values, false);
  ReadTime(record, kForceTime, time);
  relative = Bytes(record)[kForceRelative] == 1;
}

void ControlModule::GetReleaseForce(const void* record, Eigen::Vector6d& /*stiffness*/,
                                    Eigen::Vector6d& force, Eigen::Vector6d& direction,
                                    double& time) {
  if (record == nullptr) return;
  force.setZero();
  direction.setZero();
  ReadTime(record, kReleaseTime, time);
}

void ControlModule::GetTargetForceFactor(const void* record, Eigen::Vector6d& factors,
                                         double& time) {
  if (record == nullptr) return;
  float values[6];
  ReadFloats(record, kFactorValues, values);
  ChangeIndexTransOri(factors, values, false);
  ReadTime(record, kFactorTime, time);
}

void ControlModule::GetTargetDampingFactor(const void* record, Eigen::Vector6d& factors,
                                           double& time) {
  GetTargetForceFactor(record, factors, time);
}

bool ControlModule::GetStopComplianceControlEvent(const void* record) {
  return record != nullptr && Bytes(record)[0] == 1;
}

void ControlModule::ChangeIndexTransOri(Eigen::Vector6d& out, const float (&in)[6], bool absolute) {
  for (int i = 0; i < 6; ++i) {
    if (!std::isfinite(in[i])) continue;
    const double v = in[i];
    out[i] = absolute ? std::fabs(v) : v;
  }
}

void ControlModule::ChangeIndexTransOri(float (&out)[6], const Eigen::Vector6d& in, bool absolute) {
  for (int i = 0; i < 6; ++i) out[i] = static_cast<float>(absolute ? std::fabs(in[i]) : in[i]);
}

void ControlModule::ChangeIndexTransOri(Eigen::Vector6d& out, const unsigned char (&in)[6],
                                        bool /*absolute*/) {
  for (int i = 0; i < 6; ++i) out[i] = in[i];
}

void ControlModule::ChangeIndexTransOri(int (&out)[6], const Eigen::Vector6d& in, bool absolute) {
  constexpr double kMax = std::numeric_limits<int32_t>::max();
  constexpr double kMin = std::numeric_limits<int32_t>::min();
  for (int i = 0; i < 6; ++i) {
    double v = absolute ? std::fabs(in[i]) : in[i];
    if (std::isnan(v)) v = 0.0;
    if (v >= kMax)
      out[i] = std::numeric_limits<int32_t>::max();
    else if (v <= kMin)
      out[i] = std::numeric_limits<int32_t>::min();
    else
      out[i] = static_cast<int>(v);
  }
}

void ControlModule::CheckForceDirection(Eigen::Vector6d& direction) {
  bool any = false;
  for (int i = 0; i < 6; ++i) {
    direction[i] = std::fabs(direction[i]) > 0.5 ? 1.0 : 0.0;
    any = any || direction[i] != 0.0;
  }
  if (!any)
    m_context->SetError(RC_ERROR_LEVEL_ERROR, RC_ERROR_FORCE_DIRECTION,
                        "The number of the setting force/moment directions must be at least one.");
}
