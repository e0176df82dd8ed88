// The impedance plug-in against a scripted host: parameters, ramps,
// commands, pause and settling, and what the module hands its law. The
// torque's closed form is tested on the law alone (impedance_law_test.cpp).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "ImpedanceControlModule.h"
#include "support/command_records.h"
#include "support/fake_host.h"
#include "support/vectors.h"

namespace {

using Eigen::Matrix3d;
using Eigen::Matrix6d;
using Eigen::Vector6d;
using records::Bytes;

constexpr double kPi = 3.141592653589793;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Opens the module's parameter set to the tests.
class Probe : public ImpedanceControlModule {
 public:
  using ImpedanceControlModule::ImpedanceControlModule;
  using ImpedanceControlModule::m_commandForce;
  using ImpedanceControlModule::m_commandStiffness;
  using ImpedanceControlModule::m_forceDirection;
  using ImpedanceControlModule::m_forceRamp;
  using ImpedanceControlModule::m_gainElapsed;
  using ImpedanceControlModule::m_gainTime;
  using ImpedanceControlModule::m_lawState;
  using ImpedanceControlModule::m_paused;
  using ImpedanceControlModule::m_stiffnessRamp;
};

Matrix3d Rz(double angle) {
  return Eigen::AngleAxisd(angle, Eigen::Vector3d::UnitZ()).matrix();
}
Matrix3d Rx(double angle) {
  return Eigen::AngleAxisd(angle, Eigen::Vector3d::UnitX()).matrix();
}

class ImpedanceModule : public ::testing::Test {
 protected:
  void SetUp() override {
    CRobotInfo::fts = false;
    CRobotInfo::Monitoring.extTorqueLimit = 50.0;
    for (int i = 0; i < 6; ++i) {
      CRobotInfo::gearratio[i] = 1.0;
      CRobotInfo::motorinertia[i] = 0.0;
    }
    module.SetRobotControlContext(&host);
  }

  void StartWith(const records::Six& stiffness, const records::Six& force = {}) {
    Bytes start = records::Start(stiffness, force, 0.0f);
    ASSERT_EQ(module.Start(start.data()), 0);
  }

  int Command(Bytes record) { return module.UpdateControlGain(record.data()); }

  void Cycles(int n) {
    for (int i = 0; i < n; ++i) ASSERT_EQ(module.DoControl(), 0);
  }

  // The torque of one cycle with the measured velocity set to -v on `axis`
  // (a velocity error of +v) minus the torque at rest: the damping.
  double MeasuredDamping(int axis) {
    host.tcpVel = FakeHost::StillVelocity();
    module.DoControl();
    const double still = host.torqueSent[axis];
    if (axis < 3)
      host.tcpVel.linear[axis] = -1.0;
    else
      host.tcpVel.angular[axis - 3] = -1.0;
    module.DoControl();
    host.tcpVel = FakeHost::StillVelocity();
    return host.torqueSent[axis] - still;
  }

