// The simulated arm checked against independent computations: finite
// differences of the kinematics, the gradient of the potential energy,
// energy conservation of free motion.
#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>
#include <random>

#include "SimulatedArm.h"

using hostsim::Matrix6d;
using hostsim::SimulatedArm;
using hostsim::Vector6d;

namespace {

std::vector<Vector6d> Postures() {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-2.5, 2.5);
  std::vector<Vector6d> out;
  Vector6d home;
  home << 0.0, 0.52, 1.05, 0.0, 1.57, 0.0;
  out.push_back(home);
  for (int i = 0; i < 8; ++i) {
    Vector6d q;
    for (int j = 0; j < 6; ++j) q[j] = u(rng);
    out.push_back(q);
  }
  return out;
}

Vector6d RandomVelocity(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1.5, 1.5);
  Vector6d v;
  for (int j = 0; j < 6; ++j) v[j] = u(rng);
  return v;
}

}  // namespace

TEST(ArmModel, JacobianMatchesFiniteDifferencesOfTheKinematics) {
  SimulatedArm arm;
  const double h = 1e-6;
  for (const Vector6d& q : Postures()) {
    const Matrix6d J = arm.Jacobian(q);
    for (int k = 0; k < 6; ++k) {
      Vector6d qp = q, qm = q;
      qp[k] += h;
      qm[k] -= h;
      const Eigen::Isometry3d p = arm.Pose(qp), m = arm.Pose(qm);
      const Eigen::Vector3d linear = (p.translation() - m.translation()) / (2 * h);
      const Eigen::Vector3d angular = SimulatedArm::RotationError(p.linear(), m.linear()) / (2 * h);
      EXPECT_LT((J.block<3, 1>(0, k) - linear).norm(), 1e-6) << "joint " << k;
      EXPECT_LT((J.block<3, 1>(3, k) - angular).norm(), 1e-6) << "joint " << k;
    }
  }
}

TEST(ArmModel, JacobianDerivativeMatchesFiniteDifferencesAlongTheMotion) {
  SimulatedArm arm;
  std::mt19937 rng(3);
  const double h = 1e-6;
  for (const Vector6d& q : Postures()) {
    const Vector6d qd = RandomVelocity(rng);
    const Matrix6d numeric = (arm.Jacobian(q + h * qd) - arm.Jacobian(q - h * qd)) / (2 * h);
    EXPECT_LT((arm.JacobianDot(q, qd) - numeric).cwiseAbs().maxCoeff(), 1e-6);
  }
}

TEST(ArmModel, InertiaIsSymmetricPositiveDefiniteAndCarriesTheRotors) {
  SimulatedArm arm;
  for (const Vector6d& q : Postures()) {
    const Matrix6d links = arm.LinkInertia(q);
    const Matrix6d m = arm.Inertia(q);
    EXPECT_LT((m - m.transpose()).cwiseAbs().maxCoeff(), 1e-12);
    Eigen::SelfAdjointEigenSolver<Matrix6d> eig(m);
    EXPECT_GT(eig.eigenvalues().minCoeff(), 0.0);
    Eigen::SelfAdjointEigenSolver<Matrix6d> eigLinks(links);
    EXPECT_GT(eigLinks.eigenvalues().minCoeff(), 0.0);
    // Gear ratio squared times rotor inertia on the diagonal, nothing else.
    Matrix6d rotors = Matrix6d::Zero();
    for (int i = 0; i < 6; ++i)
      rotors(i, i) = arm.Parameters().gearRatio[i] * arm.Parameters().gearRatio[i] *
                     arm.Parameters().motorInertia[i];
    EXPECT_LT((m - links - rotors).cwiseAbs().maxCoeff(), 1e-12);
  }
}

TEST(ArmModel, GravityTorqueIsTheGradientOfThePotentialEnergy) {
  SimulatedArm arm;
  const double h = 1e-6;
  for (const Vector6d& q : Postures()) {
    const Vector6d g = arm.GravityTorque(q);
    for (int k = 0; k < 6; ++k) {
      Vector6d qp = q, qm = q;
      qp[k] += h;
      qm[k] -= h;
      const double gradient = (arm.PotentialEnergy(qp) - arm.PotentialEnergy(qm)) / (2 * h);
      EXPECT_NEAR(g[k], gradient, 1e-5) << "joint " << k;
    }
  }
  // Straight up, gravity exerts no torque on any joint.
  EXPECT_LT(arm.GravityTorque(Vector6d::Zero()).norm(), 1e-9);
}

