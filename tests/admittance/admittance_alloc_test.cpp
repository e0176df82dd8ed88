// The control cycle and the command handlers never touch the heap: once
// with Eigen's allocation check armed (the module and its base are built
// into this program with EIGEN_RUNTIME_NO_MALLOC), once counting every
// operator new over many cycles.
#include <gtest/gtest.h>

#include <random>

#include "../support/counting_new.h"
#include "probe.h"
#include "support/command_records.h"
#include "support/fake_host.h"

namespace admittance_test {
namespace {

using records::Bytes;

class AllocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseAdmittanceDefaults(ctx);
    module.SetRobotControlContext(&ctx);
    // A posture-like Jacobian and inertia, so every branch of the law runs
    // on general matrices.
    ctx.tcpJ << 0.0, 0.5, 0.3, 0.0, 0.1, 0.0,  //
        0.6, 0.0, 0.0, 0.1, 0.0, 0.0,          //
        0.0, -0.6, -0.5, 0.0, -0.1, 0.0,       //
        0.0, 0.0, 0.0, 1.0, 0.0, 0.5,          //
        0.0, 1.0, 1.0, 0.0, 1.0, 0.0,          //
        1.0, 0.0, 0.0, 0.2, 0.0, 0.8;
    ctx.jntM = Matrix6::Identity() * 2.0;
    ctx.jntM(0, 1) = ctx.jntM(1, 0) = 0.3;
    ctx.payload = 2.0;
    ctx.r0 = Eigen::AngleAxisd(0.3, Eigen::Vector3d(1, 1, 0).normalized()).toRotationMatrix();
  }

  // Start, every command type, pause/resume, checks and stop, with cycles
  // in between and a varying wrench.
  // The records are encoded once, outside the counted cycles.
  Bytes start = records::Start({2000, 2000, 2000, 100, 100, 100}, {0, 0, 0, 0, 0, 0}, 0.05f);
  Bytes stiffness = records::Stiffness({1500, 2500, 2000, 150, 100, 80}, 0.03f);
  Bytes forceFactor = records::Factor(2, {1.5f, 0.5f, 1, 1, 1, 1}, 0.02f);
  Bytes dampingFactor = records::Factor(3, {2, 2, 0.5f, 1, 1, 1}, 0.02f);
  Bytes force = records::Force({0, 0, 1, 0, 0, 1}, {0, 0, 10, 0, 0, 1}, 0.04f, 1);
  Bytes release = records::Release(0.03f);
  Bytes unknown = records::TypeOnly(6);
  Bytes stop = records::Stop(0);
  Bytes refuse = records::Stop(1);

  void Exercise(int rounds) {
    for (int round = 0; round < rounds; ++round) {
      ctx.refCoord = {round % 2 == 0 ? COORD_TOOL : COORD_BASE, 0, 0};
      ctx.motionCmdCoord = ctx.refCoord;
      ctx.model = round % 2 == 0 ? 0 : 7;
      ctx.singularHandling = round % 3 == 0 ? 3 : 0;
      ok &= module.Start(start.data()) == 0;
      Bytes* commands[] = {&stiffness, &forceFactor, &force, &dampingFactor, &unknown, &release};
      for (Bytes* command : commands) {
        module.UpdateControlGain(command->data());
        for (int i = 0; i < 50; ++i) {
          ctx.jntTrqExtFctrl[i % 6] = std::sin(0.01 * i) * 20.0;
          module.DoControl();
          module.CheckControlState();
        }
      }
      module.Pause(nullptr);
      for (int i = 0; i < 20; ++i) module.DoControl();
      module.Resume(nullptr);
      for (int i = 0; i < 20; ++i) module.DoControl();
      module.Stop(refuse.data());
      ok &= module.Stop(stop.data()) == 0;
    }
  }

  FakeHost ctx;
  Probe module{5, nullptr};
  bool ok = true;
};

TEST_F(AllocationTest, NothingAllocatesWithEigenAllocationForbidden) {
  const long checksBefore = alloc_guard::eigenCheckFailures.load();
  Eigen::internal::set_is_malloc_allowed(false);
  Exercise(4);
  Eigen::internal::set_is_malloc_allowed(true);
  EXPECT_TRUE(ok);
  EXPECT_EQ(alloc_guard::eigenCheckFailures.load() - checksBefore, 0);
  EXPECT_GT(module.m_lawState.dampingMatrix.norm(), 0.0);
}

TEST_F(AllocationTest, TheArmedCheckSeesAnAllocation) {
  // The guard itself works: a dynamic matrix is refused while armed.
  const long before = alloc_guard::eigenCheckFailures.load();
  Eigen::internal::set_is_malloc_allowed(false);
  Eigen::MatrixXd m(40, 40);
  Eigen::internal::set_is_malloc_allowed(true);
  m.setZero();
  EXPECT_GT(alloc_guard::eigenCheckFailures.load() - before, 0);
}

TEST_F(AllocationTest, NoOperatorNewOverManyCycles) {
  Exercise(1);  // first use of anything lazily set up
  const long before = counting_new::calls.load();
  Exercise(20);
  const long after = counting_new::calls.load();
  EXPECT_TRUE(ok);
  EXPECT_EQ(after - before, 0) << "operator new calls in " << 20 * (6 * 50 + 40) << " cycles";
  // The counter itself counts (a direct call cannot be elided).
  ::operator delete(::operator new(16));
  EXPECT_EQ(counting_new::calls.load(), after + 1);
}

}  // namespace
}  // namespace admittance_test