  FakeHost host;
  Probe module{7};
};

TEST_F(ImpedanceModule, StiffnessIsMadePositiveClampedAndTakenAtOnce) {
  StartWith({-500, 20000, 800, 1000, 50, -20});
  EXPECT_EQ(module.m_commandStiffness, Six(500, 10000, 800, 300, 50, 20));
  Cycles(1);
  EXPECT_EQ(module.m_stiffnessRamp.current, Six(500, 10000, 800, 300, 50, 20));
  // Torque servo in task space, compliance on.
  EXPECT_EQ(host.servoMode, SERVO_TORQUE);
  EXPECT_EQ(host.motionSpace, SPACE_TASK);
  EXPECT_EQ(host.compForce, COMPFORCE_ON);

  // 1 cm of error on x with the clamped stiffness: 5 N through J = I.
  host.tcpPoseTg.position << 0.01, 0.0, 0.0;
  Cycles(1);
  EXPECT_NEAR(host.torqueSent[0], 5.0, 1e-9);
}

TEST_F(ImpedanceModule, ForceOnZRampsStiffnessOutAndForceIn) {
  StartWith({1000, 1000, 1000, 100, 100, 100});
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {5, 6, 20, 1, 1, 1}, 0.01f)), 0);

  Cycles(1);  // elapsed 0: the start values
  EXPECT_DOUBLE_EQ(module.m_stiffnessRamp.current[2], 1000.0);
  EXPECT_DOUBLE_EQ(module.m_forceRamp.current[2], 0.0);
  Cycles(5);                                                    // elapsed 0.005: half way
  EXPECT_NEAR(module.m_stiffnessRamp.current[2], 500.0, 1e-3);  // the ramp time is a float
  EXPECT_NEAR(module.m_forceRamp.current[2], 10.0, 1e-3);
  EXPECT_EQ(module.CheckControlState(), 2);
  Cycles(7);
  EXPECT_EQ(module.CheckControlState(), 0);
  EXPECT_EQ(module.m_stiffnessRamp.current, Six(1000, 1000, 0, 100, 100, 100));
  EXPECT_EQ(module.m_forceRamp.current, Six(0, 0, 20, 0, 0, 0));
  // With no pose error the arm is pushed with exactly the commanded force.
  EXPECT_NEAR(host.torqueSent[2], 20.0, 1e-9);
  EXPECT_NEAR(host.torqueSent[0], 0.0, 1e-9);
}

TEST_F(ImpedanceModule, ReleaseHoldsThePoseWhereTheForceReachedZero) {
  StartWith({1000, 1000, 1000, 100, 100, 100});
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 20, 0, 0, 0}, 0.0f)), 0);
  Cycles(3);
  // The force has moved the tool 5 cm below the target.
  host.tcpPose.position << 0.0, 0.0, -0.05;
  Cycles(1);

  ASSERT_EQ(Command(records::Release(0.01f)), 0);
  EXPECT_NEAR(module.m_lawState.errorOffset[2], 0.05, 1e-12);  // taken at the release
  Cycles(5);  // the fifth cycle ran at elapsed 0.004 of 0.01
  EXPECT_NEAR(module.m_stiffnessRamp.current[2], 400.0, 1e-3);  // z stiffness ramps back in
  host.tcpPose.position << 0.0, 0.0, -0.03;  // still moving while the force ramps out
  Cycles(5);
  EXPECT_NEAR(module.m_lawState.errorOffset[2], 0.03, 1e-12);
  Cycles(3);
  EXPECT_EQ(module.m_forceRamp.current, Vector6d::Zero());
  EXPECT_EQ(module.m_stiffnessRamp.current[2], 1000.0);
  // Holding at -0.03: no spring force there.
  EXPECT_NEAR(host.torqueSent[2], 0.0, 1e-9);
  // Moved on to -0.02 after the force ended: the offset no longer follows
  // and the spring pulls back to -0.03.
  host.tcpPose.position << 0.0, 0.0, -0.02;
  Cycles(1);
  EXPECT_NEAR(module.m_lawState.errorOffset[2], 0.03, 1e-12);
  EXPECT_NEAR(host.torqueSent[2], 1000.0 * (0.02 - 0.03), 1e-9);
}

// The force present at the command, as a commanded force, is the negated
// sensed wrench: the sensor's with one fitted, else the filtered external
// joint torque through the inverse Jacobian (identity here).
TEST_F(ImpedanceModule, RelativeForceIsMeasuredFromTheForceAtTheCommand) {
  StartWith({1000, 1000, 1000, 100, 100, 100});
  CRobotInfo::fts = true;
  host.ftsLpf = Six(0, 0, 7, 0, 0, 0);
  host.jntExtTrqFctrlLpf = Six(0, 0, 3, 0, 0, 0);
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0.0f, 1)), 0);
  host.ftsLpf.setZero();  // later readings do not matter
  Cycles(3);
  EXPECT_NEAR(module.m_forceRamp.current[2], -7.0, 1e-9);
  EXPECT_NEAR(host.torqueSent[2], -7.0, 1e-6);

  CRobotInfo::fts = false;
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 1, 0, 0, 0}, 0.0f, 1)), 0);
  Cycles(3);
  EXPECT_NEAR(module.m_forceRamp.current[2], -2.0, 1e-3);  // damped inverse

  // Any relative byte other than 1 is absolute.
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 1, 0, 0, 0}, 0.0f, 2)), 0);
  Cycles(3);
  EXPECT_DOUBLE_EQ(module.m_forceRamp.current[2], 1.0);
}

