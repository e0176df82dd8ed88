// One behaviour for every plug-in: the lifecycle rules of docs/control.md
// ("Lifecycle rules"), each checked once over the plug-in libraries (the
// shipped two, and the test spring plug-in, which writes only hooks), loaded
// with dlopen and driven against the simulated arm or the kit's fake host.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "PluginLibrary.h"
#include "SimulatedHost.h"
#include "support/command_records.h"
#include "support/fake_host.h"

namespace {

using Vector6d = Eigen::Vector6d;

using records::Bytes;

// The simulated host, counting what reaches it.
class CountingHost : public hostsim::SimulatedHost {
 public:
  int controlEnds = 0;  // compliance switched off: one per FinControl
  int sends = 0;        // torque or pose set-points
  void setCompForceStatus(COMPFORCE_STATUS status) override {
    if (status == COMPFORCE_OFF) ++controlEnds;
    SimulatedHost::setCompForceStatus(status);
  }
  void setJntTrq_d(const Eigen::Vector6d& tau) override {
    ++sends;
    SimulatedHost::setJntTrq_d(tau);
  }
  void setTCPPose_d(Mota::TaskPosition pose) override {
    ++sends;
    SimulatedHost::setTCPPose_d(pose);
  }
};

class Lifecycle : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string error;
    library = hostsim::PluginLibrary::Open(GetParam(), &error);
    ASSERT_TRUE(library) << error;
    module = library->Create(5, &error);
    ASSERT_NE(module, nullptr) << error;
    module->SetRobotControlContext(&host);
  }
  void TearDown() override { delete module; }

  int Start(const records::Six& stiffness = {1000, 1000, 1000, 50, 50, 50}) {
    Bytes start = records::Start(stiffness);
    return module->Start(start.data());
  }
  int Command(Bytes record) { return module->UpdateControlGain(record.data()); }
  void Cycles(int n) {
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(module->DoControl(), 0);
      host.Actuate();
    }
  }
  // Host state that a module outside control must leave alone.
  void ExpectIdleHost(int sendsBefore) {
    EXPECT_FALSE(host.ComplianceOn());
    EXPECT_EQ(host.getServoMode(), SERVO_POSITION);
    EXPECT_EQ(host.sends, sendsBefore);
  }

  CountingHost host;
  std::unique_ptr<hostsim::PluginLibrary> library;
  ControlModule* module = nullptr;
};

TEST_P(Lifecycle, StopWithoutARecordEndsControlOnce) {
  ASSERT_EQ(Start(), 0);
  Cycles(5);
  EXPECT_EQ(module->Stop(nullptr), 0);
  EXPECT_EQ(host.controlEnds, 1);
  EXPECT_FALSE(host.ComplianceOn());
  EXPECT_EQ(host.getServoMode(), SERVO_POSITION);
  EXPECT_EQ(host.getMotionSpace(), SPACE_JOINT);
  // A second Stop has nothing left to end.
  EXPECT_EQ(module->Stop(nullptr), 0);
  EXPECT_EQ(host.controlEnds, 1);
}

TEST_P(Lifecycle, OutsideStartToStopOnlyPauseResumeAndStopSucceedAndNothingIsSent) {
  Bytes stiffness = records::Stiffness({500, 500, 500, 50, 50, 50}, 0.1f);
  for (int round = 0; round < 2; ++round) {  // before Start, then after Stop
    const int sends = host.sends;
    EXPECT_EQ(module->Pause(nullptr), 0);
    EXPECT_EQ(module->Resume(nullptr), 0);
    EXPECT_EQ(module->DoControl(), -1);
    EXPECT_EQ(Command(stiffness), -1);
    EXPECT_EQ(module->CheckControlState(), 0);
    ExpectIdleHost(sends);
    ASSERT_EQ(Start(), 0);
    Cycles(3);
    Bytes stop = records::Stop(0);
    ASSERT_EQ(module->Stop(stop.data()), 0);
  }
}

TEST_P(Lifecycle, ControlStateIsIdleOnceControlEndsInMidRamp) {
  ASSERT_EQ(Start(), 0);
  ASSERT_EQ(Command(records::Stiffness({500, 500, 500, 50, 50, 50}, 1.0f)), 0);
  Cycles(10);
  EXPECT_EQ(module->CheckControlState(), 2);
  Bytes stop = records::Stop(0);
  ASSERT_EQ(module->Stop(stop.data()), 0);
  EXPECT_EQ(module->CheckControlState(), 0);
}

