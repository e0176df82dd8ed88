// Force control on the tasks it is used for, on the MuJoCo plant with both
// plug-ins: the shipped task scenarios (sliding flat and sloped, off an
// edge, peg in hole, a push on a large arm) must meet the expectations
// their files state. A plug-in's own variant of a scenario
// (<plug-in>_<name>.txt, e.g. with its sliding settings) replaces the
// shared one. The press scenarios also run on the MuJoCo plant.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "Scenario.h"

namespace {

#ifndef ADMITTANCE_CONTROL
#define ADMITTANCE_CONTROL nullptr
#endif
#ifndef IMPEDANCE_CONTROL
#define IMPEDANCE_CONTROL nullptr
#endif

struct TaskCase {
  const char* kind;
  const char* plugin;
  const char* scenario;
};
void PrintTo(const TaskCase& c, std::ostream* os) {
  *os << c.kind << "_" << c.scenario;
}

// Loads the shipped scenario for the case (the plug-in's own variant if
// there is one) and runs it with the case's plug-in.
struct ShippedRun {
  explicit ShippedRun(const TaskCase& c, bool onMujoco = false) {
    path = std::string(SCENARIO_DIR) + "/" + c.kind + "_" + c.scenario + ".txt";
    if (!std::ifstream(path)) path = std::string(SCENARIO_DIR) + "/" + c.scenario + ".txt";
    std::string error;
    EXPECT_TRUE(hostsim::Scenario::Load(path, &scenario, &error)) << error;
    if (onMujoco) scenario.host.plant = hostsim::PlantKind::kMujoco;
    sim = std::make_unique<hostsim::Simulation>(scenario.host);
    EXPECT_TRUE(sim->LoadPlugin(c.plugin, &error)) << error;
    summary = hostsim::RunScenario(scenario, *sim, hostsim::RunOptions());
  }
  std::string path;
  hostsim::Scenario scenario;
  std::unique_ptr<hostsim::Simulation> sim;
  hostsim::RunSummary summary;
};

class TaskScenario : public ::testing::TestWithParam<TaskCase> {};

TEST_P(TaskScenario, MeetsItsExpectations) {
  const TaskCase& c = GetParam();
  if (c.plugin == nullptr) GTEST_SKIP() << "plug-in not built";
  const ShippedRun run(c);
  ASSERT_FALSE(run.scenario.expectations.empty()) << run.path << " states no expectation";
  EXPECT_TRUE(run.summary.finiteThroughout);
  EXPECT_TRUE(run.summary.expectationsMet) << run.path << ": " << run.summary.verdict;
}

// The press scenarios, written for the KDL plant, on the MuJoCo plant.
class MujocoPress : public ::testing::TestWithParam<TaskCase> {};

TEST_P(MujocoPress, PressScenarioRunsOnTheMujocoPlant) {
  if (GetParam().plugin == nullptr) GTEST_SKIP() << "plug-in not built";
  const ShippedRun run(GetParam(), true);
  EXPECT_TRUE(run.summary.finiteThroughout);
  EXPECT_TRUE(run.sim->Host().Errors().empty()) << run.sim->Host().Errors()[0].text;
  EXPECT_GT(run.summary.maxForce, 18.0);
  EXPECT_LT(run.summary.maxForce, 35.0);
}

std::vector<TaskCase> Cases() {
  std::vector<TaskCase> cases;
  for (const char* scenario : {"slide_flat", "slide_slope_down", "slide_slope_up", "slide_edge",
                               "peg_in_hole", "peg_in_hole_spiral", "push_large_arm"}) {
    cases.push_back({"admittance", ADMITTANCE_CONTROL, scenario});
    cases.push_back({"impedance", IMPEDANCE_CONTROL, scenario});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Plugins, MujocoPress,
                         ::testing::Values(TaskCase{"admittance", ADMITTANCE_CONTROL, "press"},
                                           TaskCase{"impedance", IMPEDANCE_CONTROL, "press"}),
                         [](const auto& info) { return std::string(info.param.kind); });

INSTANTIATE_TEST_SUITE_P(Tasks, TaskScenario, ::testing::ValuesIn(Cases()), [](const auto& info) {
  return std::string(info.param.kind) + "_" + info.param.scenario;
});

}  // namespace
