// The admittance module against a fake host: gain rules, ramps, and what
// the module hands its law (frames, factors, pause, task space). The law's
// physics is tested on the law alone (admittance_law_test.cpp).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "probe.h"
#include "support/command_records.h"
#include "support/fake_host.h"
#include "support/vectors.h"

namespace admittance_test {
namespace {

using records::Bytes;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class AdmittanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseAdmittanceDefaults(ctx);
    module.SetRobotControlContext(&ctx);
  }
  void TearDown() override { CRobotInfo::fts = false; }

  int Start(std::array<float, 6> stiffness = {1000, 1000, 1000, 100, 100, 100}, float time = 0.0f,
            std::array<float, 6> force = {0, 0, 0, 0, 0, 0}) {
    Bytes record = records::Start(stiffness, force, time);
    return module.Start(record.data());
  }
  int Command(Bytes record) { return module.UpdateControlGain(record.data()); }
  void Cycles(int n) {
    for (int i = 0; i < n; ++i) ASSERT_EQ(module.DoControl(), 0);
  }
  // Virtual joint mass of model 0 without payload on the fake's unit inertia.
  static double Model0Mass(int joint) {
    static const double a[6] = {6.75, 9.0, 6.0, 2.0, 3.0, 0.75};
    return a[joint] + 1.5 * std::sqrt(6.0);
  }

  FakeHost ctx;
  Probe module{7, nullptr};
};

// ---------------------------------------------------------------------------
// Gain rules

TEST_F(AdmittanceTest, StiffnessIsFoldedCappedAndDeadBanded) {
  ASSERT_EQ(Start(), 0);
  ASSERT_EQ(Command(records::Stiffness({-500, 25000, 0.00005f, 2000, -0.00002f, 300}, 0)), 0);
  EXPECT_TRUE(module.m_stiffnessRamp.target.isApprox(Six(500, 20000, 0, 1000, 0, 300)))
      << module.m_stiffnessRamp.target.transpose();
  // The start record goes through the same rules.
  ASSERT_EQ(Start({-700, 1e9f, 3, 5000, 0.00001f, 10}), 0);
  Cycles(1);
  EXPECT_TRUE(module.m_stiffnessRamp.current.isApprox(Six(700, 20000, 3, 1000, 0, 10)))
      << module.m_stiffnessRamp.current.transpose();
}

TEST_F(AdmittanceTest, ForceFactorFollowsHostForceDirectionsAndLimits) {
  ctx.forceDir = Six(0, 1, 1, 1, 1, 1);
  ASSERT_EQ(Start(), 0);
  ASSERT_EQ(Command(records::Factor(2, {0, 5, -0.05f, 1.5f, 0, 0.5f}, 0)), 0);
  EXPECT_TRUE(module.m_forceFactorRamp.target.isApprox(Six(1.0, 2.0, 0.1, 1.5, 0.1, 0.5), 1e-6))
      << module.m_forceFactorRamp.target.transpose();
  // The factor handlers report the ramp as running at once.
  EXPECT_EQ(module.CheckControlState(), 2);
  Cycles(2);
  EXPECT_TRUE(module.m_forceFactorRamp.current.isApprox(module.m_forceFactorRamp.target));
}

TEST_F(AdmittanceTest, DampingFactorOnlyActsOnForceAxes) {
  ASSERT_EQ(Start(), 0);
  ASSERT_EQ(Command(records::Factor(3, {5, 0.05f, 0, 1.7f, 2, 0.3f}, 0)), 0);
  EXPECT_TRUE(module.m_dampingFactorRamp.target.isApprox(Vector6::Ones()));

  ASSERT_EQ(Command(records::Force({1, 0, 2, 0, 0, 1}, {5, 0, 5, 0, 0, 1}, 0)), 0);
  ASSERT_EQ(Command(records::Factor(3, {5, 0.05f, 0.05f, 1.7f, 2, -0.3f}, 0)), 0);
  // x, z (byte 2 counts as set) and rz are force-controlled.
  EXPECT_TRUE(module.m_dampingFactorRamp.target.isApprox(Six(2.0, 1.0, 0.1, 1.0, 1.0, 0.3), 1e-6))
      << module.m_dampingFactorRamp.target.transpose();
}

