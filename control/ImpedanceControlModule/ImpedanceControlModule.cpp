#include "ImpedanceControlModule.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

using Vector6 = ImpedanceControlModule::Vector6;
using Matrix6 = ImpedanceControlModule::Matrix6;

constexpr double kMinPauseTime = 0.025;
constexpr double kPauseDampingScale = 4.0;

bool IsSet(double flag) {
  return flag > control::kSetThreshold;
}

}  // namespace

ImpedanceControlModule::ImpedanceControlModule(long id, RobotControlContext* context)
    : ControlModule(id, context) {
  SetIdleValues();
}

void ImpedanceControlModule::SetIdleValues() {
  m_forceDirection.setZero();
  m_savedStiffness.setZero();
  m_savedForce.setZero();
  m_savedDirection.setZero();
  m_forceRamp.Reset(Vector6::Zero());
  m_lawState = ImpedanceLaw::State();
  m_pauseTime = 0.0;
  m_paused = false;
  m_dampingScale = 1.0;

  m_stiffnessMax << 10000, 10000, 10000, 300, 300, 300;
  m_pauseStiffness << 3000, 3000, 3000, 600, 600, 600;
  m_dampingMax << 400, 400, 400, 40, 40, 40;
  m_frameRotation.setIdentity();

  m_output.acceleration.setZero();
  m_output.jointPosition.setZero();
  m_output.jointVelocity.setZero();
  m_output.jointTorque.setZero();
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
  m_lawState.lastTorque = m_context->getJntTrqGrav();
  if (!m_lawState.lastTorque.allFinite()) m_lawState.lastTorque.setZero();
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
      m_lawState.errorOffset[i] = 0.0;
    } else if (wasForce) {
      // The axis leaving force control holds where it is; a pose the host
      // cannot measure must not poison the offset for good.
      m_lawState.errorOffset[i] = std::isfinite(error[i]) ? error[i] : 0.0;
    }
  }
  // Both ramps continue from the values reached, also in mid-ramp.
  RetargetRamp(m_stiffnessRamp, stiffness);
  RetargetRamp(m_forceRamp, forceTarget);
  m_forceDirection = direction;
  RestartRamps(time);
}

void ImpedanceControlModule::ApplyComplianceTargets(const Vector6& stiffness, const Vector6& force,
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
  m_lawState.settleCount = 0;
  m_paused = true;
  m_lawState.pauseSettled = false;
}

void ImpedanceControlModule::ResumeLaw() {
  if (!m_paused) return;
  m_dampingScale = 1.0;
  m_paused = false;
  SetComplianceParameters(m_savedStiffness, m_savedForce, m_savedDirection, m_pauseTime);
  m_lawState.pauseSettled = false;
}

int ImpedanceControlModule::CustomControlLaw(_ControlOutput& output) {
  RobotControlContext* const host = m_context;
  HostSnapshot& snap = m_snapshot;

  UpdateCoordRot(m_frameRotation, REF_MODE_COMPLIANCE);
  snap.frameRotation = m_frameRotation;
  snap.pose = host->getTCPPose();
  snap.poseTarget = host->getTCPPose_tg();
  snap.velocity = host->getTCPVel();
  snap.velocityTarget = host->getTCPVel_tg();
  snap.accelerationTarget = host->getTCPAcc_tg();
  snap.jointVelocity = host->getJntVel();
  snap.jointVelocityFiltered = host->getJntVel_lpf_20Hz();
  snap.jointInertia = host->getJntM();
  snap.coriolis = host->getJntC();
  snap.gravityTorque = host->getJntTrqGrav();
  snap.frictionTorque = host->getJntTrqFric_comp_fctrl();
  snap.externalTorque = host->getJntTrqExt_Fctrl();
  snap.jacobian = host->getTCPJ();
  snap.jacobianDot = host->getTCPJdot();
  snap.jacobianInverse =
      host->getCalInverseJacobianDLS(snap.jacobian, host->getModelScale() * 0.15);

  AdvanceRamp(m_stiffnessRamp);
  AdvanceRamp(m_forceRamp);
  ImpedanceLaw::Params& p = m_lawParams;
  p.stiffness = m_stiffnessRamp.current;
  p.force = m_forceRamp.current;
  p.forceDirection = m_forceDirection;
  p.commandStiffness = m_commandStiffness;
  p.commandForce = m_commandForce;
  p.dampingScale = m_dampingScale;
  p.dampingMax = m_dampingMax;
  for (int i = 0; i < 6; ++i) {
    p.rotorInertia[i] =
        CRobotInfo::gearratio[i] * CRobotInfo::gearratio[i] * CRobotInfo::motorinertia[i];
  }
  p.paused = m_paused;

  output.jointTorque = ImpedanceLaw::Step(snap, p, m_lawState);

  host->setJntPos_d(host->getJntPos());
  host->setJntVel_d(host->getJntVel());
  return 0;
}

CONTROL_MODULE_CREATE(ImpedanceControlModule)
