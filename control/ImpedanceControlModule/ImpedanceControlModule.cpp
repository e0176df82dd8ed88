#include "ImpedanceControlModule.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

using Vector6 = ImpedanceControlModule::Vector6;
using Matrix6 = ImpedanceControlModule::Matrix6;

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
  m_forceDirection.setZero();
  m_commandDirection.setZero();
  m_savedStiffness.setZero();
  m_savedForce.setZero();
  m_savedDirection.setZero();
  m_commandStiffness.setZero();
  m_commandForce.setZero();
  m_stiffnessRamp.Reset(Vector6::Zero());
  m_forceRamp.Reset(Vector6::Zero());
  m_errorOffset.setZero();
  m_pauseErrorOffset.setZero();
  m_commandTime = 0.0;
  m_pauseTime = 0.0;
  m_settleCount = 0;
  m_paused = false;
  m_pauseSettled = false;
  m_dampingScale = 1.0;

  m_stiffnessMax << 10000, 10000, 10000, 300, 300, 300;
  m_pauseStiffness << 3000, 3000, 3000, 600, 600, 600;
  m_dampingMax << 400, 400, 400, 40, 40, 40;
  m_gainTime = kMinRampTime;
  m_gainElapsed = 2 * kMinRampTime;
  m_frameRotation.setIdentity();

  m_output.acceleration.setZero();
  m_output.jointPosition.setZero();
  m_output.jointVelocity.setZero();
  m_output.jointTorque.setZero();
  m_lastTorque.setZero();
}

void ImpedanceControlModule::InitControl() {
  SetIdleValues();
  UpdateCoordRot(m_frameRotation, REF_MODE_COMPLIANCE);

  m_output.jointPosition = m_context->getJntPos();
  const Mota::TaskPosition pose = m_context->getTCPPose();
  m_output.pose.position = pose.position;
  m_output.pose.rotation = pose.rotation;
  m_output.velocity.linear.setZero();
  m_output.velocity.angular.setZero();
  m_lastTorque = m_context->getJntTrqGrav();
  if (!AllFinite(m_lastTorque)) m_lastTorque.setZero();
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

  Vector6 forceTarget;
  for (int i = 0; i < 6; ++i) {
    const bool wasForce = IsSet(m_forceDirection[i]);
    const bool isForce = IsSet(direction[i]);
    forceTarget[i] = isForce ? force[i] : 0.0;
    if (wasForce && isForce) {
      m_errorOffset[i] = 0.0;
    } else if (wasForce) {
      // The axis leaving force control holds where it is; a pose the host
      // cannot measure must not poison the offset for good.
      m_errorOffset[i] = std::isfinite(error[i]) ? error[i] : 0.0;
    }
  }
  // Both ramps continue from the values reached, also in mid-ramp.
  RetargetRamp(m_stiffnessRamp, stiffness);
  RetargetRamp(m_forceRamp, forceTarget);
  m_forceDirection = direction;
  RestartRamps(time);
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

void ImpedanceControlModule::ApplyStart(const Vector6& stiffness, const Vector6& force,
                                        double time) {
  m_commandStiffness = stiffness;
  m_commandForce = force;
  m_commandTime = time;
  PreProcessStiffnessGain(m_commandStiffness);
  // Control starts at the commanded stiffness, without force.
  m_stiffnessRamp.Reset(m_commandStiffness);
  SetComplianceParameters(m_commandStiffness, m_commandForce, m_commandDirection, m_commandTime);
}

bool ImpedanceControlModule::TakesCommand(int type) const {
  return type == CMD_STIFFNESS || type == CMD_FORCE || type == CMD_RELEASE_FORCE;
}

void ImpedanceControlModule::ApplyGainCommand(const GainCommand& command) {
  m_commandTime = command.time;
  switch (command.type) {
    case CMD_STIFFNESS:
      m_commandStiffness = command.values;
      PreProcessStiffnessGain(m_commandStiffness);
      ApplyParameters(m_commandStiffness, m_commandForce, m_commandDirection, m_commandTime);
      break;
    case CMD_FORCE: {
      m_commandForce = command.values;
      m_commandDirection = command.direction;
      Vector6 stiffness = m_commandStiffness;
      for (int i = 0; i < 6; ++i) {
        if (IsSet(m_commandDirection[i])) stiffness[i] = 0.0;
      }
      ApplyParameters(stiffness, m_commandForce, m_commandDirection, m_commandTime);
      break;
    }
    case CMD_RELEASE_FORCE:
      m_commandForce.setZero();
      m_commandDirection.setZero();
      ApplyParameters(m_commandStiffness, Vector6::Zero(), Vector6::Zero(), m_commandTime);
      break;
    default:
      break;
  }
}

void ImpedanceControlModule::PauseLaw(double time) {
  if (m_paused) return;
  // A deceleration time the host cannot give falls back to the shortest ramp.
  if (!std::isfinite(time)) time = kMinPauseTime;
  time = std::max(time, kMinPauseTime);
  m_savedStiffness = m_stiffnessRamp.target;
  m_savedForce = m_forceRamp.target;
  m_savedDirection = m_forceDirection;
  m_dampingScale = kPauseDampingScale;
  m_pauseTime = time;
  SetComplianceParameters(m_pauseStiffness, Vector6::Zero(), Vector6::Zero(), time);
  m_settleCount = 0;
  m_paused = true;
  m_pauseSettled = false;
}

void ImpedanceControlModule::ResumeLaw() {
  if (!m_paused) return;
  m_dampingScale = 1.0;
  m_paused = false;
  SetComplianceParameters(m_savedStiffness, m_savedForce, m_savedDirection, m_pauseTime);
  m_pauseSettled = false;
}

int ImpedanceControlModule::CustomControlLaw(_ControlOutput& output) {
  RobotControlContext* const host = m_context;
  Matrix6& rotation = m_frameRotation;

  UpdateCoordRot(rotation, REF_MODE_COMPLIANCE);
  AdvanceRamp(m_stiffnessRamp);
  AdvanceRamp(m_forceRamp);
  const Vector6& stiffness = m_stiffnessRamp.current;
  const Vector6& force = m_forceRamp.current;

  const Vector6 frameError =
      rotation.transpose() * CalPoseError(host->getTCPPose_tg(), host->getTCPPose());

  // A position axis whose force is still ramping out follows the robot, so
  // it holds the place where its force reaches zero.
  for (int i = 0; i < 6; ++i) {
    if (!IsSet(m_forceDirection[i]) && std::abs(force[i]) > kForceRampedOut &&
        std::isfinite(frameError[i])) {
      m_errorOffset[i] = frameError[i];
    }
  }

  Vector6 damping;
  for (int i = 0; i < 6; ++i) {
    damping[i] =
        AxisDamping(i, m_commandStiffness[i], m_commandForce[i], m_dampingScale, m_dampingMax[i]);
  }
  const Matrix6 stiffnessMatrix = DiagonalVectoMat6D(stiffness);
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

  Vector6 wrench =
      stiffnessMatrix * springError + dampingMatrix * velocityError + force + orientationLimit;
  // The compliance wrench is bounded per axis, so no error, velocity or
  // command makes the arm push harder than the documented maximum.
  for (int i = 0; i < 6; ++i) {
    const double limit = i < 3 ? kMaxWrenchForce : kMaxWrenchMoment;
    if (wrench[i] > limit) wrench[i] = limit;
    if (wrench[i] < -limit) wrench[i] = -limit;  // NaN stays NaN: see the fallback below
  }
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
