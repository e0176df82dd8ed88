#include "AdmittanceControlModule.h"

#include <cmath>
#include <limits>

namespace {

using Vector6 = AdmittanceControlModule::Vector6;
using Matrix6 = AdmittanceControlModule::Matrix6;

// Below this a factor, a force-direction entry or a stiffness counts as zero.
constexpr double kTiny = 1e-10;
// A released axis is moved into the held offset while its force reference
// has not yet ramped out.
constexpr double kReleaseForceEpsilon = 1e-6;
// Smallest virtual joint mass (kg) and largest diagonal task mass the model
// accepts; outside them the previous cycle's value is kept.
constexpr double kMinJointMass = 1e-6;
constexpr double kMinInverseTaskInertia = 1e-9;

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

  m_admAcc.setZero();
  m_admVel.setZero();
  m_admDisp.setZero();
  m_releasedOffset.setZero();
  m_releasedStep.setZero();
  m_extTorque.setZero();
  m_extTorqueNet.setZero();
  m_extWrench.setZero();
  m_forceRefBase.setZero();
  m_stiffnessMatrix.setZero();
  m_cmdVel.linear.setZero();
  m_cmdVel.angular.setZero();
  m_cmdVel.vector.setZero();

  m_virtualMass.setConstant(5.0);
  m_virtualMassMatrix.setIdentity();
  m_dampingRatio.setOnes();
  m_taskMass.setOnes();
  m_taskMassBase.setIdentity();
  m_taskMassInvBase.setIdentity();
  m_dampingMatrix.setZero();
  m_dampingFallbacks = 0;
  m_implicitStep = false;
  m_implicitSteps = 0;
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
// Virtual inertia and damping model

double AdmittanceControlModule::UpdateModelDamping(int model, double scale) {
  const bool fts = CRobotInfo::fts;
  switch (model) {
    case 0:
    case 3:
      return 5.0;
    case 1:
    case 7:
    case 8:
      return 6.25;
    case 2:
      return fts ? 2.0 : 6.0;
    case 5:
      return fts ? 2.0 : 4.25;
    case 6:
      return fts ? 2.0 : 4.0;
    case 9:
      return 4.25;
    default:
      return 3.0 * scale;
  }
}

void AdmittanceControlModule::UpdateModelParameter(int model, Vector6& a, double& c, double payload,
                                                   Vector6& mass, const Matrix6& /*jointInertia*/,
                                                   const Vector6& f) {
  static const double kSmall[6] = {6.75, 9.0, 6.0, 2.0, 3.0, 0.75};
  static const double kLarge[6] = {10.0, 13.75, 11.5, 2.5, 3.75, 0.875};
  static const double kSensor[6] = {2.6496, 2.6496, 1.37, 0.6336, 0.6336, 0.6336};

  const double* table = nullptr;
  double divisor = 0.0;
  double k = 1.5;
  switch (model) {
    case 0:
      table = kSmall;
      divisor = 7.5;
      break;
    case 1:
    case 7:
    case 8:
      table = kLarge;
      divisor = 3.75;
      break;
    case 2:
    case 5:
    case 6:
      table = CRobotInfo::fts ? kSensor : kSmall;
      divisor = 3.75;
      break;
    case 3:
      table = kSmall;
      divisor = 7.5;
      k = 1.25;
      break;
    case 9:
      table = kSmall;
      divisor = 3.75;
      break;
    default:
      break;  // no table and no payload term
  }
  if (table != nullptr) {
    for (int i = 0; i < 6; ++i) a[i] = table[i];
    c = payload / divisor;
  }

  for (int i = 0; i < 6; ++i) {
    const double m = (1.0 + c) * a[i] + k * f[i];
    // A mass that is not a positive number (a host reporting no inertia, a
    // payload that is not a number) keeps the previous cycle's value, so
    // the task mass below always has an inverse.
    if (std::isfinite(m) && m >= kMinJointMass) mass[i] = m;
  }
  m_virtualMassMatrix = mass.asDiagonal();
}

void AdmittanceControlModule::UpdateTaskMass(const Matrix6& J) {
  const Matrix6& R = m_coordRot;
  Vector6 inverseMass;
  for (int i = 0; i < 6; ++i) inverseMass[i] = 1.0 / m_virtualMass[i];
  // Inverse task inertia of the virtual joint masses, in the reference frame.
  const Matrix6 JR = J.transpose() * R;
  const Matrix6 X = JR.transpose() * inverseMass.asDiagonal() * JR;
  for (int i = 0; i < 6; ++i) {
    const double x = X(i, i);
    // An axis the arm cannot move along (a zero row of J) would get an
    // infinite mass; it keeps the previous cycle's mass instead.
    if (std::isfinite(x) && x >= kMinInverseTaskInertia) {
      m_taskMass[i] = m_forceFactorRamp.current[i] / x;
    }
  }
  Vector6 taskMassInv;
  for (int i = 0; i < 6; ++i) taskMassInv[i] = 1.0 / m_taskMass[i];
  m_taskMassInvBase = R * taskMassInv.asDiagonal() * R.transpose();
  m_taskMassBase = R * m_taskMass.asDiagonal() * R.transpose();
}

void AdmittanceControlModule::UpdateDamping(const Matrix6& Kdm, const Vector6& Kd) {
  const double zeta0 = UpdateModelDamping(m_model, m_modelScale);
  for (int i = 0; i < 6; ++i) {
    double z = m_dampingFactorRamp.current[i] * zeta0;
    if (!(z > 1.0)) z = 1.0;  // also a ratio that is not a number
    if (z >= 10.0) z = 10.0;
    m_dampingRatio[i] = z;
  }

  // B = V diag(w) V^-1, the square root of A = M_b^-1 K_dm from its modes.
  const Matrix6 A = m_taskMassInvBase * Kdm;
  Matrix6 B;
  bool modal = false;
  if (A.allFinite()) {
    m_eigenSolver.compute(A, true);
    if (m_eigenSolver.info() == Eigen::Success) {
      const Matrix6 V = m_eigenSolver.eigenvectors().real();
      Vector6 omega;
      for (int i = 0; i < 6; ++i)
        omega[i] = std::sqrt(std::fabs(m_eigenSolver.eigenvalues()[i].real()));
      const Eigen::PartialPivLU<Matrix6> lu(V);
      const double rcond = lu.rcond();
      if (std::isfinite(rcond) && rcond >= kMinEigenvectorRcond) {
        B = V * omega.asDiagonal() * lu.inverse();
        modal = B.allFinite();
      }
    }
  }
  if (!modal) {
    // Fallback when the eigenvectors have no usable inverse (complex pairs
    // whose real parts coincide, nearly parallel vectors): the per-axis
    // square root in the reference frame, sqrt(K_d / M) on each axis. This
    // is exact whenever M_b^-1 K_dm is diagonal in the reference frame, is
    // always finite and is never zero while K_d is not.
    ++m_dampingFallbacks;
    Vector6 omega;
    for (int i = 0; i < 6; ++i) {
      const double w = std::sqrt(std::fabs(Kd[i]) / m_taskMass[i]);
      omega[i] = std::isfinite(w) ? w : 0.0;
    }
    B = m_coordRot * omega.asDiagonal() * m_coordRot.transpose();
  }
  m_dampingMatrix = 2.0 * m_taskMassBase * m_dampingRatio.asDiagonal() * B;
}

// ---------------------------------------------------------------------------
// The control law

// The external wrench goes through the host's damped inverse Jacobian,
// whose damping bound is the host's singular-value limit: near a
// singularity the estimate stays bounded and the tool still complies.
Vector6 AdmittanceControlModule::EstimateWrenchError(const Matrix6& J) {
  RobotControlContext* ctx = m_context;
  const bool fourAxis = (m_model == 7 || m_model == 8) && m_singularHandling == 3;
  Vector6 wrenchError = Vector6::Zero();

  if (!fourAxis) {
    const Matrix6 Jinv = ctx->getCalInverseJacobianDLS(J, ctx->getCompliance_sv_max());
    if (!Jinv.allFinite() || !J.allFinite()) {
      m_extWrench.setZero();
      return wrenchError;
    }
    m_extWrench = Jinv.transpose() * m_extTorqueNet;
    m_extTorqueNet = J.transpose() * m_extWrench;
    const Vector6 tauRef = J.transpose() * m_forceRefBase;
    wrenchError = Jinv.transpose() * (m_extTorqueNet - tauRef);
    return wrenchError;
  }

  // Four-axis arm: x, y, z and the rotation about the third STCP axis.
  const Eigen::Matrix3d Rs = ctx->getSTCP().rotation;
  Eigen::Matrix<double, 4, 6> J4;
  J4.topRows<3>() = Rs.transpose() * J.topRows<3>();
  J4.row(3) = Rs.transpose().row(2) * J.bottomRows<3>();
  const Eigen::Matrix4d G = J4 * J4.transpose();
  const Eigen::PartialPivLU<Eigen::Matrix4d> lu(G);
  const double rcond = lu.rcond();
  if (!J4.allFinite() || !std::isfinite(rcond) || rcond < 1e-12) {
    m_extWrench.setZero();
    return wrenchError;
  }
  const Eigen::Matrix<double, 6, 4> J4inv = J4.transpose() * lu.inverse();
  const Eigen::Vector4d w = J4inv.transpose() * m_extTorqueNet;
  m_extWrench << w[0], w[1], w[2], 0.0, 0.0, w[3];
  m_extTorqueNet = J4.transpose() * w;
  const Eigen::Vector4d f4(m_forceRefBase[0], m_forceRefBase[1], m_forceRefBase[2],
                           m_forceRefBase[5]);
  const Vector6 tauRef = J4.transpose() * f4;
  // The wrench error in the four STCP directions, turned into a base-frame
  // wrench: force R_s (w0, w1, w2), moment w3 about the third STCP axis.
  const Eigen::Vector4d we = J4inv.transpose() * (m_extTorqueNet - tauRef);
  wrenchError.head<3>() = Rs * we.head<3>();
  wrenchError.tail<3>() = Rs.col(2) * we[3];
  return wrenchError;
}

Vector6 AdmittanceControlModule::AdmittanceAcceleration(const Vector6& wrenchError) {
  const Vector6 explicitAcc = m_taskMassInvBase * (wrenchError - m_dampingMatrix * m_admVel -
                                                   m_stiffnessMatrix * m_admDisp);
  // The explicit step (velocity, then displacement) of a mode with
  // p = dt D / M and q = dt^2 K / M is stable only while p < 2 and
  // q + 2 p < 4. High stiffness, a small force factor and a high damping
  // ratio together leave that region (for example 20000 N/m, factor 0.1 and
  // ratio 10), and the virtual mass would oscillate with growing amplitude.
  // There the damping and the spring are taken at the end of the step
  // instead, which is stable for any gain and has the same equilibrium.
  const Matrix6 P = kCyclePeriod * m_taskMassInvBase * m_dampingMatrix;
  const Matrix6 Q = (kCyclePeriod * kCyclePeriod) * m_taskMassInvBase * m_stiffnessMatrix;
  const double p = P.cwiseAbs().rowwise().sum().maxCoeff();
  const double q = Q.cwiseAbs().rowwise().sum().maxCoeff();
  if (p < kExplicitStepMargin * 2.0 && q + 2.0 * p < kExplicitStepMargin * 4.0) {
    m_implicitStep = false;
    return explicitAcc;
  }
  m_implicitStep = true;
  ++m_implicitSteps;
  const Matrix6 S = Matrix6::Identity() + P + Q;
  const Vector6 rhs =
      m_taskMassInvBase * (wrenchError - m_dampingMatrix * m_admVel -
                           m_stiffnessMatrix * (m_admDisp + kCyclePeriod * m_admVel));
  const Vector6 acc = Eigen::PartialPivLU<Matrix6>(S).solve(rhs);
  return acc.allFinite() ? acc : explicitAcc;
}

int AdmittanceControlModule::CustomControlLaw(_ControlOutput& out) {
  RobotControlContext* ctx = m_context;
  const Matrix6& R = m_coordRot;

  UpdateCoordRot(m_coordRot, REF_MODE_COMPLIANCE);
  m_extTorque = ctx->getJntTrqExt_Fctrl();
  m_extTorqueNet = m_extTorque;
  // A torque reading that is not a number contributes nothing.
  for (int i = 0; i < 6; ++i) {
    if (!std::isfinite(m_extTorqueNet[i])) m_extTorqueNet[i] = 0.0;
  }
  if (ctx->getMotionSpace() != SPACE_TASK) return 1;

  for (int i = 0; i < 6; ++i) {
    const double floor = i < 3 ? kDampingStiffnessMinTrans : kDampingStiffnessMinRot;
    if (m_dampingStiffnessRamp.target[i] < floor) m_dampingStiffnessRamp.target[i] = floor;
  }

  AdvanceRamp(m_forceFactorRamp);
  AdvanceRamp(m_dampingFactorRamp);
  AdvanceRamp(m_stiffnessRamp);
  AdvanceRamp(m_forceRefRamp);
  AdvanceRamp(m_dampingStiffnessRamp);
  const Vector6& stiffness = m_stiffnessRamp.current;
  const Vector6& forceRef = m_forceRefRamp.current;
  const Vector6& dampingStiffness = m_dampingStiffnessRamp.current;

  // Released axes: the displacement reached under force control becomes a
  // held offset while the force reference ramps out, so the spring that
  // returns on those axes does not pull the tool back.
  Vector6 released;
  for (int i = 0; i < 6; ++i) {
    released[i] = (m_forceAxes[i] < kSetThreshold && std::fabs(forceRef[i]) > kReleaseForceEpsilon)
                      ? 1.0
                      : 0.0;
  }
  m_releasedStep = R * released.asDiagonal() * R.transpose() * m_admDisp;
  m_releasedOffset += m_releasedStep;
  m_admDisp -= m_releasedStep;

  const _REF_COORD c = ctx->getRefCoord(REF_MODE_COMPLIANCE);
  ChangeCoordinate(c, stiffness, m_stiffnessMatrix);
  ChangeCoordinate(c, forceRef, m_forceRefBase);
  Matrix6 Kdm;
  ChangeCoordinate(c, dampingStiffness, Kdm);

  const Matrix6 Mq = ctx->getJntM();
  double inertiaNorm = Mq.diagonal().norm();
  if (!std::isfinite(inertiaNorm)) inertiaNorm = 0.0;
  double payload = ctx->getTotalPayloadMass();
  if (!std::isfinite(payload)) payload = 0.0;
  Vector6 baseMass = Vector6::Zero();
  double payloadTerm = 0.0;
  UpdateModelParameter(m_model, baseMass, payloadTerm, payload, m_virtualMass, Mq,
                       Vector6::Constant(inertiaNorm));

  const Matrix6 J = ctx->getTCPJ();
  const Vector6 wrenchError = EstimateWrenchError(J);

  // Trajectory feed-forward, none on axes without stiffness.
  Mota::TaskVelocity targetVel = ctx->getTCPVel_tg();
  Mota::TaskVelocity userVel = targetVel;
  Base2UserCoordinate(c, targetVel, userVel);
  Vector6 v = userVel.asVector();
  for (int i = 0; i < 6; ++i) {
    if (std::fabs(m_stiffnessRamp.target[i]) < kTiny) v[i] = 0.0;
  }
  userVel.linear = v.head<3>();
  userVel.angular = v.tail<3>();
  Mota::TaskVelocity baseVel = userVel;
  User2BaseCoordniate(c, userVel, baseVel);

  if (J.allFinite()) UpdateTaskMass(J);
  UpdateDamping(Kdm, dampingStiffness);

  Vector6 cmdVel = baseVel.asVector();
  if (!m_isPaused) {
    Vector6 acc = AdmittanceAcceleration(wrenchError);
    Vector6 vel = m_admVel + kCyclePeriod * acc;
    // The compliance motion is bounded to what the arm can follow; the
    // bound scales the linear and the angular part, keeping directions.
    const double linear = vel.head<3>().norm(), angular = vel.tail<3>().norm();
    if (linear > kMaxComplianceSpeed) vel.head<3>() *= kMaxComplianceSpeed / linear;
    if (angular > kMaxComplianceAngularSpeed) vel.tail<3>() *= kMaxComplianceAngularSpeed / angular;
    acc = (vel - m_admVel) / kCyclePeriod;
    Vector6 disp = m_admDisp + kCyclePeriod * vel;
    if ((m_model == 7 || m_model == 8) && m_singularHandling == 3) {
      // Only the rotation about the third axis of R0 remains.
      const Eigen::Vector3d axis = ctx->getR0().col(2);
      auto keepZ = [&axis](Vector6& x) { x.tail<3>() = axis * axis.dot(x.tail<3>()); };
      keepZ(acc);
      keepZ(vel);
      keepZ(disp);
    }
    if (acc.allFinite() && vel.allFinite() && disp.allFinite()) {
      m_admAcc = acc;
      m_admVel = vel;
      m_admDisp = disp;
    } else {
      // Never integrate a value that is not a number: stop the virtual mass
      // where it is.
      m_admAcc.setZero();
      m_admVel.setZero();
    }
    cmdVel += m_admVel;
  }

  // Output: the target pose shifted by the admittance displacement.
  const Vector6 offset = m_admDisp + m_releasedOffset;
  const Eigen::Vector3d r = offset.tail<3>();
  const double theta = r.norm();
  Eigen::Matrix3d Roff = Eigen::Matrix3d::Identity();
  if (theta >= kMinRotationAngle) Roff = Eigen::AngleAxisd(theta, r / theta).toRotationMatrix();

  const Mota::TaskPosition target = ctx->getTCPPose_tg();
  const Eigen::Vector3d position = target.position + offset.head<3>();
  const Eigen::Matrix3d rotation = Roff * target.rotation;
  if (!position.allFinite() || !rotation.allFinite() || !cmdVel.allFinite()) {
    // The host's target is not usable this cycle: keep the last output.
    return 0;
  }
  m_cmdVel.linear = cmdVel.head<3>();
  m_cmdVel.angular = cmdVel.tail<3>();
  out.pose.position = position;
  out.pose.rotation = rotation;
  out.velocity.linear = m_cmdVel.linear;
  out.velocity.angular = m_cmdVel.angular;
  return 0;
}

// Fixed-size vectorisable members: the object needs 16-byte alignment,
// which the aligned operator new of the class provides.
static_assert(alignof(AdmittanceControlModule) >= 16, "module must be 16-byte aligned");