// A second stiffness command halfway through a 1 s ramp continues from the
// stiffness reached (2000 N/m): the torque of a fixed 3 mm error moves by at
// most a few per-cycle increments, never by the step back to the old target.
TEST_F(ImpedanceModule, ACommandInMidRampContinuesFromTheStiffnessReached) {
  StartWith({1000, 1000, 1000, 100, 100, 100});
  host.tcpPoseTg.position << 0.003, 0.0, 0.0;
  ASSERT_EQ(Command(records::Stiffness({3000, 1000, 1000, 100, 100, 100}, 1.0f)), 0);
  Cycles(501);
  const double before = host.torqueSent[0];
  EXPECT_NEAR(before, 2000 * 0.003, 0.05);
  ASSERT_EQ(Command(records::Stiffness({1000, 1000, 1000, 100, 100, 100}, 1.0f)), 0);
  Cycles(1);
  EXPECT_NEAR(host.torqueSent[0], before, 0.01);
}

TEST_F(ImpedanceModule, RampTimeZeroTakesStartThenTargetThenFinishes) {
  StartWith({1000, 1000, 1000, 100, 100, 100});
  host.tcpPoseTg.position << 0.01, 0.0, 0.0;
  Cycles(2);
  ASSERT_EQ(Command(records::Stiffness({3000, 1000, 1000, 100, 100, 100}, 0.0f)), 0);
  EXPECT_DOUBLE_EQ(module.m_gainTime, 0.001);

  Cycles(1);
  EXPECT_NEAR(host.torqueSent[0], 10.0, 1e-9);  // still the start value
  EXPECT_EQ(module.CheckControlState(), 2);
  Cycles(1);
  EXPECT_NEAR(host.torqueSent[0], 30.0, 1e-9);  // the target
  EXPECT_EQ(module.CheckControlState(), 2);
  Cycles(1);
  EXPECT_EQ(module.CheckControlState(), 0);  // finished
  // The motion library's word also keeps the state busy.
  host.motionLibStatus = 1;
  EXPECT_EQ(module.CheckControlState(), 2);
}

TEST_F(ImpedanceModule, FactorCommandsAndUnknownTypesAreRefusedWithoutEffect) {
  StartWith({1000, 1000, 1000, 100, 100, 100});
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 20, 0, 0, 0}, 0.5f)), 0);
  Cycles(10);
  const Vector6d stiffnessTarget = module.m_stiffnessRamp.target,
                 forceTarget = module.m_forceRamp.target,
                 commandStiffness = module.m_commandStiffness;
  const double elapsed = module.m_gainElapsed, time = module.m_gainTime;
  const int refCoordWrites = host.setRefCoordCount;

  for (int32_t type : {2, 3, 0, 6, -1}) {
    EXPECT_EQ(Command(records::Factor(type, {9, 9, 9, 9, 9, 9}, 0.0f)), -1) << type;
  }
  EXPECT_EQ(module.m_stiffnessRamp.target, stiffnessTarget);
  EXPECT_EQ(module.m_forceRamp.target, forceTarget);
  EXPECT_EQ(module.m_commandStiffness, commandStiffness);
  EXPECT_EQ(module.m_gainElapsed, elapsed);
  EXPECT_EQ(module.m_gainTime, time);
  EXPECT_EQ(host.setRefCoordCount, refCoordWrites);
}

struct DampingCase {
  const char* name;
  records::Six stiffness;
  int axis;
  double force;  // commanded on `axis` when non-zero
  bool paused;
  double expected;
};

