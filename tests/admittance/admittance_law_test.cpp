// The admittance law alone, from hand-built host snapshots: one physical
// claim per test, no module and no host.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "AdmittanceLaw.h"
#include "support/snapshot_builder.h"
#include "support/vectors.h"

namespace {

using Vector6 = AdmittanceLaw::Vector6;
using Matrix6 = AdmittanceLaw::Matrix6;

TEST(AdmittanceLaw, SteadyForceSettlesAtForceOverStiffness) {
  SnapshotBuilder host;
  host.TargetPosition(0.4, 0.0, 0.3).ExternalWrench(Six(20.0, 0.0, -10.0, 0.0, 1.0, 0.0));
  AdmittanceLaw::Params p;
  p.stiffness << 1000, 1000, 2000, 100, 100, 100;
  p.dampingStiffness = p.stiffness;
  p.stiffnessTarget = p.stiffness;
  AdmittanceLaw::State s;

  AdmittanceLaw::Output out;
  for (int i = 0; i < 50000; ++i) out = AdmittanceLaw::Step(host.Build(), p, s);

  ASSERT_EQ(out.result, 0);
  ASSERT_TRUE(out.valid);
  const Vector6 expected = Six(0.02, 0.0, -0.005, 0.0, 0.01, 0.0);  // F / K per axis
  EXPECT_TRUE(s.admDisp.isApprox(expected, 1e-5)) << s.admDisp.transpose();
  EXPECT_TRUE(out.position.isApprox(host.Build().poseTarget.position + expected.head<3>(), 1e-5));
  EXPECT_NEAR(Eigen::AngleAxisd(out.rotation).angle(), 0.01, 1e-7);
  EXPECT_LT(out.velocity.norm(), 1e-6);
}

TEST(AdmittanceLaw, OutsideTaskSpaceThereIsNoOutput) {
  AdmittanceLaw::State s;
  EXPECT_EQ(AdmittanceLaw::Step(SnapshotBuilder().TaskSpace(false).Build(), {}, s).result, 1);
}

// mass_i = (1 + payload / divisor) a_i + k |M| per joint, from the model's
// table (a sensor changes the table of models 2, 5 and 6).
struct MassCase {
  int model;
  bool fts;
  std::array<double, 6> a;
  double divisor;  // 0: no payload term
  double k;
};

TEST(AdmittanceLaw, VirtualMassTablePerModelWithAndWithoutSensor) {
  const std::array<double, 6> small = {6.75, 9.0, 6.0, 2.0, 3.0, 0.75};
  const std::array<double, 6> large = {10.0, 13.75, 11.5, 2.5, 3.75, 0.875};
  const std::array<double, 6> sensor = {2.6496, 2.6496, 1.37, 0.6336, 0.6336, 0.6336};
  const std::array<double, 6> none = {0, 0, 0, 0, 0, 0};
  const MassCase cases[] = {
      {0, false, small, 7.5, 1.5},  {0, true, small, 7.5, 1.5},   {1, false, large, 3.75, 1.5},
      {7, false, large, 3.75, 1.5}, {8, true, large, 3.75, 1.5},  {2, true, sensor, 3.75, 1.5},
      {5, true, sensor, 3.75, 1.5}, {6, true, sensor, 3.75, 1.5}, {2, false, small, 3.75, 1.5},
      {5, false, small, 3.75, 1.5}, {6, false, small, 3.75, 1.5}, {3, false, small, 7.5, 1.25},
      {9, false, small, 3.75, 1.5}, {4, false, none, 0, 1.5},     {4, true, none, 0, 1.5},
      {10, false, none, 0, 1.5},    {-1, false, none, 0, 1.5},
  };
  const double payload = 7.5;
  const Vector6 f = Vector6::Constant(2.0);
  for (const MassCase& mc : cases) {
    AdmittanceLaw::State s;
    Vector6 a = Vector6::Zero();
    double c = 0.0;
    Vector6 mass = Vector6::Constant(5.0);
    AdmittanceLaw::ModelParameter(mc.model, mc.fts, a, c, payload, mass, f, s);
    const double cExpected = mc.divisor > 0 ? payload / mc.divisor : 0.0;
    EXPECT_DOUBLE_EQ(c, cExpected) << "model " << mc.model;
    for (int i = 0; i < 6; ++i) {
      EXPECT_DOUBLE_EQ(mass[i], (1.0 + cExpected) * mc.a[i] + mc.k * 2.0)
          << "model " << mc.model << " fts " << mc.fts << " joint " << i;
    }
    EXPECT_TRUE(s.virtualMassMatrix.isApprox(Matrix6(mass.asDiagonal())));
  }
}

TEST(AdmittanceLaw, BaseDampingRatioPerModel) {
  const struct {
    int model;
    double noSensor, sensor;
  } cases[] = {{0, 5.0, 5.0},
               {3, 5.0, 5.0},
               {1, 6.25, 6.25},
               {7, 6.25, 6.25},
               {8, 6.25, 6.25},
               {2, 6.0, 2.0},
               {5, 4.25, 2.0},
               {6, 4.0, 2.0},
               {9, 4.25, 4.25},
               {4, 3.0 * 1.4, 3.0 * 1.4},
               {11, 3.0 * 1.4, 3.0 * 1.4}};
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(AdmittanceLaw::ModelDamping(c.model, 1.4, false), c.noSensor) << c.model;
    EXPECT_DOUBLE_EQ(AdmittanceLaw::ModelDamping(c.model, 1.4, true), c.sensor) << c.model;
  }
}

