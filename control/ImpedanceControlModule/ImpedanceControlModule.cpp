#include "ImpedanceControlModule.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

using Vector6 = ImpedanceControlModule::Vector6;
using Matrix6 = ImpedanceControlModule::Matrix6;

constexpr double kCycle = 0.001;
constexpr double kMinRampTime = 0.001;
constexpr double kMinPauseTime = 0.025;
constexpr double kPauseDampingScale = 4.0;
// Sum of the filtered joint speeds below which a paused arm counts as quiet
// (1 degree per second, in rad/s), and the quiet cycles it takes to settle.
constexpr double kQuietJointSpeed = 0.017453292519943295;
constexpr int32_t kSettleCycles = 100;
// A position axis whose force is still above this is ramping its force out.
constexpr double kForceRampedOut = 1e-6;
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kRadToDeg = 57.29577951308232;

bool IsSet(double flag) {
  return flag > 0.5;
}

bool AllFinite(const Vector6& v) {
  return v.allFinite();
}

// The decoders leave an element untouched when the record holds NaN or
// infinity there; starting from NaN makes such a record visible.
constexpr double kUnread = std::numeric_limits<double>::quiet_NaN();
Vector6 Unread() {
  return Vector6::Constant(kUnread);
}

// Damping of one axis from the commanded stiffness and force. A commanded
// force replaces the stiffness rule and is not scaled; both are capped.
double AxisDamping(int axis, double stiffness, double force, double scale, double ceiling) {
  double damping;
  if (axis < 3) {
    damping = std::abs(stiffness) >= 976.5625 ? 4.0 * scale * std::sqrt(std::abs(stiffness))
                                              : 4.0 * scale * 31.25;
    if (std::abs(force) >= 9.9999999999) damping = 3.125 * std::abs(force) + 93.75;
  } else {
    damping = std::abs(stiffness) >= 25.0 ? 1.25 * scale * std::sqrt(std::abs(stiffness))
                                          : 1.25 * scale * 5.0;
    if (std::abs(force) >= 0.9999999999) damping = 5.0 * std::abs(force);
  }
  return std::min(damping, ceiling);
}

}  // namespace

ImpedanceControlModule::ImpedanceControlModule(long id, RobotControlContext* context)
    : ControlModule(id, context) {
  SetIdleValues();
}

void ImpedanceControlModule::SetIdleValues() {
  m_forceOffset.setZero();
  m_stiffnessTarget.setZero();
  m_forceTarget.setZero();
  m_forceDirection.setZero();
  m_commandDirection.setZero();
  m_savedStiffness.setZero();
  m_savedForce.setZero();
  m_savedDirection.setZero();
  m_commandStiffness.setZero();
  m_commandForce.setZero();
  m_forceStart.setZero();
  m_previousDirection.setZero();
  m_stiffness.setZero();
  m_force.setZero();
  m_errorOffset.setZero();
  m_pauseErrorOffset.setZero();
  m_commandTime = 0.0;
  m_pauseTime = 0.0;
  m_settleCount = 0;
  m_relative = false;
  m_paused = false;
  m_pauseSettled = false;
  m_dampingScale = 1.0;

  m_stiffnessMax << 10000, 10000, 10000, 300, 300, 300;
  m_pauseStiffness << 3000, 3000, 3000, 600, 600, 600;
  m_dampingMax << 400, 400, 400, 40, 40, 40;
  m_stiffnessStart << 2000, 2000, 2000, 10, 10, 10;
  m_gainTime = 0.001;
  m_gainElapsed = 0.002;
  m_frameRotation.setIdentity();

  m_output.acceleration.setZero();
  m_output.jointPosition.setZero();
  m_output.jointVelocity.setZero();
  m_output.jointTorque.setZero();
  m_running = false;
  m_lastTorque.setZero();
}

void ImpedanceControlModule::InitControlParameters() {
  SetIdleValues();
  UpdateCoordRot(m_frameRotation, REF_MODE_COMPLIANCE);

  m_output.jointPosition = m_context->getJntPos();
  m_output.jointVelocity.setZero();
  m_output.jointTorque.setZero();
  const Mota::TaskPosition pose = m_context->getTCPPose();
  m_output.pose.position = pose.position;
  m_output.pose.rotation = pose.rotation;
  m_output.velocity.linear.setZero();
  m_output.velocity.angular.setZero();
  m_output.acceleration.setZero();
}