TEST_F(AdmittanceTest, ZeroRampTimeEndsOnTheSecondCycleAndReportsDoneOnTheThird) {
  ASSERT_EQ(Start(), 0);
  Cycles(3);
  EXPECT_EQ(module.CheckControlState(), 0);
  ASSERT_EQ(Command(records::Stiffness({2000, 1000, 1000, 100, 100, 100}, 0)), 0);
  EXPECT_DOUBLE_EQ(module.m_gainTime, 0.001);

  Cycles(1);
  EXPECT_DOUBLE_EQ(module.m_stiffnessRamp.current[0], 1000.0);
  EXPECT_EQ(module.CheckControlState(), 2);
  Cycles(1);
  EXPECT_DOUBLE_EQ(module.m_stiffnessRamp.current[0], 2000.0);
  EXPECT_EQ(module.CheckControlState(), 2);
  Cycles(1);
  EXPECT_EQ(module.CheckControlState(), 0);
  // The host's motion library also keeps the module busy.
  ctx.motionLibStatus = 1;
  EXPECT_EQ(module.CheckControlState(), 2);
}

TEST_F(AdmittanceTest, StartAppliesTheStiffnessAtOnceAndSelectsNoForceAxis) {
  ctx.jntPosD = Six(0.1, 0.2, 0.3, 0.4, 0.5, 0.6);
  ASSERT_EQ(Start({1500, 1200, 900, 80, 70, 60}, 0.5f, {50, 50, 50, 5, 5, 5}), 0);
  EXPECT_EQ(ctx.servoMode, SERVO_POSITION);
  EXPECT_EQ(ctx.motionSpace, SPACE_TASK);
  EXPECT_EQ(ctx.compForce, COMPFORCE_ON);
  EXPECT_TRUE(ctx.jntPosInit.isApprox(ctx.jntPosD));
  Cycles(1);
  EXPECT_TRUE(module.m_stiffnessRamp.current.isApprox(Six(1500, 1200, 900, 80, 70, 60)));
  EXPECT_TRUE(module.m_forceAxes.isZero());
  EXPECT_TRUE(module.m_forceRefRamp.current.isZero());
  EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(AdmittanceTest, ForceThenReleaseRampStiffnessAndForceReference) {
  ASSERT_EQ(Start(), 0);
  Cycles(3);
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 20, 0, 0, 0}, 0.125f)), 0);
  Cycles(63);  // the 63rd cycle runs at 0.062 s of 0.125 s
  EXPECT_NEAR(module.m_stiffnessRamp.current[2], 1000.0 * (1.0 - 0.062 / 0.125), 1e-6);
  EXPECT_NEAR(module.m_forceRefRamp.current[2], -20.0 * 0.062 / 0.125, 1e-6);
  EXPECT_DOUBLE_EQ(module.m_stiffnessRamp.current[0], 1000.0);
  Cycles(70);
  EXPECT_DOUBLE_EQ(module.m_stiffnessRamp.current[2], 0.0);
  EXPECT_DOUBLE_EQ(module.m_forceRefRamp.current[2], -20.0);

  ASSERT_EQ(Command(records::Release(0.25f)), 0);
  EXPECT_TRUE(module.m_forceAxes.isZero());
  Cycles(126);  // 0.125 s of 0.25 s
  EXPECT_NEAR(module.m_stiffnessRamp.current[2], 500.0, 1e-6);
  EXPECT_NEAR(module.m_forceRefRamp.current[2], -10.0, 1e-6);
  Cycles(130);
  EXPECT_DOUBLE_EQ(module.m_stiffnessRamp.current[2], 1000.0);
  EXPECT_DOUBLE_EQ(module.m_forceRefRamp.current[2], 0.0);
}

TEST_F(AdmittanceTest, NoForceDirectionIsReportedAndTheCommandStillTaken) {
  ASSERT_EQ(Start(), 0);
  ASSERT_EQ(Command(records::Force({0, 0, 0, 0, 0, 0}, {0, 0, 20, 0, 0, 0}, 0)), 0);
  EXPECT_EQ(ctx.lastErrorCode, 9401);
  EXPECT_TRUE(module.m_forceAxes.isZero());
  EXPECT_TRUE(module.IsRunning());
}

// ---------------------------------------------------------------------------
// What the module hands the law (the physics is tested on the law alone)