TEST(AdmittanceLaw, DampingWithUnusableEigenvectorsFallsBackToAFiniteNonZeroDesign) {
  AdmittanceLaw::Params p;
  AdmittanceLaw::State s;
  // A rotation-like stiffness gives complex eigenvalue pairs whose
  // eigenvectors share their real parts: no inverse.
  Matrix6 skew = Matrix6::Zero();
  skew(0, 1) = -600;
  skew(1, 0) = 600;
  skew(3, 4) = -60;
  skew(4, 3) = 60;
  skew(2, 2) = 700;
  skew(5, 5) = 70;
  AdmittanceLaw::UpdateDamping(skew, Six(600, 600, 700, 60, 60, 70), p, s);
  EXPECT_EQ(s.dampingFallbacks, 1);
  EXPECT_TRUE(s.dampingMatrix.allFinite());
  for (int i = 0; i < 6; ++i) EXPECT_GT(s.dampingMatrix(i, i), 0.0) << i;
}

// mass_i = a_i + 1.5 |M| of model 0, with the snapshot's unit joint inertia.
double Model0Mass(int joint) {
  static const double a[6] = {6.75, 9.0, 6.0, 2.0, 3.0, 0.75};
  return a[joint] + 1.5 * std::sqrt(6.0);
}

// On a unit Jacobian in the base frame the modes are the axes:
// D = 2 zeta sqrt(K_d M) per axis, K_d the stiffness the damping is designed for.
TEST(AdmittanceLaw, DampingMatchesTheClosedFormOnAUnitJacobian) {
  AdmittanceLaw::Params p;
  p.stiffness = p.stiffnessTarget = Six(1000, 200, 3000, 10, 100, 600);
  p.dampingStiffness = Six(1000, 529, 3000, 52.9, 100, 600);
  AdmittanceLaw::State s;
  AdmittanceLaw::Step(SnapshotBuilder().Build(), p, s);
  Matrix6 expected = Matrix6::Zero();
  for (int i = 0; i < 6; ++i)
    expected(i, i) = 2.0 * 5.0 * std::sqrt(p.dampingStiffness[i] * Model0Mass(i));
  EXPECT_TRUE(s.dampingMatrix.isApprox(expected, 1e-9)) << s.dampingMatrix;
  EXPECT_EQ(s.dampingFallbacks, 0);
}

// The damping factor of a force axis scales the model's ratio, held
// between 1 and 10; other axes keep the model's ratio.
TEST(AdmittanceLaw, DampingRatioIsClampedToOneAndTen) {
  for (const auto& [model, factor, ratio, base] :
       {std::array<double, 4>{0, 0.1, 1.0, 5.0}, std::array<double, 4>{1, 2.0, 10.0, 6.25}}) {
    AdmittanceLaw::Params p;
    p.model = static_cast<int>(model);
    p.forceAxes[0] = 1;
    p.dampingFactor[0] = factor;
    AdmittanceLaw::State s;
    AdmittanceLaw::Step(SnapshotBuilder().Build(), p, s);
    EXPECT_DOUBLE_EQ(s.dampingRatio[0], ratio) << model;
    EXPECT_DOUBLE_EQ(s.dampingRatio[1], base) << model;
  }
}

// The force factor scales the apparent mass of its axis only.
TEST(AdmittanceLaw, ForceFactorScalesTheApparentMass) {
  AdmittanceLaw::Params p;
  p.forceFactor[0] = 2.0;
  AdmittanceLaw::State s;
  AdmittanceLaw::Step(SnapshotBuilder().Build(), p, s);
  EXPECT_NEAR(s.taskMass[0], 2.0 * Model0Mass(0), 1e-9);
  EXPECT_NEAR(s.taskMass[1], Model0Mass(1), 1e-9);
}

// Model-0 gains the claims below start from: 1000 N/m and 100 Nm/rad,
// the damping designed for the same stiffness.
AdmittanceLaw::Params DefaultGains() {
  AdmittanceLaw::Params p;
  p.stiffness << 1000, 1000, 1000, 100, 100, 100;
  p.stiffnessTarget = p.dampingStiffness = p.stiffness;
  return p;
}