void ImpedanceControlModule::PreProcessStiffnessGain(Vector6& stiffness) {
  for (int i = 0; i < 6; ++i) {
    stiffness[i] = std::abs(stiffness[i]);
    stiffness[i] = std::min(stiffness[i], m_stiffnessMax[i]);
  }
}

void ImpedanceControlModule::SetComplianceParameters(Vector6 stiffness, Vector6 force,
                                                     Vector6 direction, double time) {
  UpdateCoordRot(m_frameRotation, REF_MODE_COMPLIANCE);
  const Vector6 error = m_frameRotation.transpose() *
                        CalPoseError(m_context->getTCPPose_tg(), m_context->getTCPPose());

  for (int i = 0; i < 6; ++i) {
    const bool wasForce = IsSet(m_previousDirection[i]);
    const bool isForce = IsSet(direction[i]);
    if (wasForce) {
      m_stiffnessStart[i] = 0.0;
      m_forceStart[i] = m_forceTarget[i];
    } else {
      m_forceStart[i] = 0.0;
      m_stiffnessStart[i] = m_stiffnessTarget[i];
    }
    m_forceTarget[i] = isForce ? force[i] : 0.0;
    if (wasForce && isForce) {
      m_errorOffset[i] = 0.0;
    } else if (wasForce) {
      // The axis leaving force control holds where it is; a pose the host
      // cannot measure must not poison the offset for good.
      m_errorOffset[i] = std::isfinite(error[i]) ? error[i] : 0.0;
    }
  }
  m_stiffnessTarget = stiffness;
  m_previousDirection = direction;
  m_forceDirection = direction;
  m_gainElapsed = 0.0;
  m_gainTime = std::max(time, kMinRampTime);
}

void ImpedanceControlModule::ApplyParameters(const Vector6& stiffness, const Vector6& force,
                                             const Vector6& direction, double time) {
  if (m_paused) {
    // The pause keeps holding; the new gains take effect on Resume.
    m_savedStiffness = stiffness;
    m_savedForce = force;
    m_savedDirection = direction;
    return;
  }
  SetComplianceParameters(stiffness, force, direction, time);
}

bool ImpedanceControlModule::GetTarget(void* command) {
  Vector6 stiffness = Unread(), force = Unread();
  double time = kUnread;
  GetStartComplianceControlEvent(command, stiffness, force, time);
  if (!AllFinite(stiffness) || !AllFinite(force) || !std::isfinite(time)) return false;

  m_commandStiffness = stiffness;
  m_commandForce = force;
  m_commandTime = time;
  PreProcessStiffnessGain(m_commandStiffness);
  m_stiffnessTarget = m_commandStiffness;
  m_forceTarget = m_commandForce;
  SetComplianceParameters(m_commandStiffness, m_commandForce, m_commandDirection, m_commandTime);
  return true;
}

bool ImpedanceControlModule::UpdateTaskComplianceControlGain(void* command) {
  Vector6 stiffness = Unread();
  double time = kUnread;
  GetTargetStiffness(command, stiffness, time);
  if (!AllFinite(stiffness) || !std::isfinite(time)) return false;

  m_commandStiffness = stiffness;
  m_commandTime = time;
  PreProcessStiffnessGain(m_commandStiffness);
  ApplyParameters(m_commandStiffness, m_commandForce, m_commandDirection, m_commandTime);
  FinishGainUpdate();
  return true;
}

bool ImpedanceControlModule::UpdateTaskForceControlGain(void* command) {
  Vector6 force = Unread(), direction = Vector6::Zero();
  double time = kUnread;
  bool relative = false;
  GetTargetForce(command, force, direction, time, relative);
  if (!AllFinite(force) || !std::isfinite(time)) return false;
  Vector6 offset;
  SetRelativeMode(relative, offset);
  // A sensor that reads NaN cannot give the force to measure from.
  if (!AllFinite(offset)) return false;

  m_commandForce = force;
  m_commandDirection = direction;
  m_commandTime = time;
  m_relative = relative;
  CheckForceDirection(m_commandDirection);
  m_forceOffset = offset;
  m_commandForce += m_forceOffset;

  Vector6 stiffness = m_commandStiffness;
  for (int i = 0; i < 6; ++i) {
    if (IsSet(m_commandDirection[i])) stiffness[i] = 0.0;
  }
  ApplyParameters(stiffness, m_commandForce, m_commandDirection, m_commandTime);
  FinishGainUpdate();
  return true;
}

