// Force control on the tasks it is used for, on the MuJoCo plant with both
// plug-ins: the shipped task scenarios (sliding flat and sloped, off an
// edge, peg in hole, a push on a large arm) must meet the expectations
// their files state. A plug-in's own variant of a scenario
// (<plug-in>_<name>.txt, e.g. with its sliding settings) replaces the
// shared one.
#include <gtest/gtest.h>

#include <fstream>

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

class TaskScenario : public ::testing::TestWithParam<TaskCase> {};

TEST_P(TaskScenario, MeetsItsExpectations) {
  const TaskCase& c = GetParam();
  if (c.plugin == nullptr) GTEST_SKIP() << "plug-in not built";
  std::string path = std::string(SCENARIO_DIR) + "/" + c.kind + "_" + c.scenario + ".txt";
  if (!std::ifstream(path)) path = std::string(SCENARIO_DIR) + "/" + c.scenario + ".txt";
  hostsim::Scenario scenario;
  std::string error;
  ASSERT_TRUE(hostsim::Scenario::Load(path, &scenario, &error)) << error;
  ASSERT_FALSE(scenario.expectations.empty()) << path << " states no expectation";
  hostsim::Simulation sim(scenario.host);
  ASSERT_TRUE(sim.LoadPlugin(c.plugin, &error)) << error;
  const hostsim::RunSummary s = hostsim::RunScenario(scenario, sim, hostsim::RunOptions());
  EXPECT_TRUE(s.finiteThroughout);
  EXPECT_TRUE(s.expectationsMet) << path << ": " << s.verdict;
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

INSTANTIATE_TEST_SUITE_P(Tasks, TaskScenario, ::testing::ValuesIn(Cases()), [](const auto& info) {
  return std::string(info.param.kind) + "_" + info.param.scenario;
});

}  // namespace
