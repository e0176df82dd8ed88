#include "AdmittanceControlModule.h"

#include <cmath>
#include <limits>

namespace {

using Vector6 = AdmittanceControlModule::Vector6;
using Matrix6 = AdmittanceControlModule::Matrix6;

using control::kTiny;

void ClampTransRot(Vector6& v, const Eigen::Vector2d& lo, const Eigen::Vector2d& hi) {
  for (int i = 0; i < 6; ++i) {
    const int k = i < 3 ? 0 : 1;
    if (v[i] < lo[k]) v[i] = lo[k];
    if (v[i] > hi[k]) v[i] = hi[k];
  }
}

}  // namespace

AdmittanceControlModule::AdmittanceControlModule(long id, RobotControlContext* context)
    : ControlModule(id, context) {
  SetIdleValues();
}

// Every member gets the value InitControlParameters gives it, without
// touching the host, so a module that has not started yet holds no
// uninitialised numbers.
void AdmittanceControlModule::SetIdleValues() {
  m_gainTime = kMinRampTime;
  m_gainElapsed = 2 * kMinRampTime;
  m_forceOffset.setZero();

  m_isPaused = false;
  m_stiffnessRamp.Reset(Vector6::Zero());
  m_dampingStiffnessRamp.Reset(Vector6::Zero());
  m_forceRefRamp.Reset(Vector6::Zero());
  m_forceTarget.setZero();
  m_forceFactorRamp.Reset(Vector6::Ones());
  m_dampingFactorRamp.Reset(Vector6::Ones());

  m_forceAxes.setZero();
  m_cmdStiffness.setZero();
  m_cmdForce.setZero();
  m_cmdForceAxes.setZero();
  m_cmdTime = 0.0;
  m_relativeForce = false;

  m_stiffnessDeadband = 0.0001;
  m_stiffnessMax << 20000.0, 20000.0, 20000.0, 1000.0, 1000.0, 1000.0;
  m_forceFactorMin << 0.1, 0.1;
  m_forceFactorMax << 2.0, 2.0;
  m_dampingFactorMin << 0.1, 0.1;
  m_dampingFactorMax << 2.0, 2.0;
  m_coordRot.setIdentity();
  m_model = 0;
  m_modelScale = 1.0;
  m_singularHandling = 0;

  m_lawState = AdmittanceLaw::State();
}

// ---------------------------------------------------------------------------
// Parameters

void AdmittanceControlModule::InitControl() {
  SetIdleValues();
  RobotControlContext* ctx = m_context;

  ctx->setRefCoord(REF_MODE_COMPLIANCE,
                   ctx->getMotionCmdCoordinateClassidication(ctx->getRefCoordIdx()));
  ctx->setJntPosInit(ctx->getJntPos_d());

  m_model = ctx->getModel();
  m_modelScale = ctx->getModelScale();
  m_singularHandling = ctx->getSingularHandlingStatus();
  UpdateCoordRot(m_coordRot, REF_MODE_COMPLIANCE);

  m_output.jointPosition = ctx->getJntPos();
  m_output.pose = ctx->getTCPPose();
  m_output.velocity.linear.setZero();
  m_output.velocity.angular.setZero();
  m_output.velocity.vector.setZero();
  m_output.acceleration.setZero();
  m_output.jointVelocity.setZero();
  m_output.jointTorque.setZero();
}

void AdmittanceControlModule::PreProcessStiffnessGain(Vector6& k) {
  for (int i = 0; i < 6; ++i) {
    if (k[i] < 0.0) k[i] = std::fabs(k[i]);
    if (k[i] > m_stiffnessMax[i]) k[i] = m_stiffnessMax[i];
    if (std::fabs(k[i]) < m_stiffnessDeadband) k[i] = 0.0;
  }
}

void AdmittanceControlModule::PreProcessForceFactor(Vector6& f) {
  const Vector6 dir = m_context->getTCPForce_dir();
  for (int i = 0; i < 6; ++i) {
    if (f[i] < kTiny) f[i] = std::fabs(f[i]);
    // A host direction entry that is NaN counts as "no force direction".
    if (!(dir[i] >= kTiny)) f[i] = 1.0;
  }
  ClampTransRot(f, m_forceFactorMin, m_forceFactorMax);
}

void AdmittanceControlModule::PreProcessDampingFactor(Vector6& d) {
  for (int i = 0; i < 6; ++i) {
    if (d[i] < kTiny) d[i] = std::fabs(d[i]);
    if (m_forceAxes[i] < kTiny) d[i] = 1.0;
  }
  ClampTransRot(d, m_dampingFactorMin, m_dampingFactorMax);
}

