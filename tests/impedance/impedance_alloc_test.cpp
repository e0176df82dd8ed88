// No heap allocation in the cycle or in any command handler: Eigen's
// run-time malloc guard around thousands of cycles, and a count of every
// operator new, both for the module built into this test and for the real
// plug-in loaded into the simulated host.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "../support/counting_new.h"
#include "ImpedanceControlModule.h"
#include "Simulation.h"
#include "support/command_records.h"
#include "support/fake_host.h"

namespace {

// With IMPEDANCE_ALLOC_ABORT set, the first counted allocation aborts.
[[maybe_unused]] const bool kAbortOnAllocation =
    (counting_new::abortWhenCounted = std::getenv("IMPEDANCE_ALLOC_ABORT") != nullptr);

using records::Bytes;

// Every kind of command a host sends, encoded before the counting starts.
struct Commands {
  Bytes stiffness = records::Stiffness({3000, 1500, 2500, 150, 80, 200}, 0.05f);
  Bytes force = records::Force({0, 0, 1, 0, 0, 1}, {0, 0, -10, 0, 0, 1}, 0.05f);
  Bytes relativeForce = records::Force({1, 0, 0, 0, 0, 0}, {2, 0, 0, 0, 0, 0}, 0.0f, 1);
  Bytes release = records::Release(0.05f);
  Bytes factor = records::Factor(2, {1, 1, 1, 1, 1, 1}, 0.1f);
  Bytes refusedStop = records::Stop(1);
  Bytes nan = records::Stiffness({std::numeric_limits<float>::quiet_NaN(), 1, 1, 1, 1, 1}, 0.0f);

  // Sends command number `cycle` of a fixed rota now and then.
  void Send(ControlModule& module, int cycle) {
    switch (cycle % 700) {
      case 10:
        module.UpdateControlGain(stiffness.data());
        break;
      case 100:
        module.UpdateControlGain(force.data());
        break;
      case 200:
        module.UpdateControlGain(relativeForce.data());
        break;
      case 300:
        module.UpdateControlGain(release.data());
        break;
      case 350:
        module.UpdateControlGain(factor.data());
        break;
      case 360:
        module.UpdateControlGain(nan.data());
        break;
      case 400:
        module.Pause(nullptr);
        break;
      case 600:
        module.Resume(nullptr);
        break;
      case 650:
        module.Stop(refusedStop.data());
        break;
      default:
        break;
    }
    module.CheckControlState();
  }
};

// Built at program start, so no allocation of the test's own can fall into
// a counted stretch.
Commands g_commands;
const Bytes g_start = records::Start({2000, 2000, 2000, 100, 100, 100});

// The guard is live in this build: a dynamic Eigen matrix made while
// allocation is forbidden stops the program.
TEST(ImpedanceAllocationDeathTest, EigenGuardIsArmed) {
  EXPECT_DEATH(
      {
        Eigen::internal::set_is_malloc_allowed(false);
        Eigen::MatrixXd m(8, 8);
        m.setZero();
      },
      "");
}

TEST(ImpedanceAllocation, CycleAndCommandsNeverAllocate) {
  FakeHost host;
  host.jntM = Eigen::Matrix6d::Identity() * 3.0;
  host.jntTrqGrav << 0, 40, 20, 2, 1, 0;
  host.tcpPoseTg.position << 0.01, -0.02, 0.005;
  host.jntVelLpf.setConstant(0.0001);
  CRobotInfo::fts = true;
  ImpedanceControlModule module(1, &host);
  Commands& commands = g_commands;
  uint8_t start[64];
  std::memcpy(start, g_start.data(), g_start.size());
  uint8_t stop[4] = {0, 0, 0, 0};
  ASSERT_EQ(module.Start(start), 0);

  counting_new::counted = 0;
  counting_new::counting = true;
  Eigen::internal::set_is_malloc_allowed(false);
  for (int cycle = 0; cycle < 20000; ++cycle) {
    commands.Send(module, cycle);
    host.tcpVel.linear[0] = 0.001 * (cycle % 13);
    module.DoControl();
  }
  module.Stop(stop);
  Eigen::internal::set_is_malloc_allowed(true);
  counting_new::counting = false;
  EXPECT_EQ(counting_new::counted.load(), 0);
  EXPECT_GT(host.torqueCount, 19000);
}

TEST(ImpedanceAllocation, RealPluginInTheSimulatedHostNeverAllocates) {
  std::string error;
  {
    // `create` allocates the module with this program's operator new, so
    // the count sees what the library itself does.
    std::unique_ptr<hostsim::PluginLibrary> library =
        hostsim::PluginLibrary::Open(IMPEDANCE_PLUGIN_PATH, &error);
    ASSERT_TRUE(library) << error;
    counting_new::counted = 0;
    counting_new::counting = true;
    ControlModule* created = library->Create(9, &error);
    counting_new::counting = false;
    ASSERT_NE(created, nullptr) << error;
    EXPECT_EQ(counting_new::counted.load(), 1);
    delete created;
  }

  hostsim::Simulation sim;
  ASSERT_TRUE(sim.LoadPlugin(IMPEDANCE_PLUGIN_PATH, &error)) << error;
  ControlModule& module = *sim.Module();
  Commands& commands = g_commands;
  ASSERT_EQ(sim.Start(Eigen::Vector6d::Constant(2000.0), Eigen::Vector6d::Zero(), 0.1), 0);
  Eigen::Vector6d push = Eigen::Vector6d::Zero();
  push[0] = 10.0;
  sim.Host().Wrench().Step(push);
  long inModule = 0;
  for (int cycle = 0; cycle < 10000; ++cycle) {
    counting_new::counted = 0;
    counting_new::counting = true;
    commands.Send(module, cycle);
    module.DoControl();
    counting_new::counting = false;
    inModule += counting_new::counted.load();
    sim.Host().Actuate();  // the host's own work is not counted
  }
  EXPECT_EQ(inModule, 0);
  EXPECT_TRUE(sim.Host().ComplianceOn());
}

}  // namespace