bool ImpedanceControlModule::SetReleaseDesiredForce(void* command) {
  Vector6 stiffness = m_commandStiffness, force = Vector6::Zero(), direction = Vector6::Zero();
  double time = kUnread;
  GetReleaseForce(command, stiffness, force, direction, time);
  if (!std::isfinite(time)) return false;

  m_commandForce = force;
  m_commandDirection = direction;
  m_commandTime = time;
  ApplyParameters(m_commandStiffness, Vector6::Zero(), Vector6::Zero(), m_commandTime);
  FinishGainUpdate();
  return true;
}

void ImpedanceControlModule::FinishGainUpdate() {
  m_context->setRefCoord(REF_MODE_COMPLIANCE, m_context->getMotionCmdCoordinateClassidication(
                                                  m_context->getRefCoordIdx()));
  // The check reports its own error and has already run FinControl.
  if (CheckStatusBeforeUpdate()) m_running = false;
}

void ImpedanceControlModule::EndControl() {
  FinControl();
  m_running = false;
}

int ImpedanceControlModule::Start(void* command) {
  if (m_context == nullptr || command == nullptr) return -1;
  InitControlParameters();
  SetControlMode(SERVO_TORQUE, SPACE_TASK);
  SetCompForceStatus(COMPFORCE_ON);
  if (!GetTarget(command)) {
    EndControl();
    return -1;
  }
  if (CheckExternalTorque()) {
    EndControl();
    return -1;
  }
  if (CheckStatusBeforeUpdate()) {
    // The check has reported its error and run FinControl once already.
    EndControl();
    return -1;
  }
  m_lastTorque = m_context->getJntTrqGrav();
  if (!AllFinite(m_lastTorque)) m_lastTorque.setZero();
  m_running = true;
  return 0;
}

int ImpedanceControlModule::Stop(void* command) {
  if (m_context == nullptr || command == nullptr) return -1;
  if (GetStopComplianceControlEvent(command)) return -1;
  EndControl();
  return 0;
}

int ImpedanceControlModule::DoControl() {
  if (!m_running || m_context == nullptr) return -1;
  CustomControlLaw(m_output);
  SetOutput(m_output);
  m_gainElapsed += kCycle;
  return 0;
}

int ImpedanceControlModule::UpdateControlGain(void* command) {
  if (!m_running || m_context == nullptr || command == nullptr) return -1;
  bool taken = false;
  switch (CheckCommandType(command)) {
    case CMD_STIFFNESS:
      taken = UpdateTaskComplianceControlGain(command);
      break;
    case CMD_FORCE:
      taken = UpdateTaskForceControlGain(command);
      break;
    case CMD_RELEASE_FORCE:
      taken = SetReleaseDesiredForce(command);
      break;
    default:
      return -1;
  }
  return taken ? 0 : -1;
}

int ImpedanceControlModule::Pause(void*) {
  if (!m_running || m_context == nullptr) return -1;
  SetPause(m_context->getCalculateDecTime_w_CurJvel());
  return 0;
}

int ImpedanceControlModule::Resume(void*) {
  if (!m_running || m_context == nullptr) return -1;
  SetResume();
  return 0;
}

void ImpedanceControlModule::SetPause(double time) {
  if (m_paused) return;
  // A deceleration time the host cannot give falls back to the shortest ramp.
  if (!std::isfinite(time)) time = kMinPauseTime;
  time = std::max(time, kMinPauseTime);
  m_savedStiffness = m_stiffnessTarget;
  m_savedForce = m_forceTarget;
  m_savedDirection = m_forceDirection;
  m_dampingScale = kPauseDampingScale;
  m_pauseTime = time;
  SetComplianceParameters(m_pauseStiffness, Vector6::Zero(), Vector6::Zero(), time);
  m_settleCount = 0;
  m_paused = true;
  m_pauseSettled = false;
}

void ImpedanceControlModule::SetResume() {
  if (!m_paused) return;
  m_dampingScale = 1.0;
  m_paused = false;
  SetComplianceParameters(m_savedStiffness, m_savedForce, m_savedDirection, m_pauseTime);
  m_pauseSettled = false;
}

int ImpedanceControlModule::CheckControlState() {
  if (m_context == nullptr) return 0;
  if (m_context->getMotionLibStatus() != 0 || m_context->getExpTimeStatus() != 0) return 2;
  return 0;
}