// The factor commands reach the law on their axes: the force factor scales
// the apparent mass, the damping factor the damping ratio (0.5 raised to 1).
TEST_F(AdmittanceTest, FactorCommandsReachTheLawOnTheirAxes) {
  ASSERT_EQ(Start(), 0);  // model 0: damping ratio 5
  ASSERT_EQ(Command(records::Force({1, 0, 0, 0, 0, 0}, {5, 0, 0, 0, 0, 0}, 0)), 0);
  ASSERT_EQ(Command(records::Factor(2, {2, 1, 1, 1, 1, 1}, 0)), 0);
  ASSERT_EQ(Command(records::Factor(3, {0.1f, 1, 1, 1, 1, 1}, 0)), 0);
  Cycles(3);
  EXPECT_NEAR(module.m_lawState.taskMass[0], 2.0 * Model0Mass(0), 1e-9);
  EXPECT_NEAR(module.m_lawState.taskMass[1], Model0Mass(1), 1e-9);
  EXPECT_DOUBLE_EQ(module.m_lawState.dampingRatio[0], 1.0);
  EXPECT_DOUBLE_EQ(module.m_lawState.dampingRatio[1], 5.0);
}

// The damping ramp starts from zero, so the first cycle has no damping; its
// stiffness is raised to 529 N/m and 52.9 Nm/rad.
TEST_F(AdmittanceTest, DampingIsZeroInTheFirstCycleThenDesignedForTheRaisedStiffness) {
  ASSERT_EQ(Start({1000, 200, 3000, 10, 100, 600}), 0);
  Cycles(1);
  EXPECT_TRUE(module.m_lawState.dampingMatrix.isZero());
  Cycles(1);
  EXPECT_EQ(module.m_dampingStiffnessRamp.current, Six(1000, 529, 3000, 52.9, 100, 600));
  EXPECT_FALSE(module.m_lawState.dampingMatrix.isZero());
}

// Models 7 and 8 with singular handling 3 are four-axis arms: the law keeps
// no moment about the first two axes. Other pairs keep all six.
TEST_F(AdmittanceTest, OnlyModelsSevenAndEightWithHandlingThreeAreFourAxisArms) {
  const struct {
    int model, handling;
    bool fourAxis;
  } cases[] = {{7, 3, true}, {8, 3, true}, {7, 0, false}, {1, 3, false}};
  for (const auto& c : cases) {
    ctx.model = c.model;
    ctx.singularHandling = static_cast<uint8_t>(c.handling);
    ASSERT_EQ(Start(), 0);
    ctx.jntTrqExtFctrl = Six(3, -2, 1, 0.5, 0.7, 0.3);
    Cycles(3);
    EXPECT_EQ(module.m_lawState.extWrench[3] == 0.0, c.fourAxis) << c.model << "/" << c.handling;
  }
}

TEST_F(AdmittanceTest, ToolFrameStiffnessActsAlongTheToolAxes) {
  // Tool turned 90 degrees about z: tool x is base y.
  ctx.r0 = Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  ctx.motionCmdCoord = {COORD_TOOL, 0, 0};
  ASSERT_EQ(Start({1000, 5000, 5000, 100, 100, 100}), 0);
  ctx.jntTrqExtFctrl = Six(0, 10, 0, 0, 0, 0);  // push along base y = tool x
  Cycles(15000);
  EXPECT_NEAR(module.m_lawState.admDisp[1], 10.0 / 1000.0, 1e-6);
  EXPECT_NEAR(module.m_lawState.admDisp[0], 0.0, 1e-9);
}

TEST_F(AdmittanceTest, PauseFreezesTheOffsetAndResumeContinuesFromIt) {
  ASSERT_EQ(Start(), 0);
  ctx.jntTrqExtFctrl = Six(10, 0, 0, 0, 0, 0);
  Cycles(100);
  ASSERT_EQ(module.Pause(nullptr), 0);
  const Vector6 frozen = module.m_lawState.admDisp;
  ASSERT_GT(frozen[0], 1e-4);
  ctx.tcpPoseTg.position = Eigen::Vector3d(0.1, 0.0, 0.0);
  ctx.tcpVelTg.linear = Eigen::Vector3d(0.05, 0, 0);
  Cycles(100);
  EXPECT_TRUE(module.m_lawState.admDisp.isApprox(frozen));
  EXPECT_NEAR(ctx.poseSent.position.x(), 0.1 + frozen[0], 1e-12);
  EXPECT_NEAR(ctx.velSent.linear.x(), 0.05, 1e-12);
  ASSERT_EQ(module.Resume(nullptr), 0);
  Cycles(1);
  EXPECT_GT(module.m_lawState.admDisp[0], frozen[0]);
  Cycles(15000);
  EXPECT_NEAR(module.m_lawState.admDisp[0], 0.01, 1e-6);
}

