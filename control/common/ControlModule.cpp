#include "ControlModule.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

namespace {

// Field offsets of the command records; the layouts live in
// ComplianceCommands.h.
constexpr size_t kStartStiffness = offsetof(StartComplianceRecord, stiffness);
constexpr size_t kStartForce = offsetof(StartComplianceRecord, force);
constexpr size_t kStartTime = offsetof(StartComplianceRecord, time);
constexpr size_t kStiffnessValues = offsetof(StiffnessCommandRecord, stiffness);
constexpr size_t kStiffnessTime = offsetof(StiffnessCommandRecord, time);
constexpr size_t kForceDirection = offsetof(ForceCommandRecord, direction);
constexpr size_t kForceValues = offsetof(ForceCommandRecord, force);
constexpr size_t kForceTime = offsetof(ForceCommandRecord, time);
constexpr size_t kForceRelative = offsetof(ForceCommandRecord, relative);
constexpr size_t kReleaseTime = offsetof(ReleaseForceRecord, time);
constexpr size_t kFactorValues = offsetof(FactorCommandRecord, factor);
constexpr size_t kFactorTime = offsetof(FactorCommandRecord, time);

// The decoders leave an element untouched when the record holds NaN or
// infinity there; starting from NaN makes such a record visible.
constexpr double kUnread = std::numeric_limits<double>::quiet_NaN();

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
  if (!(m_gainTime >= kMinRampTime)) m_gainTime = kMinRampTime;
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
  // No ramp of this module runs once control has ended.
  m_context->setExpTimeStatus(EXPTIME_DONE);
  m_running = false;
  m_engaged = false;
}

void ControlModule::EndControl() {
  if (m_engaged) FinControl();
  m_running = false;
}

// ---------------------------------------------------------------------------
// Lifecycle

int ControlModule::Start(void* command) {
  if (m_context == nullptr || command == nullptr) return -1;
  m_running = false;
  InitControl();
  SetControlMode(ControlServoMode(), SPACE_TASK);
  SetCompForceStatus(COMPFORCE_ON);
  m_engaged = true;

  Eigen::Vector6d stiffness = Eigen::Vector6d::Constant(kUnread);
  Eigen::Vector6d force = Eigen::Vector6d::Constant(kUnread);
  double time = kUnread;
  GetStartComplianceControlEvent(command, stiffness, force, time);
  if (!stiffness.allFinite() || !std::isfinite(time) || !WithinCommandLimits(force)) {
    EndControl();
    return -1;
  }
  ApplyStart(stiffness, force, time);
  // The checks that fail raise their error and end control themselves.
  if (CheckExternalTorque() || CheckStatusBeforeUpdate()) {
    EndControl();
    return -1;
  }
  m_running = true;
  return 0;
}

int ControlModule::Stop(void* command) {
  if (m_context == nullptr) return -1;
  if (GetStopComplianceControlEvent(command)) return -1;
  EndControl();
  return 0;
}

int ControlModule::DoControl() {
  if (m_context == nullptr || !m_running) return -1;
  m_context->setExpTimeStatus(RampRunning() ? EXPTIME_RUNNING : EXPTIME_DONE);
  if (CustomControlLaw(m_output) == 0) SetOutput(m_output);
  m_gainElapsed += kCyclePeriod;
  return 0;
}

int ControlModule::UpdateControlGain(void* command) {
  if (m_context == nullptr || !m_running || command == nullptr) return -1;
  const int type = CheckCommandType(command);
  if (!TakesCommand(type)) return -1;
  GainCommand c;
  if (!DecodeGainCommand(type, command, c)) return -1;
  if (type == CMD_FORCE) {
    Eigen::Vector6d offset = Eigen::Vector6d::Zero();
    SetRelativeMode(c.relative, offset);
    if (!offset.allFinite()) return -1;
    Eigen::Vector6d force = c.values;
    for (int i = 0; i < 6; ++i)
      if (std::fabs(c.direction[i]) > kSetThreshold) force[i] += offset[i];
    if (!WithinCommandLimits(force)) return -1;
    CheckForceDirection(c.direction);
    m_forceOffset = offset;
    c.values = force;
  }
  ApplyGainCommand(c);
  FinishGainCommand();
  return 0;
}

void ControlModule::FinishGainCommand() {
  m_context->setRefCoord(REF_MODE_COMPLIANCE, m_context->getMotionCmdCoordinateClassidication(
                                                  m_context->getRefCoordIdx()));
  // A failing check has raised its error and ended control.
  if (CheckStatusBeforeUpdate()) EndControl();
}

int ControlModule::Pause(void*) {
  if (m_context != nullptr && m_running) PauseLaw(m_context->getCalculateDecTime_w_CurJvel());
  return 0;
}

int ControlModule::Resume(void*) {
  if (m_context != nullptr && m_running) ResumeLaw();
  return 0;
}

int ControlModule::CheckControlState() {
  if (m_context == nullptr) return 0;
  if (m_context->getMotionLibStatus() != 0) return 2;
  return m_running && m_context->getExpTimeStatus() != 0 ? 2 : 0;
}

void ControlModule::RestartRamps(double time) {
  m_gainElapsed = 0.0;
  m_gainTime = time >= kMinRampTime ? time : kMinRampTime;  // NaN too
  if (m_context != nullptr) m_context->setExpTimeStatus(EXPTIME_RUNNING);
}

double ControlModule::RampFraction() const {
  if (!(m_gainElapsed < m_gainTime)) return 1.0;
  return m_gainElapsed / m_gainTime;
}

bool ControlModule::WithinCommandLimits(const Eigen::Vector6d& wrench) {
  for (int i = 0; i < 6; ++i) {
    const double limit = i < 3 ? kMaxCommandForce : kMaxCommandMoment;
    if (!(std::fabs(wrench[i]) <= limit)) return false;  // NaN too
  }
  return true;
}

bool ControlModule::DecodeGainCommand(int type, const void* record, GainCommand& c) {
  c.type = type;
  c.values = Eigen::Vector6d::Constant(kUnread);
  c.direction.setZero();
  c.time = kUnread;
  c.relative = false;
  switch (type) {
    case CMD_STIFFNESS:
      GetTargetStiffness(record, c.values, c.time);
      break;
    case CMD_FORCE_FACTOR:
      GetTargetForceFactor(record, c.values, c.time);
      break;
    case CMD_DAMPING_FACTOR:
      GetTargetDampingFactor(record, c.values, c.time);
      break;
    case CMD_FORCE:
      GetTargetForce(record, c.values, c.direction, c.time, c.relative);
      break;
    case CMD_RELEASE_FORCE: {
      Eigen::Vector6d unused = Eigen::Vector6d::Zero();
      GetReleaseForce(record, unused, c.values, c.direction, c.time);
      break;
    }
    default:
      return false;
  }
  return c.values.allFinite() && std::isfinite(c.time);
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
                        t[0] / Mota::kMmToM, t[1] / Mota::kMmToM, t[2] / Mota::kMmToM,
                        length / Mota::kMmToM);
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
    direction[i] = std::fabs(direction[i]) > kSetThreshold ? 1.0 : 0.0;
    any = any || direction[i] != 0.0;
  }
  if (!any)
    m_context->SetError(RC_ERROR_LEVEL_ERROR, RC_ERROR_FORCE_DIRECTION,
                        "The number of the setting force/moment directions must be at least one.");
}