TEST(ArmModel, CoriolisMatrixReproducesTheTorqueAndIsPassive) {
  SimulatedArm arm;
  std::mt19937 rng(11);
  const double h = 1e-6;
  for (const Vector6d& q : Postures()) {
    const Vector6d qd = RandomVelocity(rng);
    const Matrix6d c = arm.CoriolisMatrix(q, qd);
    EXPECT_LT((c * qd - arm.CoriolisTorque(q, qd)).norm(), 1e-9);
    // dM/dt - 2C is skew-symmetric for the Christoffel form.
    const Matrix6d mdot = (arm.LinkInertia(q + h * qd) - arm.LinkInertia(q - h * qd)) / (2 * h);
    const Matrix6d n = mdot - 2.0 * c;
    EXPECT_LT((n + n.transpose()).cwiseAbs().maxCoeff(), 1e-4);
  }
  EXPECT_EQ(Matrix6d::Zero(), arm.CoriolisMatrix(Postures()[0], Vector6d::Zero()));
}

TEST(ArmModel, FreeMotionWithoutGravityConservesEnergy) {
  hostsim::ArmParameters p;
  p.gravity.setZero();
  SimulatedArm arm(p);
  Vector6d q = Postures()[0];
  Vector6d qd;
  qd << 0.8, -0.6, 0.9, 1.5, -1.2, 2.0;
  const double e0 = arm.KineticEnergy(q, qd) + arm.PotentialEnergy(q);
  const double dt = 0.001;
  double worst = 0.0;
  for (int i = 0; i < 2000; ++i) {  // RK4, as the host integrates
    auto f = [&](const Vector6d& a, const Vector6d& b) {
      return arm.ForwardDynamics(a, b, Vector6d::Zero());
    };
    const Vector6d a1 = f(q, qd);
    const Vector6d v1 = qd + 0.5 * dt * a1;
    const Vector6d a2 = f(q + 0.5 * dt * qd, v1);
    const Vector6d v2 = qd + 0.5 * dt * a2;
    const Vector6d a3 = f(q + 0.5 * dt * v1, v2);
    const Vector6d v3 = qd + dt * a3;
    const Vector6d a4 = f(q + dt * v2, v3);
    q += dt / 6 * (qd + 2 * v1 + 2 * v2 + v3);
    qd += dt / 6 * (a1 + 2 * a2 + 2 * a3 + a4);
    const double e = arm.KineticEnergy(q, qd) + arm.PotentialEnergy(q);
    worst = std::max(worst, std::fabs(e - e0) / e0);
  }
  EXPECT_LT(worst, 1e-6);
  EXPECT_GT(arm.KineticEnergy(q, qd), 0.0);
}

TEST(ArmModel, DampedInverseIsExactAboveItsBoundAndFiniteAtASingularity) {
  SimulatedArm arm;
  const Matrix6d J = arm.Jacobian(Postures()[0]);
  const double smin = SimulatedArm::MinSingularValue(J);
  ASSERT_GT(smin, 0.1);
  EXPECT_LT(
      (J * SimulatedArm::DampedInverse(J, 0.5 * smin) - Matrix6d::Identity()).cwiseAbs().maxCoeff(),
      1e-9);
  EXPECT_LT((J * SimulatedArm::DampedInverse(J, 0.0) - Matrix6d::Identity()).cwiseAbs().maxCoeff(),
            1e-9);
  // Below the bound the inverse is damped: no longer exact, but bounded.
  const Matrix6d damped = SimulatedArm::DampedInverse(J, 2.0 * smin);
  EXPECT_GT((J * damped - Matrix6d::Identity()).cwiseAbs().maxCoeff(), 1e-3);

  Vector6d wristSingular = Postures()[0];
  wristSingular[4] = 0.0;  // joints 4 and 6 aligned
  const Matrix6d Js = arm.Jacobian(wristSingular);
  EXPECT_LT(SimulatedArm::MinSingularValue(Js), 1e-9);
  const Matrix6d inv = SimulatedArm::DampedInverse(Js, 0.05);
  EXPECT_TRUE(inv.allFinite());
  EXPECT_LT(inv.norm(), 1.0 / 0.05 * 6);
  EXPECT_TRUE(SimulatedArm::DampedInverse(Matrix6d::Zero(), 0.05).allFinite());
}

TEST(ArmModel, InverseKinematicsReachesANearbyPose) {
  SimulatedArm arm;
  Vector6d q = Postures()[0];
  Eigen::Isometry3d target = arm.Pose(q);
  target.translation() += Eigen::Vector3d(0.01, -0.02, 0.015);
  target.linear() = Eigen::AngleAxisd(0.05, Eigen::Vector3d::UnitY()) * target.linear();
  ASSERT_TRUE(arm.SolveIk(target, q, 20));
  EXPECT_LT((arm.Pose(q).translation() - target.translation()).norm(), 1e-9);
  EXPECT_LT(SimulatedArm::RotationError(target.linear(), arm.Pose(q).linear()).norm(), 1e-9);
}