TEST_F(AdmittanceTest, OutsideTaskSpaceNothingIsSent) {
  ASSERT_EQ(Start(), 0);
  Cycles(2);
  ctx.motionSpace = SPACE_JOINT;
  const long poses = ctx.poseCount, joints = ctx.jntPosCount;
  ctx.jntTrqExtFctrl = Six(10, 0, 0, 0, 0, 0);
  Cycles(20);
  EXPECT_EQ(ctx.poseCount, poses);
  EXPECT_EQ(ctx.jntPosCount, joints);
  EXPECT_TRUE(module.m_lawState.admDisp.isZero());
}

// A posture accepted at Start complies even close to the host's singular-value
// limit: the external wrench is estimated and moves the tool.
TEST_F(AdmittanceTest, NearASingularityAnAcceptedPostureStillComplies) {
  ctx.minSingularValue = 0.08;
  ctx.complianceSvMax = 0.05;
  ASSERT_EQ(Start(), 0);
  ctx.jntTrqExtFctrl = Six(10, 5, 0, 0, 1, 0);
  Cycles(500);
  EXPECT_FALSE(module.m_lawState.extWrench.isZero());
  EXPECT_FALSE(module.m_lawState.admDisp.isZero());
  // The force reference still acts.
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 5, 0, 0, 0}, 0)), 0);
  Cycles(10);
  EXPECT_GT(module.m_lawState.admDisp[2], 0.0);
}

// Relative: the force present at the command (the negated external wrench,
// here from the joint torque through the inverse of an identity Jacobian)
// is added to the commanded force; the measured torque is left as it is.
TEST_F(AdmittanceTest, RelativeForceIsMeasuredFromTheTorqueAtTheCommand) {
  ASSERT_EQ(Start(), 0);
  ctx.jntExtTrqFctrlLpf = Six(0, 0, 4, 0, 0, 0);
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 6, 0, 0, 0}, 0, 1)), 0);
  EXPECT_NEAR(module.m_forceOffset[2], -4.0, 1e-2);
  EXPECT_NEAR(module.m_forceTarget[2], 2.0, 1e-2);
  // A relative byte other than 1 is absolute.
  ASSERT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 6, 0, 0, 0}, 0, 2)), 0);
  EXPECT_TRUE(module.m_forceOffset.isZero());
  EXPECT_EQ(module.m_forceTarget[2], 6.0);
  ctx.jntTrqExtFctrl = Six(0, 0, -2, 0, 0, 0);
  Cycles(3);
  EXPECT_NEAR(module.m_lawState.extTorqueNet[2], -2.0, 1e-9);
}

// ---------------------------------------------------------------------------
// Smooth gain changes (a command never restarts a ramp from a stale value)

TEST_F(AdmittanceTest, FactorCommandAfterAStiffnessRampDoesNotReplayIt) {
  ASSERT_EQ(Start(), 0);
  ASSERT_EQ(Command(records::Stiffness({3000, 1000, 1000, 100, 100, 100}, 0.0625f)), 0);
  Cycles(100);
  ASSERT_DOUBLE_EQ(module.m_stiffnessRamp.current[0], 3000.0);
  ASSERT_EQ(Command(records::Factor(2, {1.5f, 1, 1, 1, 1, 1}, 0.0625f)), 0);
  for (int i = 0; i < 100; ++i) {
    Cycles(1);
    ASSERT_DOUBLE_EQ(module.m_stiffnessRamp.current[0], 3000.0) << "cycle " << i;
  }
}

