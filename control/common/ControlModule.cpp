#include "ControlModule.h"

#include <cmath>

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
  // Every module starts from no command and an idle ramp clock.
  m_gainTime = kMinRampTime;
  m_gainElapsed = 2 * kMinRampTime;
  m_forceOffset.setZero();
  m_commandStiffness.setZero();
  m_commandForce.setZero();
  m_commandDirection.setZero();
  m_commandTime = 0.0;
  m_stiffnessRamp.Reset(Eigen::Vector6d::Zero());
  InitControl();
  SetControlMode(ControlServoMode(), SPACE_TASK);
  SetCompForceStatus(COMPFORCE_ON);
  m_engaged = true;

  Eigen::Vector6d stiffness, force;
  double time;
  if (!DecodeStartRecord(command, stiffness, force, time) || !WithinCommandLimits(force)) {
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

// ---------------------------------------------------------------------------
// The shared hooks

void ControlModule::ApplyStart(const Eigen::Vector6d& stiffness, const Eigen::Vector6d& force,
                               double time) {
  m_commandStiffness = stiffness;
  m_commandForce = force;
  m_commandTime = time;
  PreProcessStiffnessGain(m_commandStiffness);
  // Control starts at the commanded stiffness, without force: a start
  // record selects no force axis.
  m_stiffnessRamp.Reset(m_commandStiffness);
  ApplyComplianceTargets(m_commandStiffness, m_commandForce, m_commandDirection, m_commandTime);
}

bool ControlModule::TakesCommand(int type) const {
  return type == CMD_STIFFNESS || type == CMD_FORCE || type == CMD_RELEASE_FORCE;
}

void ControlModule::ApplyGainCommand(const GainCommand& c) {
  m_commandTime = c.time;
  switch (c.type) {
    case CMD_STIFFNESS:
      m_commandStiffness = c.values;
      PreProcessStiffnessGain(m_commandStiffness);
      ApplyComplianceTargets(m_commandStiffness, m_commandForce, m_commandDirection, m_commandTime);
      break;
    case CMD_FORCE: {
      m_commandForce = c.values;
      m_commandDirection = c.direction;
      // A force axis gives up its spring.
      Eigen::Vector6d stiffness = m_commandStiffness;
      for (int i = 0; i < 6; ++i) {
        if (m_commandDirection[i] > kSetThreshold) stiffness[i] = 0.0;
      }
      ApplyComplianceTargets(stiffness, m_commandForce, m_commandDirection, m_commandTime);
      break;
    }
    case CMD_RELEASE_FORCE:
      m_commandForce.setZero();
      m_commandDirection.setZero();
      ApplyComplianceTargets(m_commandStiffness, m_commandForce, m_commandDirection, m_commandTime);
      break;
    default:
      break;
  }
}