void AdmittanceControlModule::SetComplianceParameters(Vector6 k, Vector6 f, Vector6 s,
                                                      double time) {
  UpdateCoordRot(m_coordRot, REF_MODE_COMPLIANCE);
  for (int i = 0; i < 6; ++i) m_forceTarget[i] = s[i] > kSetThreshold ? f[i] : 0.0;
  // Every ramp restarts on the one clock from the value it has reached.
  RetargetRamp(m_stiffnessRamp, k);
  RetargetRamp(m_dampingStiffnessRamp, k);
  RetargetRamp(m_forceRefRamp, -m_forceTarget);
  RetargetRamp(m_forceFactorRamp, m_forceFactorRamp.target);
  RetargetRamp(m_dampingFactorRamp, m_dampingFactorRamp.target);
  m_forceAxes = s;
  RestartRamps(time);
}

void AdmittanceControlModule::SetForceDampingFactors(Vector6 ff, Vector6 df, double time) {
  UpdateCoordRot(m_coordRot, REF_MODE_COMPLIANCE);
  RetargetRamp(m_stiffnessRamp, m_stiffnessRamp.target);
  RetargetRamp(m_dampingStiffnessRamp, m_dampingStiffnessRamp.target);
  RetargetRamp(m_forceRefRamp, m_forceRefRamp.target);
  RetargetRamp(m_forceFactorRamp, ff);
  RetargetRamp(m_dampingFactorRamp, df);
  RestartRamps(time);
}

void AdmittanceControlModule::ApplyStart(const Vector6& stiffness, const Vector6& force,
                                         double time) {
  m_cmdStiffness = stiffness;
  m_cmdForce = force;
  m_cmdTime = time;
  PreProcessStiffnessGain(m_cmdStiffness);
  // Control starts at the commanded stiffness; the damping design ramps in.
  m_stiffnessRamp.Reset(m_cmdStiffness);
  SetComplianceParameters(m_cmdStiffness, m_cmdForce, m_cmdForceAxes, m_cmdTime);
}

bool AdmittanceControlModule::TakesCommand(int type) const {
  return type >= CMD_STIFFNESS && type <= CMD_RELEASE_FORCE;
}

void AdmittanceControlModule::ApplyGainCommand(const GainCommand& c) {
  m_cmdTime = c.time;
  switch (c.type) {
    case CMD_STIFFNESS:
      m_cmdStiffness = c.values;
      PreProcessStiffnessGain(m_cmdStiffness);
      SetComplianceParameters(m_cmdStiffness, m_cmdForce, m_cmdForceAxes, m_cmdTime);
      break;
    case CMD_FORCE_FACTOR: {
      Vector6 factor = c.values;
      PreProcessForceFactor(factor);
      SetForceDampingFactors(factor, m_dampingFactorRamp.target, m_cmdTime);
      break;
    }
    case CMD_DAMPING_FACTOR: {
      Vector6 factor = c.values;
      PreProcessDampingFactor(factor);
      SetForceDampingFactors(m_forceFactorRamp.target, factor, m_cmdTime);
      break;
    }
    case CMD_FORCE: {
      m_cmdForce = c.values;
      m_cmdForceAxes = c.direction;
      Vector6 stiffness = m_cmdStiffness;
      for (int i = 0; i < 6; ++i) {
        if (m_cmdForceAxes[i] > kSetThreshold) stiffness[i] = 0.0;
      }
      SetComplianceParameters(stiffness, m_cmdForce, m_cmdForceAxes, m_cmdTime);
      break;
    }
    case CMD_RELEASE_FORCE:
      m_cmdForce.setZero();
      m_cmdForceAxes.setZero();
      SetComplianceParameters(m_cmdStiffness, m_cmdForce, m_cmdForceAxes, m_cmdTime);
      break;
    default:
      break;
  }
}

void AdmittanceControlModule::PauseLaw(double) {
  m_isPaused = true;
}

void AdmittanceControlModule::ResumeLaw() {
  m_isPaused = false;
}

// ---------------------------------------------------------------------------
// The adapter

double AdmittanceControlModule::UpdateModelDamping(int model, double scale) {
  return AdmittanceLaw::ModelDamping(model, scale, CRobotInfo::fts);
}

void AdmittanceControlModule::UpdateModelParameter(int model, Vector6& a, double& c, double payload,
                                                   Vector6& mass, const Matrix6& /*jointInertia*/,
                                                   const Vector6& f) {
  AdmittanceLaw::ModelParameter(model, CRobotInfo::fts, a, c, payload, mass, f, m_lawState);
}

