// Commands whose effect must stay sound on a real arm, in closed loop with
// the simulated arm, once over both plug-in libraries: a relative 0 N holds
// the tool under a steady push, no record makes the arm move or push beyond
// the documented bounds, and a posture above the host's singular-value
// limit complies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "Simulation.h"
#include "support/vectors.h"

namespace {

using Vector6d = Eigen::Vector6d;

using hostsim::HostParameters;
using hostsim::Simulation;

const Vector6d kStiffness = Six(2000, 2000, 2000, 100, 100, 100);

bool IsAdmittance(const char* path) {
  return std::string(path).find("admittance") != std::string::npos;
}

void Load(Simulation& sim, const char* path) {
  std::string error;
  ASSERT_TRUE(sim.LoadPlugin(path, &error)) << error;
}

class SoundCommands : public ::testing::TestWithParam<std::tuple<const char*, bool>> {
 protected:
  const char* Plugin() const { return std::get<0>(GetParam()); }
  bool Sensor() const { return std::get<1>(GetParam()); }
  HostParameters Parameters() const {
    HostParameters p;
    p.fts = Sensor();
    return p;
  }
};

// Under a steady 20 N push, switching z to force control with a relative
// 0 N keeps the tool where the push had put it.
TEST_P(SoundCommands, RelativeZeroForceHoldsTheToolUnderASteadyPush) {
  Simulation sim(Parameters());
  Load(sim, Plugin());
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
  sim.Host().Wrench().Step(Six(0, 0, 20, 0, 0, 0));
  sim.Run(3.0);
  const double pushed = sim.TcpDisplacement()[2];
  EXPECT_NEAR(pushed, 20.0 / 2000.0, 0.003);
  ASSERT_EQ(sim.SetForce(Six(0, 0, 1, 0, 0, 0), Vector6d::Zero(), 0.1, true), 0);
  sim.Run(2.0);
  EXPECT_TRUE(sim.Running());
  EXPECT_NEAR(sim.TcpDisplacement()[2], pushed, 0.003);
}

// Random records of every type, with values up to 3e38: every one taken
// stays within the command maximum, and what each cycle commands stays
// within the documented per-cycle bounds.
TEST_P(SoundCommands, RandomRecordsNeverCommandMoreThanTheArmCanFollow) {
  if (Sensor()) GTEST_SKIP() << "the sensor does not change the bounds";
  Simulation sim(Parameters());
  Load(sim, Plugin());
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.0), 0);
  std::mt19937 rng(14);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  const float scales[] = {1.0f, 30.0f, 600.0f, 1e6f, 3e38f};
  int taken = 0, refused = 0;
  Eigen::Vector3d last = sim.Host().CommandedPose().translation();
  for (int n = 0; n < 1500; ++n) {
    unsigned char record[64];
    for (auto& b : record) b = static_cast<unsigned char>(byte(rng));
    const int32_t type = 1 + byte(rng) % 5;
    std::memcpy(record, &type, 4);
    for (size_t offset = 4; offset + 4 <= 40; offset += 4) {
      const float v = unit(rng) * scales[byte(rng) % 5];
      std::memcpy(record + offset + (byte(rng) & 1), &v, 4);
    }
    float time = 0.01f * (byte(rng) % 20);
    std::memcpy(record + 35, &time, 4);
    (sim.UpdateRaw(record, sizeof record) == 0 ? taken : refused)++;
    if (!sim.Running()) {
      ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.0), 0);
    }
    for (int c = 0; c < 4; ++c) {
      sim.Step();
      const Eigen::Vector3d now = sim.Host().CommandedPose().translation();
      if (IsAdmittance(Plugin())) {
        // The target stands still: the set-point moves at most 0.5 mm.
        ASSERT_LE((now - last).norm(), 0.0005 + 1e-9) << "record " << n;
      } else {
        ASSERT_LT(sim.Host().CommandedTorque().cwiseAbs().maxCoeff(), 3000.0) << "record " << n;
      }
      last = now;
    }
  }
  EXPECT_EQ(sim.Host().NonFiniteSetpoints(), 0);
  EXPECT_GT(taken, 100);
  EXPECT_GT(refused, 100);
}

// A posture whose smallest singular value lies above the host's limit but
// below 0.1: Start accepts it, so a 20 N push must deflect by about F/k.
TEST_P(SoundCommands, APostureAcceptedNearASingularityComplies) {
  if (Sensor()) GTEST_SKIP() << "the sensor does not change the singularity rule";
  HostParameters p = Parameters();
  p.postureDeg = {0.0, 30.0, 22.0, 0.0, 90.0, 0.0};  // elbow nearly stretched
  p.complianceSvMax = 0.044;
  Simulation sim(p);
  const double sv = sim.Host().getMinSingularValue();
  ASSERT_LT(sv, 0.1);
  ASSERT_GT(sv, p.complianceSvMax);
  Load(sim, Plugin());
  ASSERT_EQ(sim.Start(kStiffness, Vector6d::Zero(), 0.1), 0);
  sim.Host().Wrench().Step(Six(0, 0, 20, 0, 0, 0));
  sim.Run(3.0);
  EXPECT_NEAR(sim.TcpDisplacement()[2], 20.0 / 2000.0, 0.004);
}

INSTANTIATE_TEST_SUITE_P(Plugins, SoundCommands,
                         ::testing::Combine(::testing::Values(ADMITTANCE_PLUGIN_PATH,
                                                              IMPEDANCE_PLUGIN_PATH),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(IsAdmittance(std::get<0>(info.param)) ? "Admittance"
                                                                                    : "Impedance") +
                                  (std::get<1>(info.param) ? "WithSensor" : "WithoutSensor");
                         });

}  // namespace
