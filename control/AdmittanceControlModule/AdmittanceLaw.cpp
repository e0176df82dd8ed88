#include "AdmittanceLaw.h"

#include <cmath>

#include "ControlConstants.h"
#include "Frames.h"

using Vector6 = AdmittanceLaw::Vector6;
using Matrix6 = AdmittanceLaw::Matrix6;
using control::kCyclePeriod;
using control::kForceRampedOut;
using control::kSetThreshold;
using control::kTiny;

double AdmittanceLaw::ModelDamping(int model, double scale, bool fts) {
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

void AdmittanceLaw::ModelParameter(int model, bool fts, Vector6& a, double& c, double payload,
                                   Vector6& mass, const Vector6& f, State& s) {
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
      table = fts ? kSensor : kSmall;
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
  s.virtualMassMatrix = mass.asDiagonal();
}

void AdmittanceLaw::UpdateTaskMass(const Matrix6& J, const Params& p, State& s) {
  const Matrix6& R = p.coordRot;
  Vector6 inverseMass;
  for (int i = 0; i < 6; ++i) inverseMass[i] = 1.0 / s.virtualMass[i];
  // Inverse task inertia of the virtual joint masses, in the reference frame.
  const Matrix6 JR = J.transpose() * R;
  const Matrix6 X = JR.transpose() * inverseMass.asDiagonal() * JR;
  for (int i = 0; i < 6; ++i) {
    const double x = X(i, i);
    // An axis the arm cannot move along (a zero row of J) would get an
    // infinite mass; it keeps the previous cycle's mass instead.
    if (std::isfinite(x) && x >= kMinInverseTaskInertia) {
      s.taskMass[i] = p.forceFactor[i] / x;
    }
  }
  Vector6 taskMassInv;
  for (int i = 0; i < 6; ++i) taskMassInv[i] = 1.0 / s.taskMass[i];
  s.taskMassInvBase = R * taskMassInv.asDiagonal() * R.transpose();
  s.taskMassBase = R * s.taskMass.asDiagonal() * R.transpose();
}

void AdmittanceLaw::UpdateDamping(const Matrix6& Kdm, const Vector6& Kd, const Params& p,
                                  State& s) {
  const double zeta0 = ModelDamping(p.model, p.modelScale, p.forceSensor);
  for (int i = 0; i < 6; ++i) {
    double z = p.dampingFactor[i] * zeta0;
    if (!(z > 1.0)) z = 1.0;  // also a ratio that is not a number
    if (z >= 10.0) z = 10.0;
    s.dampingRatio[i] = z;
  }

  // B = V diag(w) V^-1, the square root of A = M_b^-1 K_dm from its modes.
  const Matrix6 A = s.taskMassInvBase * Kdm;
  Matrix6 B;
  bool modal = false;
  if (A.allFinite()) {
    s.eigenSolver.compute(A, true);
    if (s.eigenSolver.info() == Eigen::Success) {
      const Matrix6 V = s.eigenSolver.eigenvectors().real();
      Vector6 omega;
      for (int i = 0; i < 6; ++i)
        omega[i] = std::sqrt(std::fabs(s.eigenSolver.eigenvalues()[i].real()));
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
    ++s.dampingFallbacks;
    Vector6 omega;
    for (int i = 0; i < 6; ++i) {
      const double w = std::sqrt(std::fabs(Kd[i]) / s.taskMass[i]);
      omega[i] = std::isfinite(w) ? w : 0.0;
    }
    B = p.coordRot * omega.asDiagonal() * p.coordRot.transpose();
  }
  s.dampingMatrix = 2.0 * s.taskMassBase * s.dampingRatio.asDiagonal() * B;
}

// The external wrench goes through the host's damped inverse Jacobian,
// whose damping bound is the host's singular-value limit: near a
// singularity the estimate stays bounded and the tool still complies.
Vector6 AdmittanceLaw::EstimateWrenchError(const HostSnapshot& host, const Params& p, State& s) {
  const Matrix6& J = host.jacobian;
  Vector6 wrenchError = Vector6::Zero();

  if (!p.fourAxis) {
    const Matrix6& Jinv = host.jacobianInverse;
    if (!Jinv.allFinite() || !J.allFinite()) {
      s.extWrench.setZero();
      return wrenchError;
    }
    s.extWrench = Jinv.transpose() * s.extTorqueNet;
    s.extTorqueNet = J.transpose() * s.extWrench;
    const Vector6 tauRef = J.transpose() * s.forceRefBase;
    wrenchError = Jinv.transpose() * (s.extTorqueNet - tauRef);
    return wrenchError;
  }

  // Four-axis arm: x, y, z and the rotation about the third STCP axis.
  const Eigen::Matrix3d& Rs = host.stcpRotation;
  Eigen::Matrix<double, 4, 6> J4;
  J4.topRows<3>() = Rs.transpose() * J.topRows<3>();
  J4.row(3) = Rs.transpose().row(2) * J.bottomRows<3>();
  const Eigen::Matrix4d G = J4 * J4.transpose();
  const Eigen::PartialPivLU<Eigen::Matrix4d> lu(G);
  const double rcond = lu.rcond();
  if (!J4.allFinite() || !std::isfinite(rcond) || rcond < 1e-12) {
    s.extWrench.setZero();
    return wrenchError;
  }
  const Eigen::Matrix<double, 6, 4> J4inv = J4.transpose() * lu.inverse();
  const Eigen::Vector4d w = J4inv.transpose() * s.extTorqueNet;
  s.extWrench << w[0], w[1], w[2], 0.0, 0.0, w[3];
  s.extTorqueNet = J4.transpose() * w;
  const Eigen::Vector4d f4(s.forceRefBase[0], s.forceRefBase[1], s.forceRefBase[2],
                           s.forceRefBase[5]);
  const Vector6 tauRef = J4.transpose() * f4;
  // The wrench error in the four STCP directions, turned into a base-frame
  // wrench: force R_s (w0, w1, w2), moment w3 about the third STCP axis.
  const Eigen::Vector4d we = J4inv.transpose() * (s.extTorqueNet - tauRef);
  wrenchError.head<3>() = Rs * we.head<3>();
  wrenchError.tail<3>() = Rs.col(2) * we[3];
  return wrenchError;
}

Vector6 AdmittanceLaw::AdmittanceAcceleration(const Vector6& wrenchError, State& s) {
  const Vector6 explicitAcc = s.taskMassInvBase * (wrenchError - s.dampingMatrix * s.admVel -
                                                   s.stiffnessMatrix * s.admDisp);
  // The explicit step (velocity, then displacement) of a mode with
  // p = dt D / M and q = dt^2 K / M is stable only while p < 2 and
  // q + 2 p < 4. High stiffness, a small force factor and a high damping
  // ratio together leave that region (for example 20000 N/m, factor 0.1 and
  // ratio 10), and the virtual mass would oscillate with growing amplitude.
  // There the damping and the spring are taken at the end of the step
  // instead, which is stable for any gain and has the same equilibrium.
  const Matrix6 P = kCyclePeriod * s.taskMassInvBase * s.dampingMatrix;
  const Matrix6 Q = (kCyclePeriod * kCyclePeriod) * s.taskMassInvBase * s.stiffnessMatrix;
  const double p = P.cwiseAbs().rowwise().sum().maxCoeff();
  const double q = Q.cwiseAbs().rowwise().sum().maxCoeff();
  if (p < kExplicitStepMargin * 2.0 && q + 2.0 * p < kExplicitStepMargin * 4.0) {
    s.implicitStep = false;
    return explicitAcc;
  }
  s.implicitStep = true;
  ++s.implicitSteps;
  const Matrix6 S = Matrix6::Identity() + P + Q;
  const Vector6 rhs =
      s.taskMassInvBase * (wrenchError - s.dampingMatrix * s.admVel -
                           s.stiffnessMatrix * (s.admDisp + kCyclePeriod * s.admVel));
  const Vector6 acc = Eigen::PartialPivLU<Matrix6>(S).solve(rhs);
  return acc.allFinite() ? acc : explicitAcc;
}

namespace {

// A diagonal gain of the reference frame as a base-frame matrix.
Matrix6 GainToBase(const AdmittanceLaw::Params& p, const Vector6& diagonal) {
  Matrix6 out = control::DiagonalMatrix(diagonal);
  if (p.userFrame) {
    const Eigen::Matrix3d& r = p.gainRotation;
    out.block<3, 3>(0, 0) = r * out.block<3, 3>(0, 0) * r.transpose();
    out.block<3, 3>(3, 3) = r * out.block<3, 3>(3, 3) * r.transpose();
  }
  return out;
}

}  // namespace

AdmittanceLaw::Output AdmittanceLaw::Step(const HostSnapshot& host, const Params& p, State& s) {
  Output out;
  const Matrix6& R = p.coordRot;

  s.extTorque = host.externalTorque;
  s.extTorqueNet = s.extTorque;
  // A torque reading that is not a number contributes nothing.
  for (int i = 0; i < 6; ++i) {
    if (!std::isfinite(s.extTorqueNet[i])) s.extTorqueNet[i] = 0.0;
  }
  if (!host.taskSpace) return out;
  out.result = 0;

  const Vector6& stiffness = p.stiffness;
  const Vector6& forceRef = p.forceRef;
  const Vector6& dampingStiffness = p.dampingStiffness;

  // Released axes: the displacement reached under force control becomes a
  // held offset while the force reference ramps out, so the spring that
  // returns on those axes does not pull the tool back.
  Vector6 released;
  for (int i = 0; i < 6; ++i) {
    released[i] =
        (p.forceAxes[i] < kSetThreshold && std::fabs(forceRef[i]) > kForceRampedOut) ? 1.0 : 0.0;
  }
  s.releasedStep = R * released.asDiagonal() * R.transpose() * s.admDisp;
  s.releasedOffset += s.releasedStep;
  s.admDisp -= s.releasedStep;

  s.stiffnessMatrix = GainToBase(p, stiffness);
  s.forceRefBase = forceRef;
  if (p.userFrame) {
    s.forceRefBase.head<3>() = p.gainRotation * forceRef.head<3>();
    s.forceRefBase.tail<3>() = p.gainRotation * forceRef.tail<3>();
  }
  const Matrix6 Kdm = GainToBase(p, dampingStiffness);

  double inertiaNorm = host.jointInertia.diagonal().norm();
  if (!std::isfinite(inertiaNorm)) inertiaNorm = 0.0;
  double payload = host.payloadMass;
  if (!std::isfinite(payload)) payload = 0.0;
  Vector6 baseMass = Vector6::Zero();
  double payloadTerm = 0.0;
  ModelParameter(p.model, p.forceSensor, baseMass, payloadTerm, payload, s.virtualMass,
                 Vector6::Constant(inertiaNorm), s);

  const Matrix6& J = host.jacobian;
  const Vector6 wrenchError = EstimateWrenchError(host, p, s);

  // Trajectory feed-forward, none on axes without stiffness.
  Vector6 v;
  v << host.velocityTarget.linear, host.velocityTarget.angular;
  if (p.userFrame) {
    const Eigen::Vector3d linear = v.head<3>(), angular = v.tail<3>();
    v.head<3>() = p.baseToUser * linear;
    v.tail<3>() = p.baseToUser * angular;
  }
  for (int i = 0; i < 6; ++i) {
    if (std::fabs(p.stiffnessTarget[i]) < kTiny) v[i] = 0.0;
  }
  Vector6 cmdVel = v;
  if (p.userFrame) {
    cmdVel.head<3>() = p.userToBase * v.head<3>();
    cmdVel.tail<3>() = p.userToBase * v.tail<3>();
  }

  if (J.allFinite()) UpdateTaskMass(J, p, s);
  UpdateDamping(Kdm, dampingStiffness, p, s);

  if (!p.paused) {
    Vector6 acc = AdmittanceAcceleration(wrenchError, s);
    Vector6 vel = s.admVel + kCyclePeriod * acc;
    // The compliance motion is bounded to what the arm can follow; the
    // bound scales the linear and the angular part, keeping directions.
    const double linear = vel.head<3>().norm(), angular = vel.tail<3>().norm();
    if (linear > kMaxComplianceSpeed) vel.head<3>() *= kMaxComplianceSpeed / linear;
    if (angular > kMaxComplianceAngularSpeed) vel.tail<3>() *= kMaxComplianceAngularSpeed / angular;
    // A linear force axis out of contact moves at a bounded speed in the
    // direction of its force and stops after a bounded free travel
    // (FreeFlightGuard.h); the force the tool exerts is the negated
    // estimated external wrench along the axis.
    for (int i = 0; i < 3; ++i) {
      if (!(p.forceAxes[i] > kSetThreshold)) {
        s.freeFlight.travel[i] = 0.0;
        continue;
      }
      const Eigen::Vector3d u =
          p.userFrame ? Eigen::Vector3d(p.gainRotation.col(i)) : Eigen::Vector3d::Unit(i);
      const double command = -forceRef[i];  // the force the tool is to exert
      const double speed = vel.head<3>().dot(u);
      const double share =
          s.freeFlight.Update(i, command, -s.extWrench.head<3>().dot(u), speed, kCyclePeriod);
      const double sign = command > 0.0 ? 1.0 : -1.0;
      const double excess = sign * speed - FreeFlightGuard::AllowedSpeed(share);
      if (excess > 0.0) vel.head<3>() -= sign * excess * u;
    }
    acc = (vel - s.admVel) / kCyclePeriod;
    Vector6 disp = s.admDisp + kCyclePeriod * vel;
    if (p.fourAxis) {
      // Only the rotation about the third axis of R0 remains.
      const Eigen::Vector3d axis = host.r0Rotation.col(2);
      auto keepZ = [&axis](Vector6& x) { x.tail<3>() = axis * axis.dot(x.tail<3>()); };
      keepZ(acc);
      keepZ(vel);
      keepZ(disp);
    }
    if (acc.allFinite() && vel.allFinite() && disp.allFinite()) {
      s.admAcc = acc;
      s.admVel = vel;
      s.admDisp = disp;
    } else {
      // Never integrate a value that is not a number: stop the virtual mass
      // where it is.
      s.admAcc.setZero();
      s.admVel.setZero();
    }
    cmdVel += s.admVel;
  }

  // Output: the target pose shifted by the admittance displacement.
  const Vector6 offset = s.admDisp + s.releasedOffset;
  const Eigen::Vector3d r = offset.tail<3>();
  const double theta = r.norm();
  Eigen::Matrix3d Roff = Eigen::Matrix3d::Identity();
  if (theta >= kMinRotationAngle) Roff = Eigen::AngleAxisd(theta, r / theta).toRotationMatrix();

  const Eigen::Vector3d position = host.poseTarget.position + offset.head<3>();
  const Eigen::Matrix3d rotation = Roff * host.poseTarget.rotation;
  if (!position.allFinite() || !rotation.allFinite() || !cmdVel.allFinite()) {
    // The host's target is not usable this cycle: keep the last output.
    return out;
  }
  s.cmdVel = cmdVel;
  out.valid = true;
  out.position = position;
  out.rotation = rotation;
  out.velocity = cmdVel;
  return out;
}
