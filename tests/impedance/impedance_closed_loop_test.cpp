// The impedance plug-in (the real library, loaded through dlopen and
// `create`) in closed loop with the simulated arm in torque servo: the arm's
// forward dynamics, reflected rotor inertia included, and external wrenches
// from the surroundings.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "Simulation.h"
#include "support/vectors.h"

namespace {

using Eigen::Vector3d;
using Eigen::Vector6d;

const Vector6d kStiffness = Six(2000, 2000, 2000, 100, 100, 100);

class ImpedanceClosedLoop : public ::testing::Test {
 protected:
  explicit ImpedanceClosedLoop(const hostsim::HostParameters& p = hostsim::HostParameters())
      : sim(p) {}

  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sim.LoadPlugin(IMPEDANCE_PLUGIN_PATH, &error)) << error;
    ASSERT_EQ(sim.Host().getServoMode(), SERVO_POSITION);
  }

  void StartWith(const Vector6d& stiffness) {
    ASSERT_EQ(sim.Start(stiffness, Vector6d::Zero(), 0.1), 0);
    ASSERT_TRUE(sim.Running());
    ASSERT_EQ(sim.Host().getServoMode(), SERVO_TORQUE);
  }

  Vector3d Tcp() { return sim.Host().TcpPose().translation(); }
  double JointSpeed() { return sim.Host().JointVelocities().cwiseAbs().sum(); }

  // Runs until the joints have been still (summed speed below 1e-3 rad/s)
  // for `cycles` cycles in a row; false when that did not happen in time.
  bool RunUntilStill(double seconds, int cycles = 200) {
    int still = 0;
    return sim.RunUntil(
        [&] {
          still = JointSpeed() < 1e-3 ? still + 1 : 0;
          return still >= cycles;
        },
        seconds);
  }

  // A spring wall `gap` metres below the TCP, facing up.
  void WallBelow(double gap, double stiffness, double damping = 0.0) {
    const Vector3d p = Tcp() - Vector3d(0, 0, gap);
    sim.Host().Wrench().SetWall(p, Vector3d::UnitZ(), stiffness, damping);
  }

  void ExpectHealthy() {
    EXPECT_TRUE(sim.Running());
    EXPECT_EQ(sim.Host().NonFiniteSetpoints(), 0);
    EXPECT_EQ(sim.Host().TorqueLimitHits(), 0);
    EXPECT_TRUE(sim.Host().Errors().empty());
  }

  // Sixty simulated seconds of pushes, presses, releases, pauses and gain
  // changes: the arm stays stable (bounded speed and energy) and does not
  // drift while nothing acts on it.
  void RunSixtySeconds(double speedBound) {
    ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
    const Vector3d start = sim.Host().TcpPose().translation();
    sim.Host().Wrench().SetWall(start - Vector3d(0, 0, 0.004), Vector3d::UnitZ(), 30000.0, 0.0);
    double maxSpeed = 0.0, maxEnergy = 0.0;
    auto watch = [&] {
      const Vector6d qd = sim.Host().JointVelocities();
      maxSpeed = std::max(maxSpeed, qd.cwiseAbs().maxCoeff());
      maxEnergy = std::max(maxEnergy, 0.5 * qd.dot(sim.Host().getJntM() * qd));
    };
    for (int round = 0; round < 5; ++round) {
      SCOPED_TRACE(round);
      sim.Host().Wrench().Step(Six(15, -10, 0, 0, 0, 1));
      sim.Run(2.0, watch);
      ASSERT_EQ(sim.SetStiffness(Six(1000, 3000, 2000, 50, 150, 100), 0.5), 0);
      sim.Run(1.5, watch);
      sim.Host().Wrench().Step(Vector6d::Zero());
      ASSERT_EQ(sim.SetForce(Axis(2, 1), Axis(2, -10.0), 0.3, false), 0);
      sim.Run(2.5, watch);
      ASSERT_EQ(sim.Pause(), 0);
      sim.Run(1.5, watch);
      ASSERT_EQ(sim.Resume(), 0);
      sim.Run(1.0, watch);
      ASSERT_EQ(sim.Release(0.5), 0);
      sim.Run(1.5, watch);
      ASSERT_EQ(sim.SetStiffness(kStiffness, 0.3), 0);
      sim.Run(2.0, watch);
    }
    // Nothing acts for the last stretch: no drift.
    const Vector3d before = sim.Host().TcpPose().translation();
    sim.Run(60.0 - sim.Host().Time(), watch);
    EXPECT_LT((sim.Host().TcpPose().translation() - before).norm(), 3e-4);
    EXPECT_GE(sim.Host().Time(), 60.0 - 1e-9);
    EXPECT_LT(maxSpeed, speedBound);
    EXPECT_LT(maxEnergy, 1.0);  // joules
    ExpectHealthy();
  }

  hostsim::Simulation sim;
};