void AdmittanceControlModule::UpdateLawParams() {
  AdmittanceLaw::Params& p = m_lawParams;
  p.stiffness = m_stiffnessRamp.current;
  p.forceRef = m_forceRefRamp.current;
  p.dampingStiffness = m_dampingStiffnessRamp.current;
  p.forceFactor = m_forceFactorRamp.current;
  p.dampingFactor = m_dampingFactorRamp.current;
  p.stiffnessTarget = m_stiffnessRamp.target;
  p.forceAxes = m_forceAxes;
  p.coordRot = m_coordRot;
  p.model = m_model;
  p.modelScale = m_modelScale;
  p.fourAxis = (m_model == 7 || m_model == 8) && m_singularHandling == 3;
  p.forceSensor = CRobotInfo::fts;
  p.paused = m_isPaused;
}

void AdmittanceControlModule::UpdateTaskMass(const Matrix6& J) {
  UpdateLawParams();
  AdmittanceLaw::UpdateTaskMass(J, m_lawParams, m_lawState);
}

void AdmittanceControlModule::UpdateDamping(const Matrix6& Kdm, const Vector6& Kd) {
  UpdateLawParams();
  AdmittanceLaw::UpdateDamping(Kdm, Kd, m_lawParams, m_lawState);
}

int AdmittanceControlModule::CustomControlLaw(_ControlOutput& out) {
  RobotControlContext* ctx = m_context;
  HostSnapshot& snap = m_snapshot;

  UpdateCoordRot(m_coordRot, REF_MODE_COMPLIANCE);
  snap.externalTorque = ctx->getJntTrqExt_Fctrl();
  snap.taskSpace = ctx->getMotionSpace() == SPACE_TASK;
  if (snap.taskSpace) {
    for (int i = 0; i < 6; ++i) {
      const double floor = i < 3 ? kDampingStiffnessMinTrans : kDampingStiffnessMinRot;
      if (m_dampingStiffnessRamp.target[i] < floor) m_dampingStiffnessRamp.target[i] = floor;
    }
    AdvanceRamp(m_forceFactorRamp);
    AdvanceRamp(m_dampingFactorRamp);
    AdvanceRamp(m_stiffnessRamp);
    AdvanceRamp(m_forceRefRamp);
    AdvanceRamp(m_dampingStiffnessRamp);
  }
  UpdateLawParams();
  AdmittanceLaw::Params& p = m_lawParams;
  if (snap.taskSpace) {
    const _REF_COORD c = ctx->getRefCoord(REF_MODE_COMPLIANCE);
    p.userFrame = c.type == COORD_TOOL || c.type == COORD_WORLD || c.type == COORD_USER;
    if (p.userFrame) {
      p.gainRotation = FrameRotation(c.type, c.type == COORD_USER ? c.index : 0);
      switch (c.type) {
        case COORD_TOOL:
          p.userToBase = ctx->getR0();
          p.baseToUser = p.userToBase.transpose();
          break;
        case COORD_WORLD:
          p.baseToUser = p.userToBase = ctx->getWorldToBase().rotation;
          break;
        default:
          p.baseToUser = ctx->getHT_ucart2base(c.index).rotation;
          p.userToBase = ctx->getHT_base2ucart(c.index).rotation;
          break;
      }
    }
    snap.jointInertia = ctx->getJntM();
    snap.payloadMass = ctx->getTotalPayloadMass();
    snap.jacobian = ctx->getTCPJ();
    if (p.fourAxis) {
      snap.stcpRotation = ctx->getSTCP().rotation;
      snap.r0Rotation = ctx->getR0();
    } else {
      snap.jacobianInverse =
          ctx->getCalInverseJacobianDLS(snap.jacobian, ctx->getCompliance_sv_max());
    }
    snap.velocityTarget = ctx->getTCPVel_tg();
    snap.poseTarget = ctx->getTCPPose_tg();
  }

  const AdmittanceLaw::Output result = AdmittanceLaw::Step(snap, p, m_lawState);
  if (result.valid) {
    out.pose.position = result.position;
    out.pose.rotation = result.rotation;
    out.velocity.linear = result.velocity.head<3>();
    out.velocity.angular = result.velocity.tail<3>();
  }
  return result.result;
}

// Fixed-size vectorisable members: the object needs 16-byte alignment,
// which the aligned operator new of the class provides.
static_assert(alignof(AdmittanceControlModule) >= 16, "module must be 16-byte aligned");