TEST_P(Lifecycle, AFailedStartEndsControlExactlyOnce) {
  Bytes start = records::Start({1000, 1000, 1000, 50, 50, 50});
  records::PutFloat(start, 2 + 4 * 3, std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(module->Start(start.data()), -1);
  EXPECT_EQ(host.controlEnds, 1);

  host.Parameters().arm.tool = Eigen::Vector3d(0.0, 0.0, 0.5);  // over the 0.3 m limit
  EXPECT_EQ(Start(), -1);
  EXPECT_EQ(host.controlEnds, 2);
  ASSERT_FALSE(host.Errors().empty());
  EXPECT_EQ(host.Errors().back().code, RC_ERROR_TCP_TOO_LONG);
  EXPECT_FALSE(host.ComplianceOn());
}

// A record with a non-finite value, or a force beyond the maximum, is
// refused whole, before anything else: no ramp restarts, no direction
// error is raised.
TEST_P(Lifecycle, ARecordWithANonFiniteOrExcessiveValueIsRefusedWhole) {
  ASSERT_EQ(Start(), 0);
  Cycles(5);
  ASSERT_EQ(module->CheckControlState(), 0);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(Command(records::Stiffness({500, nan, 500, 50, 50, 50}, 0.1f)), -1);
  EXPECT_EQ(Command(records::Stiffness({500, 500, 500, 50, 50, 50}, inf)), -1);
  EXPECT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, -1e6f, 0, 0, 0}, 0.1f)), -1);
  EXPECT_EQ(Command(records::Force({0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 3e38f}, 0.1f)), -1);
  EXPECT_EQ(module->CheckControlState(), 0);
  EXPECT_TRUE(host.Errors().empty());
  EXPECT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, -500, 0, 0, 0}, 0.1f)), 0);
  EXPECT_EQ(module->CheckControlState(), 2);
}

INSTANTIATE_TEST_SUITE_P(Plugins, Lifecycle,
                         ::testing::Values(ADMITTANCE_PLUGIN_PATH, IMPEDANCE_PLUGIN_PATH),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.index == 0 ? "Admittance" : "Impedance");
                         });

// The same rules against the kit's fake host, where each check's input is
// set directly: the guards of Start, Stop and the gain commands.
class Guards : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string error;
    library = hostsim::PluginLibrary::Open(GetParam(), &error);
    ASSERT_TRUE(library) << error;
    module = library->Create(3, &error);
    ASSERT_NE(module, nullptr) << error;
    CRobotInfo::fts = false;
    CRobotInfo::Monitoring.extTorqueLimit = 50.0;
    host.motionSpace = SPACE_TASK;
    host.complianceSvMax = 0.05;
    module->SetRobotControlContext(&host);
  }
  void TearDown() override { delete module; }

  int Start(float stiffness = 1000.0f) {
    Bytes start = records::Start({stiffness, 1000, 1000, 50, 50, 50});
    return module->Start(start.data());
  }
  int Command(Bytes record) { return module->UpdateControlGain(record.data()); }
  int Sends() const { return host.torqueCount + host.poseCount; }
  bool HostIdle() const {
    return host.servoMode == SERVO_POSITION && host.motionSpace == SPACE_JOINT &&
           host.compForce == COMPFORCE_OFF;
  }

  FakeHost host;
  std::unique_ptr<hostsim::PluginLibrary> library;
  ControlModule* module = nullptr;
};

TEST_P(Guards, WithoutAHostOrARecordNothingStarts) {
  std::string error;
  std::unique_ptr<ControlModule> bare(library->Create(4, &error));
  Bytes start = records::Start({1000, 1000, 1000, 50, 50, 50});
  Bytes stiffness = records::Stiffness({1, 1, 1, 1, 1, 1}, 0.0f);
  EXPECT_EQ(bare->Start(start.data()), -1);
  EXPECT_EQ(bare->DoControl(), -1);
  EXPECT_EQ(bare->UpdateControlGain(stiffness.data()), -1);
  EXPECT_EQ(bare->Stop(nullptr), -1);
  EXPECT_EQ(bare->CheckControlState(), 0);
  EXPECT_EQ(module->Start(nullptr), -1);
  EXPECT_EQ(host.servoMode, SERVO_POSITION);
  EXPECT_EQ(host.compForce, COMPFORCE_OFF);
}

TEST_P(Guards, StartIsRefusedOnExternalTorqueSingularityLongToolOrNonFiniteRecord) {
  host.jntTrqExt[2] = 50.5;  // strictly above the limit, no message
  EXPECT_EQ(Start(), -1);
  EXPECT_EQ(host.errorCount, 0);
  EXPECT_TRUE(HostIdle());
  host.jntTrqExt[2] = 50.0;  // at the limit passes
  EXPECT_EQ(Start(), 0);

  host.minSingularValue = 0.01;
  EXPECT_EQ(Start(), -1);
  EXPECT_EQ(host.lastErrorCode, RC_ERROR_COMPLIANCE_SINGULARITY);
  EXPECT_TRUE(HostIdle());
  host.minSingularValue = 1.0;

  host.toolLength << 0.0, 0.2, 0.25;
  EXPECT_EQ(Start(), -1);
  EXPECT_EQ(host.lastErrorCode, RC_ERROR_TCP_TOO_LONG);
  host.toolLength.setZero();

  EXPECT_EQ(Start(std::numeric_limits<float>::quiet_NaN()), -1);
  Bytes endless = records::Start({1000, 1000, 1000, 50, 50, 50}, {0, 0, 0, 0, 0, 0},
                                 std::numeric_limits<float>::infinity());
  EXPECT_EQ(module->Start(endless.data()), -1);
  EXPECT_TRUE(HostIdle());
  EXPECT_EQ(module->DoControl(), -1);
}

