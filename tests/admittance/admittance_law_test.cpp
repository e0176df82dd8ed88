// The admittance law alone, from a hand-built host snapshot: a steady
// external force F settles the tool at the deflection F / K from the target.
#include <gtest/gtest.h>

#include "AdmittanceLaw.h"

namespace {

using Vector6 = AdmittanceLaw::Vector6;

TEST(AdmittanceLaw, SteadyForceSettlesAtForceOverStiffness) {
  HostSnapshot host;  // identity Jacobian: joint torque equals the wrench
  host.poseTarget.position << 0.4, 0.0, 0.3;
  host.externalTorque << 20.0, 0.0, -10.0, 0.0, 1.0, 0.0;
  AdmittanceLaw::Params p;
  p.stiffness << 1000, 1000, 2000, 100, 100, 100;
  p.dampingStiffness = p.stiffness;
  p.stiffnessTarget = p.stiffness;
  AdmittanceLaw::State s;

  AdmittanceLaw::Output out;
  for (int i = 0; i < 50000; ++i) out = AdmittanceLaw::Step(host, p, s);

  ASSERT_EQ(out.result, 0);
  ASSERT_TRUE(out.valid);
  Vector6 expected;
  expected << 0.02, 0.0, -0.005, 0.0, 0.01, 0.0;  // F / K per axis
  EXPECT_TRUE(s.admDisp.isApprox(expected, 1e-5)) << s.admDisp.transpose();
  EXPECT_TRUE(out.position.isApprox(host.poseTarget.position + expected.head<3>(), 1e-5));
  EXPECT_NEAR(Eigen::AngleAxisd(out.rotation).angle(), 0.01, 1e-7);
  EXPECT_LT(out.velocity.norm(), 1e-6);

  host.taskSpace = false;  // no output outside task space
  EXPECT_EQ(AdmittanceLaw::Step(host, p, s).result, 1);
}

}  // namespace
