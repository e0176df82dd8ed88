// One behaviour for every plug-in: the lifecycle rules of docs/control.md
// ("Lifecycle rules"), each checked once over both real plug-in libraries,
// loaded with dlopen and driven against the simulated arm.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "PluginLibrary.h"
#include "SimulatedHost.h"
#include "support/command_records.h"

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

}  // namespace