int ImpedanceControlModule::CustomControlLaw(_ControlOutput& output) {
  RobotControlContext* const host = m_context;
  Matrix6& rotation = m_frameRotation;

  UpdateCoordRot(rotation, REF_MODE_COMPLIANCE);
  InterpolateControlGain(m_stiffness, m_stiffnessTarget, m_stiffnessStart);
  InterpolateControlGain(m_force, m_forceTarget, m_forceStart);

  const Vector6 frameError =
      rotation.transpose() * CalPoseError(host->getTCPPose_tg(), host->getTCPPose());

  // A position axis whose force is still ramping out follows the robot, so
  // it holds the place where its force reaches zero.
  for (int i = 0; i < 6; ++i) {
    if (!IsSet(m_forceDirection[i]) && std::abs(m_force[i]) > kForceRampedOut &&
        std::isfinite(frameError[i])) {
      m_errorOffset[i] = frameError[i];
    }
  }

  Vector6 damping;
  for (int i = 0; i < 6; ++i) {
    damping[i] =
        AxisDamping(i, m_commandStiffness[i], m_commandForce[i], m_dampingScale, m_dampingMax[i]);
  }
  const Matrix6 stiffnessMatrix = DiagonalVectoMat6D(m_stiffness);
  const Matrix6 dampingMatrix = DiagonalVectoMat6D(damping);

  Matrix6 inertia = host->getJntM();
  for (int i = 0; i < 6; ++i) {
    inertia(i, i) +=
        CRobotInfo::gearratio[i] * CRobotInfo::gearratio[i] * CRobotInfo::motorinertia[i];
  }

  const Vector6 poseError =
      rotation.transpose() * CalPoseError(host->getTCPPose_tg(), host->getTCPPose());
  Vector6 springError;
  if (!m_paused) {
    springError = poseError - m_errorOffset;
  } else if (!m_pauseSettled) {
    springError = poseError - m_errorOffset;
    double speed = 0.0;
    for (int i = 0; i < 6; ++i) speed += std::abs(host->getJntVel_lpf_20Hz()[i]);
    // A speed that is not a number does not count as quiet.
    if (!(speed < kQuietJointSpeed)) {
      m_settleCount = 0;
    } else if (++m_settleCount > kSettleCycles) {
      const Vector6 rest =
          rotation.transpose() * CalPoseError(host->getTCPPose_tg(), host->getTCPPose());
      if (AllFinite(rest)) {
        m_pauseErrorOffset = rest;
        m_pauseSettled = true;
      } else {
        m_settleCount = 0;
      }
    }
  } else {
    springError = poseError - m_pauseErrorOffset;
  }

  const Vector6 velocityError =
      rotation.transpose() * CalVelError(host->getTCPVel_tg(), host->getTCPVel());

  const Matrix6 inverseJacobian =
      host->getCalInverseJacobianDLS(host->getTCPJ(), host->getModelScale() * 0.15);
  const Vector6 targetAcceleration = host->getTCPAcc_tg();
  const Mota::TaskVelocity targetVelocity = host->getTCPVel_tg();
  Vector6 velocity;
  velocity << targetVelocity.linear, targetVelocity.angular;
  const Vector6 jointAcceleration =
      inverseJacobian * (targetAcceleration - host->getTCPJdot() * inverseJacobian * velocity);

  // Beyond +-90 degrees of orientation error, 1 Nm per degree more.
  Vector6 orientationLimit = Vector6::Zero();
  for (int i = 3; i < 6; ++i) {
    if (springError[i] > kHalfPi) {
      orientationLimit[i] = (springError[i] - kHalfPi) * kRadToDeg;
    } else if (springError[i] < -kHalfPi) {
      orientationLimit[i] = (springError[i] + kHalfPi) * kRadToDeg;
    }
  }

  const Vector6 wrench =
      stiffnessMatrix * springError + dampingMatrix * velocityError + m_force + orientationLimit;
  Vector6 torque = inertia * jointAcceleration + (host->getTCPJ().transpose() * rotation) * wrench +
                   host->getJntC() * host->getJntVel() + host->getJntTrqGrav() +
                   host->getJntTrqFric_comp_fctrl();

  // Never hand the host a torque that is not a number: fall back to holding
  // the arm against gravity, or to the last torque sent.
  if (!AllFinite(torque)) {
    const Vector6 gravity = host->getJntTrqGrav();
    torque = AllFinite(gravity) ? gravity : m_lastTorque;
  }
  m_lastTorque = torque;
  output.jointTorque = torque;

  host->setJntPos_d(host->getJntPos());
  host->setJntVel_d(host->getJntVel());
  return 0;
}

CONTROL_MODULE_CREATE(ImpedanceControlModule)