TEST_P(Guards, ARefusingStopKeepsControlAndAStopLeavesTheHostQuiet) {
  ASSERT_EQ(Start(), 0);
  Bytes refuse = records::Stop(1);
  EXPECT_EQ(module->Stop(refuse.data()), -1);
  EXPECT_TRUE(module->IsRunning());
  EXPECT_EQ(host.motionSpace, SPACE_TASK);
  int sends = Sends();
  EXPECT_EQ(module->DoControl(), 0);
  EXPECT_EQ(Sends(), sends + 1);

  host.jntPos << 0.1, 0.2, 0.3, 0.4, 0.5, 0.6;
  host.jntTrqGrav << 1, 2, 3, 4, 5, 6;
  Bytes stop = records::Stop(2);  // only 1 refuses
  EXPECT_EQ(module->Stop(stop.data()), 0);
  EXPECT_TRUE(HostIdle());
  EXPECT_EQ(host.jntPosSent, host.jntPos);
  EXPECT_EQ(host.torqueSent, host.jntTrqGrav);
  // Nothing more reaches the host, not even a joint position kept from Start.
  sends = Sends();
  const long jointSets = host.jntPosCount;
  EXPECT_EQ(module->DoControl(), -1);
  EXPECT_EQ(Sends(), sends);
  EXPECT_EQ(host.jntPosCount, jointSets);
}

TEST_P(Guards, UnknownTypesAndNonFiniteRecordsAreRefusedWithoutEffect) {
  ASSERT_EQ(Start(), 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(module->DoControl(), 0);
  ASSERT_EQ(module->CheckControlState(), 0);
  const long refCoordWrites = host.setRefCoordCount;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (int type : {0, 6, -1, 1000}) EXPECT_EQ(Command(records::TypeOnly(type)), -1) << type;
  EXPECT_EQ(Command(records::Stiffness({nan, 1, 1, 1, 1, 1}, 0)), -1);
  EXPECT_EQ(Command(records::Factor(2, {1, inf, 1, 1, 1, 1}, 0)), -1);
  EXPECT_EQ(Command(records::Factor(3, {1, 1, 1, 1, 1, 1}, -inf)), -1);
  EXPECT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, nan, 0, 0, 0}, 0)), -1);
  EXPECT_EQ(Command(records::Release(nan)), -1);
  // A sensor that reads NaN gives no reference for a relative force.
  CRobotInfo::fts = true;
  host.ftsLpf[2] = nan;
  EXPECT_EQ(Command(records::Force({0, 0, 1, 0, 0, 0}, {0, 0, 1, 0, 0, 0}, 0, 1)), -1);
  CRobotInfo::fts = false;
  // No ramp restarted, no frame set, no error raised, control goes on.
  EXPECT_EQ(module->CheckControlState(), 0);
  EXPECT_EQ(host.setRefCoordCount, refCoordWrites);
  EXPECT_EQ(host.errorCount, 0);
  EXPECT_TRUE(module->IsRunning());
}

TEST_P(Guards, AFailedCheckAfterAGainCommandEndsControlAndNoAxisIsReported) {
  ASSERT_EQ(Start(), 0);
  host.toolLength << 0.4, 0.0, 0.0;
  EXPECT_EQ(Command(records::Stiffness({500, 500, 500, 50, 50, 50}, 0.1f)), 0);
  EXPECT_EQ(host.lastErrorCode, RC_ERROR_TCP_TOO_LONG);
  EXPECT_STREQ(host.lastError,
               "TCP is too Long (TCP value(400.0, 0.0, 0.0)->Length(400.0) > Limit(300)");
  EXPECT_TRUE(HostIdle());
  EXPECT_EQ(module->DoControl(), -1);

  // A force command that selects no axis raises 9401 and control goes on.
  host.toolLength.setZero();
  ASSERT_EQ(Start(), 0);
  EXPECT_EQ(Command(records::Force({0, 0, 0, 0, 0, 0}, {0, 0, 20, 0, 0, 0}, 0.0f)), 0);
  EXPECT_EQ(host.lastErrorCode, RC_ERROR_FORCE_DIRECTION);
  EXPECT_TRUE(module->IsRunning());
}

std::string GuardsName(const ::testing::TestParamInfo<const char*>& info) {
  static const char* const kNames[] = {"Admittance", "Impedance", "Spring"};
  return kNames[info.index];
}

INSTANTIATE_TEST_SUITE_P(Plugins, Guards,
                         ::testing::Values(ADMITTANCE_PLUGIN_PATH, IMPEDANCE_PLUGIN_PATH,
                                           SPRING_PLUGIN_PATH),
                         GuardsName);

}  // namespace