TEST_F(ImpedanceClosedLoop, PushDeflectsTheToolByForceOverStiffness) {
  StartWith(Six(2000, 1500, 3000, 100, 100, 80));
  struct Push {
    int axis;
    double load, stiffness;
  };
  for (const Push& push :
       {Push{0, 20.0, 2000}, Push{1, -15.0, 1500}, Push{2, 30.0, 3000}, Push{5, 4.0, 80}}) {
    SCOPED_TRACE(push.axis);
    sim.Host().Wrench().Step(Axis(push.axis, push.load));
    sim.Run(0.5);
    ASSERT_TRUE(RunUntilStill(5.0));
    const Vector6d d = sim.TcpDisplacement();
    const double expected = push.load / push.stiffness;
    EXPECT_NEAR(d[push.axis], expected, 0.02 * std::abs(expected));
    for (int i = 0; i < 6; ++i) {
      if (i != push.axis) {
        EXPECT_LT(std::abs(d[i]), 0.05 * std::abs(expected)) << "axis " << i;
      }
    }
    // Back where it was once the load is gone.
    sim.Host().Wrench().Step(Vector6d::Zero());
    sim.Run(0.5);
    ASSERT_TRUE(RunUntilStill(5.0));
    EXPECT_LT(sim.TcpDisplacement().norm(), 1e-4);
  }
  ExpectHealthy();
}

hostsim::HostParameters InToolFrame() {
  hostsim::HostParameters p;
  p.frame = {COORD_TOOL, 0, 0};
  p.postureDeg[5] = 40.0;  // the tool turned about its own axis
  return p;
}

class ImpedanceClosedLoopToolFrame : public ImpedanceClosedLoop {
 protected:
  ImpedanceClosedLoopToolFrame() : ImpedanceClosedLoop(InToolFrame()) {}
};

// Stiffness given along the tool's axes: a push in the base frame deflects
// the tool by R K^-1 R^T F, computed here from the tool's orientation.
TEST_F(ImpedanceClosedLoopToolFrame, StiffnessActsAlongTheToolAxes) {
  const Eigen::Matrix3d R = sim.Host().TcpPose().linear();
  StartWith(Six(1000, 3000, 2000, 100, 100, 100));
  const Vector3d push(10.0, 10.0, -5.0);
  Vector6d wrench = Vector6d::Zero();
  wrench.head<3>() = push;
  sim.Host().Wrench().Step(wrench);
  sim.Run(0.5);
  ASSERT_TRUE(RunUntilStill(5.0));
  const Vector3d compliance(1.0 / 1000, 1.0 / 3000, 1.0 / 2000);
  const Vector3d expected = R * compliance.asDiagonal() * R.transpose() * push;
  // Not what the same stiffness along the base axes would give.
  ASSERT_GT((expected - compliance.cwiseProduct(push)).norm(), 0.2 * expected.norm());
  const Vector3d moved = sim.TcpDisplacement().head<3>();
  EXPECT_LT((moved - expected).norm(), 0.02 * expected.norm())
      << "moved " << moved.transpose() << ", expected " << expected.transpose();
  ExpectHealthy();
}

