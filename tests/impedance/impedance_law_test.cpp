// The impedance law alone, from a hand-built host snapshot, against the
// closed form tau = (M + rotors) J^-1 a + J^T (K e + D edot + F) + C qdot
// + gravity + friction.
#include <gtest/gtest.h>

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

}  // namespace