// Lists a case by its name, not as a byte dump, so test names stay stable.
void PrintTo(const DampingCase& c, std::ostream* os) {
  *os << c.name;
}

class ImpedanceDamping : public ImpedanceModule,
                         public ::testing::WithParamInterface<DampingCase> {};

TEST_P(ImpedanceDamping, FollowsTheRules) {
  const DampingCase& c = GetParam();
  StartWith(c.stiffness);
  if (c.force != 0.0) {
    records::Six force{};
    std::array<uint8_t, 6> direction{};
    force[c.axis] = static_cast<float>(c.force);
    direction[c.axis] = 1;
    ASSERT_EQ(Command(records::Force(direction, force, 0.0f)), 0);
  }
  if (c.paused) {
    ASSERT_EQ(module.Pause(nullptr), 0);
  }
  Cycles(300);  // every ramp over
  EXPECT_NEAR(MeasuredDamping(c.axis), c.expected, 1e-3);
}

// The rule itself is checked on the law; these check what the module feeds
// it: the pause gains and the damping ceiling.
INSTANTIATE_TEST_SUITE_P(
    Cases, ImpedanceDamping,
    ::testing::Values(
        DampingCase{"x3000paused", {3000, 1000, 1000, 100, 100, 100}, 0, 0.0, true, 400.0},
        DampingCase{"y500paused", {1000, 500, 1000, 100, 100, 100}, 1, 0.0, true, 400.0},
        DampingCase{"rx100paused", {1000, 1000, 1000, 100, 100, 100}, 3, 0.0, true, 40.0},
        DampingCase{"zForce200Capped", {1000, 1000, 1000, 100, 100, 100}, 2, 200.0, false, 400.0}),
    [](const ::testing::TestParamInfo<DampingCase>& info) { return info.param.name; });

// The orientation limit (1 Nm a degree past 90, tested on the law) is added
// in the compliance frame: in a tool frame turned 90 degrees about x the
// error about base z shows on the frame's y axis, and the torque goes back
// through J^T (not the identity, so it is seen to act last).
TEST_F(ImpedanceModule, OrientationLimitIsAddedInTheComplianceFrame) {
  Matrix6d J;
  for (int r = 0; r < 6; ++r)
    for (int c = 0; c < 6; ++c) J(r, c) = (r == c ? 2.0 : 0.0) + 0.1 * (r + 1) - 0.05 * c;
  host.tcpJ = J;
  host.tcpPoseTg.rotation = Rz(100.0 * kPi / 180.0);
  host.refCoord = host.motionCmdCoord = {COORD_TOOL, 0, 0};
  host.r0 = Rx(kPi / 2);
  StartWith({1000, 1000, 1000, 100, 0, 100});
  Cycles(1);
  EXPECT_TRUE(host.torqueSent.isApprox(J.transpose() * Axis(5, 10.0), 1e-9))
      << host.torqueSent.transpose();
}

TEST_F(ImpedanceModule, StiffnessActsAlongTheComplianceFrameAxes) {
  // Tool frame turned 90 degrees about z: base x is the frame's -y.
  host.refCoord = host.motionCmdCoord = {COORD_TOOL, 0, 0};
  host.r0 = Rz(kPi / 2);
  StartWith({1000, 200, 1000, 100, 100, 100});
  host.tcpPoseTg.position << 0.01, 0.0, 0.0;
  Cycles(1);
  EXPECT_NEAR(host.torqueSent[0], 200.0 * 0.01, 1e-9);
  EXPECT_NEAR(host.torqueSent[1], 0.0, 1e-9);
}