TEST_F(ImpedanceClosedLoop, PressReleaseHoldsWhereTheForceReachedZero) {
  StartWith(kStiffness);
  WallBelow(0.005, 20000.0);
  const double surface = Tcp().z() - 0.005;
  ASSERT_EQ(sim.SetForce(Axis(2, 1), Axis(2, -10.0), 0.2, false), 0);
  sim.Run(1.0);
  ASSERT_TRUE(RunUntilStill(5.0));
  // Pressing with the commanded force: the wall pushes back 10 N.
  EXPECT_NEAR(sim.Host().AppliedWrench()[2], 10.0, 0.2);
  EXPECT_NEAR(Tcp().z(), surface - 10.0 / 20000.0, 1e-5);
  EXPECT_LT(std::abs(sim.TcpDisplacement()[0]), 1e-4);
  EXPECT_LT(std::abs(sim.TcpDisplacement()[1]), 1e-4);

  // Release: the force ramps out over 0.5 s and the arm lifts off the
  // wall's give; then z is a spring again, anchored where the force ended,
  // not back at the target 5 mm above.
  ASSERT_EQ(sim.Release(0.5), 0);
  sim.Run(0.5);
  const double released = Tcp().z();
  sim.Run(2.0);
  EXPECT_NEAR(Tcp().z(), released, 2e-4);
  EXPECT_NEAR(Tcp().z(), surface, 5e-4);
  EXPECT_LT(sim.Host().AppliedWrench()[2], 1.0);
  EXPECT_EQ(sim.CheckControlState(), 0);
  // And it is a spring about that place: a 10 N lift moves it by 10/2000.
  sim.Host().Wrench().Step(Axis(2, 10.0));
  sim.Run(0.5);
  ASSERT_TRUE(RunUntilStill(5.0));
  EXPECT_NEAR(Tcp().z() - released, 10.0 / 2000.0, 0.02 * 10.0 / 2000.0 + 5e-4);
  ExpectHealthy();
}

// Pressing against a 100000 N/m wall the tool touches (or nearly): the
// contact is never lost and the press settles at the commanded force.
// (Approaching such a wall from a distance at the free-flight speed F/D
// does bounce: the damping of a force axis is fixed by its rule.)
TEST_F(ImpedanceClosedLoop, PressingAStiffWallSettlesWithoutBouncingOff) {
  struct Press {
    double gap, ramp, force;
  };
  for (const Press& press :
       {Press{0.0, 0.0, 10.0}, Press{0.0001, 0.2, 10.0}, Press{0.0, 0.05, 30.0}}) {
    SCOPED_TRACE(press.force);
    sim.Host().Reset();
    sim.ResetReference();
    StartWith(kStiffness);
    WallBelow(press.gap, 100000.0);
    ASSERT_EQ(sim.SetForce(Axis(2, 1), Axis(2, -press.force), press.ramp, false), 0);
    bool touched = false;
    long lostContact = 0;
    double peak = 0.0;
    sim.Run(2.0, [&] {
      const double push = sim.Host().AppliedWrench()[2];
      if (push > 0.0) touched = true;
      if (touched && push <= 0.0) ++lostContact;
      peak = std::max(peak, push);
    });
    EXPECT_TRUE(touched);
    EXPECT_EQ(lostContact, 0) << "the tool bounced off the wall (peak " << peak << " N)";
    EXPECT_NEAR(sim.Host().AppliedWrench()[2], press.force, 0.02 * press.force);
    EXPECT_LT(JointSpeed(), 1e-3);
    EXPECT_LT(std::abs(sim.TcpDisplacement()[0]), 1e-4);
    ExpectHealthy();
  }
}

TEST_F(ImpedanceClosedLoop, PauseComesToRestHoldsAndResumeRestoresTheGains) {
  StartWith(Six(1000, 1000, 1000, 100, 100, 100));
  sim.Host().Wrench().Step(Axis(0, 10.0));
  sim.Run(0.5);
  ASSERT_TRUE(RunUntilStill(5.0));
  EXPECT_NEAR(sim.TcpDisplacement()[0], 0.010, 0.0002);

  // Paused under the load: stiffer, no force, and at rest it holds.
  ASSERT_EQ(sim.Pause(), 0);
  ASSERT_TRUE(RunUntilStill(5.0, 400));
  const Vector3d rest = Tcp();
  EXPECT_LT(sim.TcpDisplacement()[0], 0.010);  // the pause stiffness is higher
  sim.Run(2.0);
  EXPECT_LT((Tcp() - rest).norm(), 2e-5);
  EXPECT_LT(JointSpeed(), 1e-3);
  EXPECT_EQ(sim.CheckControlState(), 0);

  // Resume: back to 1000 N/m, so the same load deflects 10 mm again.
  ASSERT_EQ(sim.Resume(), 0);
  sim.Run(0.5);
  ASSERT_TRUE(RunUntilStill(5.0));
  EXPECT_NEAR(sim.TcpDisplacement()[0], 0.010, 0.0002);
  ExpectHealthy();
}

