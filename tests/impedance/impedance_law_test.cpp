// The impedance law alone, from a hand-built host snapshot, against the
// closed form tau = (M + rotors) J^-1 a + J^T (K e + D edot + F) + C qdot
// + gravity + friction.
#include <gtest/gtest.h>

#include <limits>

#include "ImpedanceLaw.h"
#include "support/snapshot_builder.h"

namespace {

using Vector6 = Eigen::Vector6d;
using Matrix6 = Eigen::Matrix6d;

TEST(ImpedanceLaw, TorqueMatchesClosedForm) {
  Matrix6 J;
  J << 0.1, 0.4, 0.2, 0.0, 0.1, 0.0,  //
      0.5, 0.0, 0.1, 0.1, 0.0, 0.0,   //
      0.0, 0.3, 0.6, 0.0, 0.0, 0.1,   //
      0.0, 0.0, 0.0, 1.0, 0.2, 0.0,   //
      0.0, 0.0, 0.0, 0.1, 1.0, 0.3,   //
      0.0, 0.0, 0.0, 0.0, 0.2, 1.0;
  SnapshotBuilder builder;
  builder.Jacobian(J).TargetPosition(0.40, 0.10, 0.30).Position(0.39, 0.12, 0.30);
  HostSnapshot& host = builder.Edit();     // e = (0.01, -0.02, 0, 0, 0, 0)
  host.velocity.linear << 0.0, 0.0, 0.05;  // edot = -(0, 0, 0.05, 0, 0, 0)
  host.accelerationTarget << 0.0, 0.2, 0.0, 0.0, 0.0, 0.1;
  host.jointInertia = Matrix6::Identity() * 2.0;
  host.jointInertia(0, 1) = host.jointInertia(1, 0) = 0.3;
  host.coriolis = Matrix6::Identity() * 0.5;
  host.jointVelocity << 0.1, -0.2, 0.0, 0.3, 0.0, 0.0;
  host.gravityTorque << 0.0, 30.0, 12.0, 0.0, 1.0, 0.0;
  host.frictionTorque << 0.5, -0.5, 0.2, 0.0, 0.0, 0.1;

  ImpedanceLaw::Params p;
  p.stiffness << 1600, 1600, 1600, 100, 100, 100;
  p.commandStiffness = p.stiffness;
  p.force << 0, 0, 0, 0, 0, 2.0;  // a commanded moment about z
  p.forceDirection << 0, 0, 0, 0, 0, 1;
  p.rotorInertia = Vector6::Constant(0.25);
  ImpedanceLaw::State s;

  // Damping of the stiffness rule: 4 sqrt(K) translational, 1.25 sqrt(K)
  // rotational; 2 Nm commanded replaces it with 5 |F| on that axis.
  Vector6 D;
  D << 160, 160, 160, 12.5, 12.5, 10.0;
  Vector6 e, edot;
  e << 0.01, -0.02, 0, 0, 0, 0;
  edot << 0, 0, -0.05, 0, 0, 0;
  const Vector6 wrench = p.stiffness.cwiseProduct(e) + D.cwiseProduct(edot) + p.force;
  const Matrix6 M = host.jointInertia + Matrix6(p.rotorInertia.asDiagonal());
  const Vector6 expected = M * J.inverse() * host.accelerationTarget + J.transpose() * wrench +
                           host.coriolis * host.jointVelocity + host.gravityTorque +
                           host.frictionTorque;

  const Vector6 torque = ImpedanceLaw::Step(host, p, s);
  EXPECT_TRUE(torque.isApprox(expected, 1e-12)) << torque.transpose() << "\n"
                                                << expected.transpose();
  EXPECT_EQ(s.lastTorque, torque);
}

// Past 90 degrees of orientation error each further degree adds 1 Nm,
// with or without rotational stiffness on that axis.
TEST(ImpedanceLaw, OrientationBeyondNinetyDegreesAddsOneNmPerDegree) {
  const double angle = 100.0 * 3.14159265358979323846 / 180.0;
  SnapshotBuilder builder;
  builder.Edit().poseTarget.rotation =
      Eigen::AngleAxisd(angle, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  ImpedanceLaw::Params p;
  ImpedanceLaw::State s;
  EXPECT_NEAR(ImpedanceLaw::Step(builder.Build(), p, s)[5], 10.0, 1e-9);
  p.stiffness[5] = p.commandStiffness[5] = 50.0;
  EXPECT_NEAR(ImpedanceLaw::Step(builder.Build(), p, s)[5], 50.0 * angle + 10.0, 1e-9);
}

// A torque that is not finite falls back to gravity, and with gravity not
// finite either to the last torque handed out.
TEST(ImpedanceLaw, TorqueThatIsNotFiniteFallsBackToGravityThenTheLastTorque) {
  SnapshotBuilder builder;
  builder.TargetPosition(0.01, 0, 0);
  HostSnapshot& host = builder.Edit();
  host.gravityTorque << 0, 40, 20, 2, 1, 0;
  ImpedanceLaw::Params p;
  p.stiffness = p.commandStiffness = Vector6::Constant(1000);
  ImpedanceLaw::State s;
  const Vector6 good = ImpedanceLaw::Step(host, p, s);
  host.jacobian(2, 3) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(ImpedanceLaw::Step(host, p, s), host.gravityTorque);
  host.gravityTorque[1] = std::numeric_limits<double>::infinity();
  EXPECT_EQ(ImpedanceLaw::Step(host, p, s), s.lastTorque);
  EXPECT_TRUE(s.lastTorque.allFinite());
  EXPECT_NE(s.lastTorque, good);  // the gravity fallback was the last one
}

// The feed-forward acceleration is the target's less the Jacobian's rate on
// the target velocity, qdd = J^-1 (a - Jdot J^-1 v), taken through the
// arm's inertia; the Coriolis term uses the measured joint velocity.
TEST(ImpedanceLaw, FeedForwardRemovesTheJacobianRateAndAddsCoriolis) {
  SnapshotBuilder builder;
  HostSnapshot& host = builder.Edit();
  host.velocityTarget.linear << 0.1, 0.0, -0.05;
  host.velocityTarget.angular << 0.0, 0.2, 0.0;
  host.velocity = host.velocityTarget;  // tracking: no velocity error
  host.accelerationTarget << 0.5, -0.2, 0.1, 0.0, 0.3, 0.0;
  host.jacobianDot = Matrix6::Identity() * 0.4;
  host.jacobianDot(0, 4) = -0.3;
  host.jointInertia = Matrix6::Identity() * 3.0;
  host.coriolis = Matrix6::Identity() * 0.7;
  host.jointVelocity << 0.1, -0.1, 0.2, 0, 0.3, -0.2;
  ImpedanceLaw::Params p;
  ImpedanceLaw::State s;
  Vector6 v;
  v << host.velocityTarget.linear, host.velocityTarget.angular;
  const Vector6 expected = host.jointInertia * (host.accelerationTarget - host.jacobianDot * v) +
                           host.coriolis * host.jointVelocity;
  EXPECT_TRUE(ImpedanceLaw::Step(host, p, s).isApprox(expected, 1e-12));
}

struct AxisDampingCase {
  const char* name;
  int axis;
  double stiffness, force, scale, ceiling, expected;
};

void PrintTo(const AxisDampingCase& c, std::ostream* os) {
  *os << c.name;
}

class ImpedanceAxisDamping : public ::testing::TestWithParam<AxisDampingCase> {};

// 4 sqrt(K) translational and 1.25 sqrt(K) rotational above a floor
// stiffness, scaled; a commanded force replaces the rule unscaled; the
// ceiling caps both.
TEST_P(ImpedanceAxisDamping, FollowsTheRule) {
  const AxisDampingCase& c = GetParam();
  EXPECT_NEAR(ImpedanceLaw::AxisDamping(c.axis, c.stiffness, c.force, c.scale, c.ceiling),
              c.expected, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImpedanceAxisDamping,
    ::testing::Values(AxisDampingCase{"x500Floor", 0, 500, 0, 1, 1e300, 125.0},
                      AxisDampingCase{"x10000", 0, 10000, 0, 1, 1e300, 400.0},
                      AxisDampingCase{"x3000", 0, 3000, 0, 1, 1e300, 219.0890},
                      AxisDampingCase{"x3000Scaled", 0, 3000, 0, 2, 1e300, 438.1780},
                      AxisDampingCase{"rx100", 3, 100, 0, 1, 1e300, 12.5},
                      AxisDampingCase{"rx10Floor", 3, 10, 0, 1, 1e300, 6.25},
                      AxisDampingCase{"zForce20", 2, 5000, 20, 1, 1e300, 156.25},
                      AxisDampingCase{"zForce20NotScaled", 2, 5000, 20, 2, 1e300, 156.25},
                      AxisDampingCase{"rzMoment3", 5, 100, 3, 1, 1e300, 15.0},
                      AxisDampingCase{"zForce200Capped", 2, 1000, 200, 1, 400, 400.0},
                      AxisDampingCase{"x3000Capped", 0, 3000, 0, 1, 150, 150.0}),
    [](const ::testing::TestParamInfo<AxisDampingCase>& info) { return info.param.name; });

}  // namespace