TEST_F(ImpedanceModule, PausedArmSettlesAfter101QuietCycles) {
  StartWith({1000, 1000, 1000, 100, 100, 100});
  host.decTime = 0.01;
  ASSERT_EQ(module.Pause(nullptr), 0);
  // 0.5 degree per second in all.
  host.jntVelLpf = Vector6d::Constant(0.5 * kPi / 180.0 / 6.0);
  Cycles(50);
  EXPECT_EQ(module.m_lawState.settleCount, 50);
  host.jntVelLpf[3] = 2.0 * kPi / 180.0;  // one faster cycle restarts the count
  Cycles(1);
  EXPECT_EQ(module.m_lawState.settleCount, 0);
  host.jntVelLpf[3] = 0.0;
  // A speed that is not a number is not quiet either.
  host.jntVelLpf[4] = kNaN;
  Cycles(1);
  EXPECT_EQ(module.m_lawState.settleCount, 0);
  host.jntVelLpf[4] = 0.0;

  host.tcpPose.position << 0.0, 0.0, -0.004;  // where the arm came to rest
  Cycles(100);
  EXPECT_FALSE(module.m_lawState.pauseSettled);
  Cycles(1);
  EXPECT_TRUE(module.m_lawState.pauseSettled);
  EXPECT_NEAR(module.m_lawState.pauseErrorOffset[2], 0.004, 1e-12);

  // Held there: no spring force at the rest pose, and a push away from it
  // is resisted with the pause stiffness (3000 N/m).
  Cycles(1);
  EXPECT_NEAR(host.torqueSent[2], 0.0, 1e-9);
  host.tcpPose.position << 0.0, 0.0, -0.005;
  Cycles(1);
  EXPECT_NEAR(host.torqueSent[2], 3000.0 * 0.001, 1e-9);
}

TEST_F(ImpedanceModule, PauseRampsToPauseGainsAndResumeRestoresSavedOnes) {
  StartWith({1000, 1000, 1000, 100, 100, 100});
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 20, 0, 0, 0}, 0.0f)), 0);
  Cycles(3);
  host.decTime = 0.001;  // raised to 0.025 s
  ASSERT_EQ(module.Pause(nullptr), 0);
  EXPECT_DOUBLE_EQ(module.m_gainTime, 0.025);
  EXPECT_EQ(module.Pause(nullptr), 0);  // a second pause changes nothing
  EXPECT_DOUBLE_EQ(module.m_gainTime, 0.025);
  Cycles(30);
  EXPECT_EQ(module.m_stiffnessRamp.current, Six(3000, 3000, 3000, 600, 600, 600));
  EXPECT_EQ(module.m_forceRamp.current, Vector6d::Zero());

  ASSERT_EQ(module.Resume(nullptr), 0);
  EXPECT_EQ(module.Resume(nullptr), 0);  // not paused any more: nothing
  Cycles(30);
  EXPECT_FALSE(module.m_paused);
  EXPECT_EQ(module.m_stiffnessRamp.current, Six(1000, 1000, 0, 100, 100, 100));
  EXPECT_EQ(module.m_forceRamp.current, Six(0, 0, 20, 0, 0, 0));
  EXPECT_EQ(module.m_forceDirection, Axis(2));
  EXPECT_NEAR(MeasuredDamping(0), 4.0 * std::sqrt(1000.0), 1e-6);  // scale back to 1
}

TEST_F(ImpedanceModule, GainCommandsWhilePausedTakeEffectOnResume) {
  StartWith({1000, 1000, 1000, 100, 100, 100});
  ASSERT_EQ(module.Pause(nullptr), 0);
  ASSERT_EQ(Command(records::Stiffness({2000, 2000, 2000, 50, 50, 50}, 0.0f)), 0);
  Cycles(300);
  // Still holding with the pause gains.
  EXPECT_TRUE(module.m_paused);
  EXPECT_EQ(module.m_stiffnessRamp.current, Six(3000, 3000, 3000, 600, 600, 600));
  ASSERT_EQ(module.Resume(nullptr), 0);
  Cycles(300);
  EXPECT_EQ(module.m_stiffnessRamp.current, Six(2000, 2000, 2000, 50, 50, 50));
}