TEST_F(ImpedanceClosedLoop, PauseWhilePressingLetsGoAndResumePressesAgain) {
  StartWith(kStiffness);
  WallBelow(0.003, 20000.0);
  ASSERT_EQ(sim.SetForce(Axis(2, 1), Axis(2, -12.0), 0.1, false), 0);
  sim.Run(0.5);
  ASSERT_TRUE(RunUntilStill(5.0));
  ASSERT_NEAR(sim.Host().AppliedWrench()[2], 12.0, 0.25);

  ASSERT_EQ(sim.Pause(), 0);
  ASSERT_TRUE(RunUntilStill(5.0, 400));
  // The force is gone and the arm rests against the wall without pressing.
  EXPECT_LT(sim.Host().AppliedWrench()[2], 1.0);
  const Vector3d rest = Tcp();
  sim.Run(1.0);
  EXPECT_LT((Tcp() - rest).norm(), 2e-5);

  ASSERT_EQ(sim.Resume(), 0);
  sim.Run(0.5);
  ASSERT_TRUE(RunUntilStill(5.0));
  EXPECT_NEAR(sim.Host().AppliedWrench()[2], 12.0, 0.25);
  ExpectHealthy();
}

TEST_F(ImpedanceClosedLoop, StiffnessChangeMidPushMovesSmoothly) {
  StartWith(kStiffness);
  sim.Host().Wrench().Step(Axis(0, 20.0));
  sim.Run(0.5);
  ASSERT_TRUE(RunUntilStill(5.0));
  EXPECT_NEAR(sim.TcpDisplacement()[0], 0.010, 0.0002);

  ASSERT_EQ(sim.SetStiffness(Six(1000, 2000, 2000, 100, 100, 100), 0.5), 0);
  Vector6d previous = sim.Host().CommandedTorque();
  double largestStep = 0.0, previousX = sim.TcpDisplacement()[0], largestBackStep = 0.0;
  sim.Run(2.0, [&] {
    const Vector6d tau = sim.Host().CommandedTorque();
    largestStep = std::max(largestStep, (tau - previous).cwiseAbs().maxCoeff());
    previous = tau;
    const double x = sim.TcpDisplacement()[0];
    largestBackStep = std::max(largestBackStep, previousX - x);
    previousX = x;
  });
  // The torque changes by a few mNm per cycle; a jump in the gains would
  // show as a step of the load's size.
  EXPECT_LT(largestStep, 0.2);
  // The tool moves out towards 20 mm without snapping back.
  EXPECT_LT(largestBackStep, 2e-5);
  ASSERT_TRUE(RunUntilStill(5.0));
  EXPECT_NEAR(sim.TcpDisplacement()[0], 0.020, 0.0004);
  ExpectHealthy();
}

TEST_F(ImpedanceClosedLoop, StaysStableForSixtySeconds) {
  RunSixtySeconds(0.5);
}

hostsim::HostParameters Noisy() {
  hostsim::HostParameters p;
  p.torqueNoise = 0.5;
  p.wrenchNoise = 0.5;
  p.fts = true;
  p.seed = 42;
  return p;
}

class ImpedanceClosedLoopNoisy : public ImpedanceClosedLoop {
 protected:
  ImpedanceClosedLoopNoisy() : ImpedanceClosedLoop(Noisy()) {}
};

TEST_F(ImpedanceClosedLoopNoisy, StaysStableForSixtySecondsWithSensorNoise) {
  RunSixtySeconds(0.5);
}

// Random wrenches and random command records in closed loop: the host never
// receives a set-point that is not finite.
TEST_F(ImpedanceClosedLoop, RandomWrenchesAndRecordsNeverReachTheHostAsNaN) {
  StartWith(kStiffness);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> byte(0, 255);
  int restarts = 0;
  for (int step = 0; step < 100; ++step) {
    sim.Host().Wrench().Step(
        Six(30 * u(rng), 30 * u(rng), 30 * u(rng), 2 * u(rng), 2 * u(rng), 2 * u(rng)));
    unsigned char record[64];
    for (auto& b : record) b = static_cast<unsigned char>(byte(rng));
    const int32_t type = 1 + byte(rng) % 5;
    std::memcpy(record, &type, 4);
    sim.UpdateRaw(record, sizeof record);
    if (!sim.Running()) {
      // A wild command may drive the arm into a check that ends control;
      // start over from the home posture.
      ++restarts;
      sim.Host().Wrench().Step(Vector6d::Zero());
      sim.Host().Reset();
      StartWith(kStiffness);
    }
    sim.Run(0.05);
    ASSERT_EQ(sim.Host().NonFiniteSetpoints(), 0) << "step " << step;
  }
  EXPECT_LT(restarts, 100);
}

}  // namespace
