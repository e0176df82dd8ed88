// The admittance plug-in in closed loop with the simulated arm in position
// servo: the real library loaded through dlopen and `create`, or (where a
// test looks at the module's own estimate) the same code built into the
// test and attached to the same host.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "../support/counting_new.h"
#include "Simulation.h"
#include "probe.h"
#include "support/vectors.h"

namespace {

using hostsim::HostParameters;
using hostsim::Simulation;
using Vector6d = Eigen::Matrix<double, 6, 1>;

const Vector6d kStiffness = Six(2000, 2000, 2000, 100, 100, 100);

class ClosedLoop : public ::testing::Test {
 protected:
  void Load(Simulation& sim) {
    std::string error;
    ASSERT_TRUE(sim.LoadPlugin(ADMITTANCE_PLUGIN, &error)) << error;
  }
  // The TCP's translation each cycle for `seconds`.
  static std::vector<Eigen::Vector3d> Track(Simulation& sim, double seconds) {
    std::vector<Eigen::Vector3d> track;
    sim.Run(seconds, [&] { track.push_back(sim.Host().TcpPose().translation()); });
    return track;
  }
  static double LargestStep(const std::vector<Eigen::Vector3d>& track) {
    double largest = 0.0;
    for (size_t i = 1; i < track.size(); ++i)
      largest = std::max(largest, (track[i] - track[i - 1]).norm());
    return largest;
  }
  static double Spread(const std::vector<Eigen::Vector3d>& track, int axis) {
    double lo = track.front()[axis], hi = lo;
    for (const auto& p : track) {
      lo = std::min(lo, p[axis]);
      hi = std::max(hi, p[axis]);
    }
    return hi - lo;
  }
};

TEST_F(ClosedLoop, WithoutWrenchTheArmFollowsTheTrajectoryTarget) {
  Simulation sim;
  Load(sim);
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
  sim.Run(0.2);
  sim.Host().Trajectory().Move(sim.Host().Time(), 1.0, Six(0.05, -0.03, 0.02, 0.0, 0.0, 0.2));
  double worst = 0.0;
  for (int i = 0; i < 1500; ++i) {
    // The target the module reads in this cycle.
    const Eigen::Isometry3d target = sim.Host().TargetPose();
    sim.Step();
    const Eigen::Isometry3d& cmd = sim.Host().CommandedPose();
    worst = std::max(worst, (cmd.translation() - target.translation()).norm());
    worst = std::max(worst, (cmd.linear() - target.linear()).norm());
  }
  EXPECT_LT(worst, 1e-9);
  EXPECT_TRUE(sim.TcpDisplacement().isApprox(Six(0.05, -0.03, 0.02, 0.0, 0.0, 0.2), 1e-4))
      << sim.TcpDisplacement().transpose();
  EXPECT_EQ(sim.Host().NonFiniteSetpoints(), 0);
}

TEST_F(ClosedLoop, ConstantForceSettlesAtForceOverStiffnessWithoutOvershoot) {
  Simulation sim;
  Load(sim);
  const double k = 1000.0, f = 15.0;
  ASSERT_EQ(sim.Start(Six(k, 3000, 3000, 200, 200, 200), Vector6d::Zero(), 0.1), 0);
  sim.Host().Wrench().Step(Six(f, 0, 0, 0, 0, 0));
  double largest = 0.0;
  // Overdamped (damping ratio 5): the slow mode takes a few seconds.
  sim.Run(16.0, [&] { largest = std::max(largest, sim.TcpDisplacement()[0]); });
  const double x = sim.TcpDisplacement()[0];
  EXPECT_NEAR(x, f / k, 0.02 * f / k);
  // Damping ratios are at least 1: no overshoot beyond the rest point.
  EXPECT_LT(largest, 1.02 * f / k);
  EXPECT_LT(std::fabs(sim.TcpDisplacement()[1]), 0.05 * f / k);
}

TEST_F(ClosedLoop, ForceCommandPressesOnAWallWithTheCommandedForce) {
  Simulation sim;
  admittance_test::Probe module(1, nullptr);
  sim.Attach(&module);
  const Eigen::Vector3d p = sim.Host().TcpPose().translation();
  sim.Host().Wrench().SetWall(p - Eigen::Vector3d(0, 0, 0.003), Eigen::Vector3d::UnitZ(), 20000.0,
                              0.0);
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
  ASSERT_EQ(sim.SetForce(Six(0, 0, 1, 0, 0, 0), Six(0, 0, -10, 0, 0, 0), 0.5, false), 0);
  sim.Run(5.0);
  EXPECT_NEAR(sim.Host().AppliedWrench()[2], 10.0, 0.2);
  EXPECT_NEAR(module.m_lawState.extWrench[2], module.m_forceRefRamp.current[2], 0.2);
  EXPECT_NEAR(module.m_forceRefRamp.current[2], 10.0, 1e-9);
  EXPECT_NEAR(sim.TcpDisplacement()[2], -0.003 - 10.0 / 20000.0, 1e-4);
}

TEST_F(ClosedLoop, ReleaseMovesWithoutAJumpAndTheAxisThenHolds) {
  Simulation sim;
  Load(sim);
  const Eigen::Vector3d p = sim.Host().TcpPose().translation();
  sim.Host().Wrench().SetWall(p - Eigen::Vector3d(0, 0, 0.003), Eigen::Vector3d::UnitZ(), 20000.0,
                              0.0);
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
  ASSERT_EQ(sim.SetForce(Six(0, 0, 1, 0, 0, 0), Six(0, 0, -10, 0, 0, 0), 0.5, false), 0);
  sim.Run(3.0);
  ASSERT_NEAR(sim.Host().AppliedWrench()[2], 10.0, 0.5);

  ASSERT_EQ(sim.Release(0.5), 0);
  const std::vector<Eigen::Vector3d> during = Track(sim, 1.5);
  // 0.1 mm per cycle is 0.1 m/s: far above the creep of a release.
  EXPECT_LT(LargestStep(during), 1e-4);
  const std::vector<Eigen::Vector3d> after = Track(sim, 2.0);
  EXPECT_LT(Spread(after, 2), 2e-5);
  EXPECT_LT(LargestStep(after), 1e-6);
  // It holds near the wall instead of springing back to the old target.
  EXPECT_LT(sim.TcpDisplacement()[2], -0.0025);
}

TEST_F(ClosedLoop, PauseFreezesTheOffsetAndResumeContinuesFromIt) {
  Simulation sim;
  Load(sim);
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
  sim.Host().Wrench().Step(Six(0, 10, 0, 0, 0, 0));
  sim.Run(0.4);
  ASSERT_EQ(sim.Pause(), 0);
  sim.Run(0.01);
  const double frozen = sim.TcpDisplacement()[1] - sim.TargetDisplacement()[1];
  ASSERT_GT(frozen, 1e-4);
  ASSERT_LT(frozen, 0.9 * 10.0 / 2000.0);
  // The target moves while paused: the tool follows it with the frozen offset.
  sim.Host().Trajectory().Move(sim.Host().Time(), 0.5, Six(0.02, 0, 0, 0, 0, 0));
  double worst = 0.0;
  sim.Run(1.0, [&] {
    const double offset = sim.TcpDisplacement()[1] - sim.TargetDisplacement()[1];
    worst = std::max(worst, std::fabs(offset - frozen));
  });
  EXPECT_LT(worst, 1e-6);
  EXPECT_NEAR(sim.TcpDisplacement()[0], 0.02, 1e-5);

  ASSERT_EQ(sim.Resume(), 0);
  const std::vector<Eigen::Vector3d> track = Track(sim, 12.0);
  EXPECT_LT(LargestStep(track), 1e-4);  // continues from the frozen offset
  EXPECT_NEAR(sim.TcpDisplacement()[1] - sim.TargetDisplacement()[1], 10.0 / 2000.0, 1e-4);
}

TEST_F(ClosedLoop, ToolFrameStiffnessActsAlongTheToolAxesAsTheToolTurns) {
  for (double turn : {0.0, M_PI / 2, M_PI / 4}) {
    HostParameters parameters;
    parameters.frame = {COORD_TOOL, 0, 0};
    parameters.postureDeg[5] += turn * 180.0 / M_PI;
    Simulation sim(parameters);
    Load(sim);
    // Soft along the tool's x axis only.
    ASSERT_EQ(sim.Start(Six(1000, 10000, 10000, 200, 200, 200), Vector6d::Zero(), 0.1), 0);
    const Eigen::Vector3d toolX = sim.Host().TcpPose().linear().col(0);
    const Eigen::Vector3d toolY = sim.Host().TcpPose().linear().col(1);
    Vector6d push = Vector6d::Zero();
    push.head<3>() = 10.0 * (toolX + toolY).normalized();
    sim.Host().Wrench().Step(push);
    sim.Run(16.0);
    const Eigen::Vector3d d = sim.TcpDisplacement().head<3>();
    const double along = 10.0 / std::sqrt(2.0);
    EXPECT_NEAR(d.dot(toolX), along / 1000.0, 0.02 * along / 1000.0) << "turn " << turn;
    EXPECT_NEAR(d.dot(toolY), along / 10000.0, 0.02 * along / 1000.0) << "turn " << turn;
  }
}

TEST_F(ClosedLoop, StiffnessAndFactorChangesDuringAPushMoveTheToolSmoothly) {
  Simulation sim;
  Load(sim);
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
  sim.Host().SetForceDirection(Vector6d::Ones());
  sim.Host().Wrench().Step(Six(15, 0, 0, 0, 0, 0));
  sim.Run(3.0);
  ASSERT_EQ(sim.SetStiffness(Six(800, 2000, 2000, 100, 100, 100), 0.5), 0);
  std::vector<Eigen::Vector3d> track = Track(sim, 0.3);
  // A factor change in the middle of the stiffness ramp, then another
  // stiffness change once it is over.
  ASSERT_EQ(sim.SetForceFactor(Six(1.8, 1, 1, 1, 1, 1), 0.3), 0);
  std::vector<Eigen::Vector3d> more = Track(sim, 1.0);
  track.insert(track.end(), more.begin(), more.end());
  ASSERT_EQ(sim.SetDampingFactor(Six(0.5, 1, 1, 1, 1, 1), 0.2), 0);
  ASSERT_EQ(sim.SetStiffness(Six(3000, 2000, 2000, 100, 100, 100), 0.0), 0);
  more = Track(sim, 12.0);
  track.insert(track.end(), more.begin(), more.end());
  // No cycle moves the tool by more than a smooth 15 mm/s would.
  EXPECT_LT(LargestStep(track), 1.5e-5);
  for (size_t i = 2; i < track.size(); ++i) {
    const double accel = ((track[i] - track[i - 1]) - (track[i - 1] - track[i - 2])).norm();
    ASSERT_LT(accel, 2e-6) << "cycle " << i;  // 2 m/s^2: no bump
  }
  EXPECT_NEAR(sim.TcpDisplacement()[0], 15.0 / 3000.0, 1e-4);
}

TEST_F(ClosedLoop, PressingAStiffWallSettlesWithoutBouncing) {
  Simulation sim;
  Load(sim);
  const Eigen::Vector3d p = sim.Host().TcpPose().translation();
  sim.Host().Wrench().SetWall(p - Eigen::Vector3d(0, 0, 0.002), Eigen::Vector3d::UnitZ(), 100000.0,
                              0.0);
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
  ASSERT_EQ(sim.SetForce(Six(0, 0, 1, 0, 0, 0), Six(0, 0, -20, 0, 0, 0), 0.3, false), 0);
  bool touched = false;
  int contactLosses = 0;
  double largestForce = 0.0;
  sim.Run(4.0, [&] {
    const double fz = sim.Host().AppliedWrench()[2];
    if (fz > 0.0)
      touched = true;
    else if (touched)
      ++contactLosses;
    largestForce = std::max(largestForce, fz);
  });
  EXPECT_TRUE(touched);
  EXPECT_EQ(contactLosses, 0);
  // The impact of the approach may overshoot, but not bounce.
  EXPECT_LT(largestForce, 2.0 * 20.0);
  EXPECT_NEAR(sim.Host().AppliedWrench()[2], 20.0, 0.4);
}

TEST_F(ClosedLoop, SensorNoiseCausesNoOscillationAtRest) {
  HostParameters parameters;
  parameters.torqueNoise = 0.5;  // Nm per joint
  Simulation sim(parameters);
  Load(sim);
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
  sim.Run(2.0);
  const std::vector<Eigen::Vector3d> track = Track(sim, 3.0);
  for (int axis = 0; axis < 3; ++axis) {
    // Noise of 0.5 Nm is a few newtons at the tool: a few millimetres
    // against 2000 N/m if it went straight through; the virtual mass and
    // damping filter it down to a small jitter.
    EXPECT_LT(Spread(track, axis), 5e-4) << "axis " << axis;
  }
  EXPECT_LT(LargestStep(track), 2e-6);
}

// A posture accepted at Start complies even when its smallest singular value
// lies just above the host's limit: the pushed tool gives way, finitely.
TEST_F(ClosedLoop, NearASingularityAnAcceptedPostureStillComplies) {
  HostParameters parameters;
  parameters.complianceSvMax = 0.02;
  Simulation sim(parameters);
  // Straighten the wrist until the smallest singular value is just above
  // the compliance limit and at or below 0.1.
  double q5 = 90.0;
  Vector6d q = sim.Host().Joints();
  while (q5 > 0.0) {
    q[4] = q5 * M_PI / 180.0;
    sim.Host().SetJoints(q);
    const double s = sim.Host().getMinSingularValue();
    if (s <= 0.1 && s > 0.03) break;
    q5 -= 0.25;
  }
  ASSERT_GT(q5, 0.0) << "no near-singular posture found";
  sim.ResetReference();
  admittance_test::Probe module(1, nullptr);
  sim.Attach(&module);
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
  sim.Host().Wrench().Step(Six(10, -5, 8, 0, 0, 0));
  sim.Run(1.0);
  EXPECT_FALSE(module.m_lawState.extWrench.isZero());
  EXPECT_GT(sim.TcpDisplacement().head<3>().norm(), 1e-4);
  EXPECT_EQ(sim.Host().NonFiniteSetpoints(), 0);
}

TEST_F(ClosedLoop, ThePluginCycleDoesNotAllocateOnTheSimulatedArm) {
  // The plug-in's own `new` comes to this program's counting operator new.
  void* handle = dlopen(ADMITTANCE_PLUGIN, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  using Create = ControlModule* (*)(long);
  auto create = reinterpret_cast<Create>(dlsym(handle, "create"));
  ASSERT_NE(create, nullptr);
  const long beforeCreate = counting_new::calls.load();
  ControlModule* direct = create(9);
  EXPECT_GE(counting_new::calls.load() - beforeCreate, 1);
  delete direct;
  dlclose(handle);

  Simulation sim;
  Load(sim);
  const Eigen::Vector3d p = sim.Host().TcpPose().translation();
  sim.Host().Wrench().SetWall(p - Eigen::Vector3d(0, 0, 0.002), Eigen::Vector3d::UnitZ(), 20000.0,
                              0.0);
  sim.Host().Wrench().Step(Six(5, -3, 0, 0.2, 0, 0));
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
  ASSERT_EQ(sim.SetForce(Six(0, 0, 1, 0, 0, 0), Six(0, 0, -10, 0, 0, 0), 0.5, false), 0);
  ControlModule* module = sim.Module();
  long calls = 0;
  for (int i = 0; i < 3000; ++i) {
    if (i == 1500) {
      ASSERT_EQ(sim.Release(0.3), 0);
    }
    const long before = counting_new::calls.load();
    module->DoControl();
    calls += counting_new::calls.load() - before;
    sim.Host().Actuate();
  }
  EXPECT_EQ(calls, 0);
}

}  // namespace