// Without a wrench the set-point is the trajectory target, and an axis
// without stiffness gets no trajectory velocity.
TEST(AdmittanceLaw, WithoutWrenchTheOutputIsTheTrajectoryTarget) {
  SnapshotBuilder builder;
  builder.TargetPosition(0.4, -0.1, 0.6);
  HostSnapshot& host = builder.Edit();
  host.poseTarget.rotation =
      Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix();
  host.velocityTarget.linear << 0.1, 0.2, 0.3;
  host.velocityTarget.angular << 0.01, 0.02, 0.03;
  AdmittanceLaw::Params p = DefaultGains();
  p.stiffness[1] = p.stiffnessTarget[1] = 0.0;
  AdmittanceLaw::State s;
  AdmittanceLaw::Output out;
  for (int i = 0; i < 200; ++i) out = AdmittanceLaw::Step(host, p, s);
  ASSERT_TRUE(out.valid);
  EXPECT_TRUE(s.admDisp.isZero());
  EXPECT_TRUE(out.position.isApprox(host.poseTarget.position));
  EXPECT_TRUE(out.rotation.isApprox(host.poseTarget.rotation));
  EXPECT_TRUE(out.velocity.isApprox(Six(0.1, 0.0, 0.3, 0.01, 0.02, 0.03)));
}

// On a force axis (no stiffness, damping designed for the floor of
// 529 N/m) the tool presses a spring wall until the contact force equals
// the commanded one (force reference = negated command).
TEST(AdmittanceLaw, ForceControlledAxisSettlesWhereTheContactForceMatches) {
  AdmittanceLaw::Params p = DefaultGains();
  p.stiffness[2] = p.stiffnessTarget[2] = 0.0;
  p.dampingStiffness[2] = 529.0;
  p.forceAxes[2] = 1.0;
  p.forceRef[2] = -15.0;
  AdmittanceLaw::State s;
  SnapshotBuilder host;
  const double wallZ = 0.002, wallK = 20000.0;
  for (int i = 0; i < 8000; ++i) {
    const double z = s.admDisp[2];
    host.ExternalWrench(Six(0, 0, z > wallZ ? -wallK * (z - wallZ) : 0.0, 0, 0, 0));
    AdmittanceLaw::Step(host.Build(), p, s);
  }
  EXPECT_NEAR(s.extWrench[2], -15.0, 1e-3);
  EXPECT_NEAR(s.admDisp[2], wallZ + 15.0 / wallK, 1e-6);
}

// A four-axis arm complies in x, y, z and about the third axis of R0 only.
TEST(AdmittanceLaw, FourAxisArmKeepsOnlyTheRotationAboutTheThirdAxis) {
  AdmittanceLaw::Params p = DefaultGains();
  p.model = 7;
  p.fourAxis = true;
  SnapshotBuilder builder;
  builder.ExternalWrench(Six(3, -2, 1, 0.5, 0.7, 0.3));
  builder.Edit().r0Rotation = Eigen::AngleAxisd(0.4, Eigen::Vector3d::UnitX()).toRotationMatrix();
  AdmittanceLaw::State s;
  for (int i = 0; i < 15000; ++i) AdmittanceLaw::Step(builder.Build(), p, s);
  EXPECT_DOUBLE_EQ(s.extWrench[3], 0.0);
  EXPECT_DOUBLE_EQ(s.extWrench[4], 0.0);
  const Eigen::Vector3d rot = s.admDisp.tail<3>();
  EXPECT_GT(rot.norm(), 1e-5);
  EXPECT_NEAR(rot.normalized().cross(builder.Build().r0Rotation.col(2)).norm(), 0.0, 1e-9);
  EXPECT_NEAR(s.admDisp[0], 3.0 / 1000.0, 1e-6);
}

// The highest stiffness with the lightest apparent mass and the highest
// damping ratio leaves the explicit step's stable region; the law steps
// implicitly there and settles without overshoot growth.
TEST(AdmittanceLaw, HighestGainsWithTheLightestMassStayStable) {
  AdmittanceLaw::Params p;
  p.model = 1;  // base damping ratio 6.25, raised to 10 by the factor
  p.stiffness << 20000, 20000, 20000, 1000, 1000, 1000;
  p.stiffnessTarget = p.dampingStiffness = p.stiffness;
  p.forceFactor.setConstant(0.1);
  p.dampingFactor.setConstant(2.0);
  p.forceAxes[0] = 1.0;
  p.forceRef[0] = -5.0;
  const HostSnapshot host = SnapshotBuilder().ExternalWrench(Six(10, 0, 0, 0, 0, 0)).Build();
  AdmittanceLaw::State s;
  double largest = 0.0;
  for (int i = 0; i < 5000; ++i) {
    AdmittanceLaw::Step(host, p, s);
    largest = std::max(largest, s.admDisp.cwiseAbs().maxCoeff());
  }
  // External 10 N plus the commanded 5 N against 20000 N/m.
  EXPECT_NEAR(s.admDisp[0], 15.0 / 20000.0, 1e-7);
  EXPECT_LT(largest, 2.0 * 15.0 / 20000.0);
  EXPECT_GT(s.implicitSteps, 0);
}

}  // namespace