TEST_F(AdmittanceTest, CommandsInTheMiddleOfARampContinueFromTheValueReached) {
  ASSERT_EQ(Start(), 0);
  ASSERT_EQ(Command(records::Stiffness({3000, 1000, 1000, 100, 100, 100}, 0.1f)), 0);
  Cycles(50);
  double last = module.m_stiffnessRamp.current[0];
  ASSERT_EQ(Command(records::Factor(3, {1, 1, 1, 1, 1, 1}, 0.1f)), 0);
  ASSERT_EQ(Command(records::Stiffness({500, 1000, 1000, 100, 100, 100}, 0.1f)), 0);
  for (int i = 0; i < 150; ++i) {
    Cycles(1);
    EXPECT_LE(std::fabs(module.m_stiffnessRamp.current[0] - last), 30.0) << "cycle " << i;
    last = module.m_stiffnessRamp.current[0];
  }
  EXPECT_DOUBLE_EQ(module.m_stiffnessRamp.current[0], 500.0);

  // Force factor then damping factor before the next cycle: both ramp.
  ctx.forceDir.setOnes();
  ASSERT_EQ(Command(records::Factor(2, {2, 1, 1, 1, 1, 1}, 0.125f)), 0);
  ASSERT_EQ(Command(records::Factor(3, {1, 1, 1, 1, 1, 1}, 0.125f)), 0);
  Cycles(1);
  EXPECT_DOUBLE_EQ(module.m_forceFactorRamp.current[0], 1.0);
  Cycles(62);  // 0.062 s of 0.125 s
  EXPECT_NEAR(module.m_forceFactorRamp.current[0], 1.0 + 0.062 / 0.125, 1e-6);
}

// ---------------------------------------------------------------------------
// Bad host data and random commands never reach the host as NaN or infinity

TEST_F(AdmittanceTest, HostValuesThatAreNotNumbersNeverReachTheOutput) {
  ASSERT_EQ(Start(), 0);
  ctx.jntTrqExtFctrl = Six(5, 0, 0, 0, 0, 0);
  Cycles(50);
  const Eigen::Vector3d held = ctx.poseSent.position;
  ctx.jntTrqExtFctrl = Six(kNaN, kInf, 0, 0, 0, 0);
  Cycles(5);
  ctx.jntTrqExtFctrl = Six(5, 0, 0, 0, 0, 0);
  ctx.jntM(2, 2) = kNaN;
  ctx.payload = kInf;
  Cycles(5);
  ctx.jntM.setZero();  // no inertia: the previous masses stay
  Cycles(5);
  ctx.tcpJ(1, 1) = kNaN;
  Cycles(5);
  ctx.tcpJ = Matrix6::Identity();
  ctx.tcpJ.row(4).setZero();  // an axis the arm cannot move along
  Cycles(5);
  ctx.tcpPoseTg.position.x() = kNaN;
  Cycles(5);
  EXPECT_TRUE(ctx.poseSent.position.allFinite());
  EXPECT_TRUE(ctx.poseSent.rotation.allFinite());
  EXPECT_TRUE(ctx.velSent.linear.allFinite() && ctx.velSent.angular.allFinite());
  EXPECT_GT(ctx.poseSent.position.x(), held.x() - 1e-3);
  EXPECT_TRUE(module.m_lawState.admDisp.allFinite());
  EXPECT_TRUE(module.m_lawState.dampingMatrix.allFinite());
}

Bytes RandomRecord(std::mt19937& rng) {
  Bytes b(64, 0);
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto& x : b) x = static_cast<uint8_t>(byte(rng));
  // Mostly valid types, so the handlers run; raw bytes give NaN, infinity,
  // huge and tiny floats in every field.
  std::uniform_int_distribution<int> type(-1, 7);
  records::PutInt32(b, 0, type(rng));
  return b;
}

TEST_F(AdmittanceTest, RandomRecordsAndWrenchesNeverGiveNaNOrInfinity) {
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> torque(-200.0, 200.0);
  std::uniform_int_distribution<int> pick(0, 99);
  ASSERT_EQ(Start(), 0);
  int taken = 0;
  for (int cycle = 0; cycle < 20000; ++cycle) {
    if (pick(rng) < 5) {
      Bytes r = RandomRecord(rng);
      if (module.UpdateControlGain(r.data()) == 0) ++taken;
    }
    if (pick(rng) == 0) (pick(rng) < 50 ? module.Pause(nullptr) : module.Resume(nullptr));
    for (int j = 0; j < 6; ++j) ctx.jntTrqExtFctrl[j] = torque(rng);
    if (pick(rng) == 0) ctx.jntTrqExtFctrl[pick(rng) % 6] = pick(rng) < 50 ? kNaN : kInf;
    module.DoControl();
    ASSERT_TRUE(ctx.poseSent.position.allFinite()) << "cycle " << cycle;
    ASSERT_TRUE(ctx.poseSent.rotation.allFinite()) << "cycle " << cycle;
    ASSERT_TRUE(ctx.velSent.linear.allFinite() && ctx.velSent.angular.allFinite())
        << "cycle " << cycle;
  }
  EXPECT_GT(taken, 100);
  EXPECT_TRUE(module.IsRunning());
}

}  // namespace
}  // namespace admittance_test