// What the module hands the law (the torque's closed form is tested on the
// law alone, impedance_law_test.cpp): the host's gravity and friction, and
// position set-points that follow the robot.
TEST_F(ImpedanceModule, HostGravityAndFrictionReachTheTorqueAndSetPointsFollowTheRobot) {
  host.jntTrqGrav = Six(0, 60, 25, 3, 1, 0.1);
  host.jntTrqFric = Six(0.3, -0.2, 0.1, 0.05, -0.05, 0.01);
  host.tcpPoseTg = host.tcpPose;
  StartWith({3000, 3000, 3000, 200, 200, 200});
  Cycles(3);
  EXPECT_TRUE(host.torqueSent.isApprox(host.jntTrqGrav + host.jntTrqFric, 1e-12))
      << host.torqueSent.transpose();
  host.jntPos = Six(0.1, -0.2, 0.3, -0.4, 0.5, -0.6);
  Cycles(1);
  EXPECT_EQ(host.jntPosSent, host.jntPos);
}

// The feed-forward inertia adds each rotor's gear ratio squared times its
// motor inertia, and the host's damped inverse is taken at 0.15 times the
// model scale.
TEST_F(ImpedanceModule, FeedForwardTakesTheRotorsAndTheDampedInverseAtTheScaledLimit) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const Matrix6d M = Matrix6d::NullaryExpr([&] { return u(rng); }) + 5.0 * Matrix6d::Identity();
  const Matrix6d J = Matrix6d::NullaryExpr([&] { return 0.2 * u(rng); }) + Matrix6d::Identity();
  host.jntM = M;
  host.tcpJ = J;
  host.tcpAccTg = Six(0.5, -0.2, 0.1, 0.0, 0.3, 0.0);
  host.modelScale = 2.0;
  for (int i = 0; i < 6; ++i) {
    CRobotInfo::gearratio[i] = 50.0 + 10 * i;
    CRobotInfo::motorinertia[i] = 1e-4 * (i + 1);
  }
  StartWith({1000, 1000, 1000, 100, 100, 100});
  Cycles(1);

  // Independent: the damped inverse written as a solve.
  const double lambda = 2.0 * 0.15;
  const Matrix6d A = J * J.transpose() + lambda * lambda * Matrix6d::Identity();
  Matrix6d Mr = M;
  for (int i = 0; i < 6; ++i)
    Mr(i, i) += CRobotInfo::gearratio[i] * CRobotInfo::gearratio[i] * CRobotInfo::motorinertia[i];
  const Vector6d expected = Mr * J.transpose() * A.inverse() * host.tcpAccTg;
  EXPECT_TRUE(host.torqueSent.isApprox(expected, 1e-9)) << host.torqueSent.transpose() << "\n"
                                                        << expected.transpose();
}

// A force command that selects no axis (error 9401) leaves pure impedance.
TEST_F(ImpedanceModule, AForceCommandWithoutAxesKeepsPureImpedance) {
  StartWith({1000, 1000, 1000, 100, 100, 100});
  EXPECT_EQ(Command(records::Force({0, 0, 0, 0, 0, 0}, {0, 0, 20, 0, 0, 0}, 0.0f)), 0);
  EXPECT_EQ(host.lastErrorCode, 9401);
  Cycles(3);
  EXPECT_EQ(module.m_forceRamp.current, Vector6d::Zero());
  EXPECT_EQ(module.m_stiffnessRamp.current, Six(1000, 1000, 1000, 100, 100, 100));
}

TEST_F(ImpedanceModule, TorqueThatIsNotANumberFallsBackToGravity) {
  StartWith({1000, 1000, 1000, 100, 100, 100});
  host.jntTrqGrav = Six(0, 40, 20, 2, 1, 0);
  Cycles(1);
  const Vector6d good = host.torqueSent;

  host.tcpJ(2, 3) = kNaN;  // the host's Jacobian breaks down for a cycle
  Cycles(1);
  EXPECT_EQ(host.torqueSent, host.jntTrqGrav);
  host.tcpJ.setIdentity();

  // Measured pose NaN: the error offsets must not keep the NaN afterwards.
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 20, 0, 0, 0}, 0.0f)), 0);
  Cycles(3);
  ASSERT_EQ(Command(records::Release(0.005f)), 0);
  host.tcpPose.position[2] = kNaN;
  Cycles(2);
  EXPECT_EQ(host.torqueSent, host.jntTrqGrav);
  host.jntTrqGrav[1] = std::numeric_limits<double>::infinity();
  Cycles(1);
  EXPECT_TRUE(host.torqueSent.allFinite());  // the last finite torque
  host.jntTrqGrav[1] = 40.0;
  host.tcpPose.position[2] = 0.0;
  Cycles(10);
  EXPECT_TRUE(module.m_lawState.errorOffset.allFinite());
  EXPECT_TRUE(host.torqueSent.isApprox(good, 1e-9)) << host.torqueSent.transpose();
}

// Thousands of cycles of random command records (random bytes, so NaN,
// infinity and huge values too), random wrenches and random arm motion:
// the host never sees a torque that is not finite.
TEST_F(ImpedanceModule, RandomRecordsAndWrenchesNeverYieldANonFiniteTorque) {
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  auto randomFloat = [&]() -> float {
    switch (byte(rng) % 6) {
      case 0: {  // any bit pattern
        uint32_t bits = 0;
        for (int k = 0; k < 4; ++k) bits = bits << 8 | static_cast<uint32_t>(byte(rng));
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
      }
      case 1:
        return std::numeric_limits<float>::quiet_NaN();
      case 2:
        return (byte(rng) & 1 ? 1 : -1) * std::numeric_limits<float>::infinity();
      case 3:
        return static_cast<float>(u(rng) * 1e6);
      default:
        return static_cast<float>(u(rng) * 100.0);
    }
  };
  auto randomWrench = [&]() {
    Vector6d w;
    for (int i = 0; i < 6; ++i) {
      const int k = byte(rng);
      w[i] = k < 8 ? kNaN : k < 16 ? std::numeric_limits<double>::infinity() : 200.0 * u(rng);
    }
    return w;
  };

  CRobotInfo::Monitoring.extTorqueLimit = 1e9;
  host.tcpJ = Matrix6d::Identity() + 0.1 * Matrix6d::NullaryExpr([&] { return u(rng); });
  StartWith({1000, 1000, 1000, 100, 100, 100});
  int refused = 0, taken = 0;
  for (int cycle = 0; cycle < 20000; ++cycle) {
    host.ftsLpf = randomWrench();
    host.jntExtTrqFctrlLpf = randomWrench();
    host.jntTrqExt = randomWrench();
    CRobotInfo::fts = byte(rng) & 1;
    host.tcpPose.position += 0.001 * Eigen::Vector3d(u(rng), u(rng), u(rng));
    host.tcpPose.rotation = Matrix3d(host.tcpPose.rotation) *
                            Eigen::AngleAxisd(0.05 * u(rng), Eigen::Vector3d::UnitX()).matrix();
    host.tcpVel.linear << u(rng), u(rng), u(rng);
    host.jntVelLpf = Vector6d::Constant(0.001 * u(rng));

    if (byte(rng) < 24) {
      Bytes record(64);
      for (auto& b : record) b = static_cast<uint8_t>(byte(rng));
      const int32_t type = byte(rng) % 7;
      records::PutInt32(record, 0, type);
      for (size_t offset : {2u, 5u, 11u, 26u, 29u, 35u, 50u})
        records::PutFloat(record, offset, randomFloat());
      (module.UpdateControlGain(record.data()) == 0 ? taken : refused)++;
    }
    if (byte(rng) < 2) module.Pause(nullptr);
    if (byte(rng) < 2) module.Resume(nullptr);
    if (!module.IsRunning()) StartWith({1000, 1000, 1000, 100, 100, 100});
    ASSERT_EQ(module.DoControl(), 0);
    ASSERT_TRUE(host.torqueSent.allFinite())
        << "cycle " << cycle << ": " << host.torqueSent.transpose();
  }
  EXPECT_GT(taken, 50);
  EXPECT_GT(refused, 100);
}

}  // namespace
