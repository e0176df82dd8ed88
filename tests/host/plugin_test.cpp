// The plug-in path: dlopen + create, the loader's failures, scenarios, and
// closed-loop runs of the spring plug-in against closed-form results.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "Scenario.h"

using hostsim::Scenario;
using hostsim::Simulation;
using hostsim::Vector6d;

namespace {

Vector6d V(double a, double b, double c, double d, double e, double f) {
  Vector6d v;
  v << a, b, c, d, e, f;
  return v;
}

const Vector6d kStiffness = V(2000, 2000, 2000, 100, 100, 100);

}  // namespace

TEST(PluginLibrary, CreatesTheModuleThroughItsOnlyExport) {
  std::string error;
  auto library = hostsim::PluginLibrary::Open(SPRING_PLUGIN, &error);
  ASSERT_TRUE(library) << error;
  ControlModule* module = library->Create(0x1234567890L, &error);
  ASSERT_NE(nullptr, module) << error;
  // Only the low 32 bits of the id are kept, sign-extended.
  EXPECT_EQ(static_cast<long>(static_cast<int32_t>(0x34567890)), module->GetControlModuleID());
  EXPECT_EQ(nullptr, module->GetRobotControlContext());
  delete module;
}

TEST(PluginLibrary, ReportsWhatIsWrongWithALibrary) {
  std::string error;
  EXPECT_FALSE(hostsim::PluginLibrary::Open("/nonexistent/libnothing.so", &error));
  EXPECT_NE(std::string::npos, error.find("libnothing.so")) << error;
  EXPECT_FALSE(hostsim::PluginLibrary::Open(SCENARIO_DIR "/push.txt", &error));
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_FALSE(hostsim::PluginLibrary::Open(NOCREATE_PLUGIN, &error));
  EXPECT_NE(std::string::npos, error.find("create")) << error;

  auto throwing = hostsim::PluginLibrary::Open(THROWING_PLUGIN, &error);
  ASSERT_TRUE(throwing) << error;
  EXPECT_EQ(nullptr, throwing->Create(1, &error));
  EXPECT_NE(std::string::npos, error.find("no robot here")) << error;
  auto null = hostsim::PluginLibrary::Open(NULL_PLUGIN, &error);
  ASSERT_TRUE(null) << error;
  EXPECT_EQ(nullptr, null->Create(1, &error));

  Simulation sim;
  EXPECT_FALSE(sim.LoadPlugin(NOCREATE_PLUGIN, &error));
  EXPECT_EQ(nullptr, sim.Module());
  EXPECT_EQ(-1, sim.Start(kStiffness, Vector6d::Zero(), 0.1));
}

TEST(SpringPluginLoop, ASteadyPushDisplacesTheTcpByForceOverStiffness) {
  Simulation sim;
  std::string error;
  ASSERT_TRUE(sim.LoadPlugin(SPRING_PLUGIN, &error)) << error;
  ASSERT_EQ(0, sim.Start(kStiffness, Vector6d::Zero(), 0.05));
  EXPECT_TRUE(sim.Running());
  EXPECT_EQ(SERVO_TORQUE, sim.Host().getServoMode());
  sim.Host().Wrench().Step(V(15, 0, -10, 0, 0, 0));
  sim.Run(3.0);
  const Vector6d d = sim.TcpDisplacement();
  EXPECT_NEAR(15.0 / 2000.0, d[0], 1e-5);
  EXPECT_NEAR(-10.0 / 2000.0, d[2], 1e-5);
  EXPECT_NEAR(0.0, d[1], 1e-5);
  EXPECT_LT(d.tail<3>().norm(), 1e-4);
  // Releasing the push brings the TCP back.
  sim.Host().Wrench().Step(Vector6d::Zero());
  sim.Run(3.0);
  EXPECT_LT(sim.TcpDisplacement().head<3>().norm(), 5e-5);
  EXPECT_EQ(0, sim.Stop(true) + 1);  // a refusing stop returns -1
  EXPECT_TRUE(sim.Running());
  EXPECT_EQ(0, sim.Stop());
  EXPECT_FALSE(sim.Running());
  EXPECT_EQ(SERVO_POSITION, sim.Host().getServoMode());
  EXPECT_EQ(SPACE_JOINT, sim.Host().getMotionSpace());
  EXPECT_EQ(0, sim.Host().NonFiniteSetpoints());
}

TEST(SpringPluginLoop, PressingOnASpringWallSettlesWhereTheTwoSpringsBalance) {
  // The target lies 10 mm inside a wall of stiffness kw; the arm's spring k
  // and the wall share the depth: penetration = k * 10 mm / (k + kw).
  Simulation sim;
  std::string error;
  ASSERT_TRUE(sim.LoadPlugin(SPRING_PLUGIN, &error)) << error;
  const double z = sim.Host().TcpPose().translation()[2];
  const double kw = 6000.0;
  sim.Host().Wrench().SetWall(Eigen::Vector3d(0, 0, z - 0.004), Eigen::Vector3d::UnitZ(), kw, 0.0);
  ASSERT_EQ(0, sim.Start(kStiffness, Vector6d::Zero(), 0.05));
  sim.Host().Trajectory().Move(sim.Host().Time(), 0.5, V(0, 0, -0.014, 0, 0, 0));
  sim.Run(4.0);
  const double depth = (z - 0.004) - sim.Host().TcpPose().translation()[2];
  EXPECT_NEAR(2000.0 * 0.010 / (2000.0 + kw), depth, 2e-5);
  EXPECT_NEAR(kw * depth, sim.Host().AppliedWrench()[2], 0.1);
}

TEST(SpringPluginLoop, ChecksAtStartEndControlWithTheirMessages) {
  hostsim::HostParameters singular;
  singular.postureDeg[4] = 0.0;  // wrist singular
  Simulation a(singular);
  std::string error;
  ASSERT_TRUE(a.LoadPlugin(SPRING_PLUGIN, &error)) << error;
  EXPECT_EQ(-1, a.Start(kStiffness, Vector6d::Zero(), 0.1));
  EXPECT_FALSE(a.Running());
  ASSERT_EQ(1u, a.Host().Errors().size());
  EXPECT_EQ(RC_ERROR_COMPLIANCE_SINGULARITY, a.Host().Errors()[0].code);
  EXPECT_EQ(SERVO_POSITION, a.Host().getServoMode());

  hostsim::HostParameters longTool;
  longTool.arm.tool = Eigen::Vector3d(0.0, 0.1, 0.35);
  Simulation b(longTool);
  ASSERT_TRUE(b.LoadPlugin(SPRING_PLUGIN, &error)) << error;
  EXPECT_EQ(-1, b.Start(kStiffness, Vector6d::Zero(), 0.1));
  ASSERT_EQ(1u, b.Host().Errors().size());
  EXPECT_STREQ("TCP is too Long (TCP value(0.0, 100.0, 350.0)->Length(364.0) > Limit(300)",
               b.Host().Errors()[0].text);
}

TEST(SpringPluginLoop, NonFiniteRecordsNeverBecomeSetPoints) {
  Simulation sim;
  std::string error;
  ASSERT_TRUE(sim.LoadPlugin(SPRING_PLUGIN, &error)) << error;
  ASSERT_EQ(0, sim.Start(kStiffness, Vector6d::Zero(), 0.05));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // Refused whole, as by every plug-in: nothing of them reaches the arm.
  EXPECT_EQ(-1, sim.SetStiffness(V(nan, inf, -inf, 100, nan, 100), nan));
  sim.Run(0.2);
  EXPECT_EQ(-1, sim.SetForce(V(1, 1, 1, 0, 0, 0), V(nan, inf, 5, 0, 0, 0), inf, false));
  sim.Run(0.2);
  // Random bytes as gain updates of every type.
  std::mt19937 rng(5);
  for (int n = 0; n < 300; ++n) {
    unsigned char record[64];
    for (auto& b : record) b = static_cast<unsigned char>(rng());
    record[0] = static_cast<unsigned char>(n % 7);
    record[1] = record[2] = record[3] = 0;
    sim.UpdateRaw(record, sizeof record);
    sim.Step();
  }
  EXPECT_EQ(0, sim.Host().NonFiniteSetpoints());
  EXPECT_TRUE(sim.Host().Joints().allFinite());
}

TEST(ScenarioFile, ParsesSettingsAndEventsInTimeOrder) {
  Scenario s;
  std::string error;
  ASSERT_TRUE(Scenario::Parse(
      "# a comment\n"
      "duration 2.5\nposture 0 10 80 0 90 0\ntool 0 0 0.2\npayload 3\nmodel 7\n"
      "fts 1\nnoise 0.1 0.2\nframe user 3\nuserframe 3 0 0 90\n"
      "at 1.0 stiffness 1 2 3 4 5 6 time 0.2\n"
      "at 0 start stiffness 1 1 1 1 1 1 force 0 0 0 0 0 0 time 0.1  # inline comment\n"
      "at 1.0 force dir 0 0 1 0 0 0 value 0 0 -5 0 0 0 time 0.5 relative\n"
      "at 1.5 wall 0.8 0 0.4 0 0 1 20000 damping 50\n"
      "at 2 raw 04 00 00 00 ff\nat 2.2 stop refuse\n",
      "t", &s, &error))
      << error;
  EXPECT_EQ(2.5, s.duration);
  EXPECT_EQ(7, s.host.model);
  EXPECT_TRUE(s.host.fts);
  EXPECT_EQ(COORD_USER, s.host.frame.type);
  EXPECT_EQ(3, s.host.frame.index);
  EXPECT_NEAR(1.0, s.host.userFrames[3](1, 0), 1e-12);
  ASSERT_EQ(6u, s.events.size());
  EXPECT_EQ("start", s.events[0].kind);
  EXPECT_EQ("stiffness", s.events[1].kind);  // same time: file order
  EXPECT_EQ("force", s.events[2].kind);
  EXPECT_TRUE(s.events[2].flag);
  EXPECT_EQ(-5.0, s.events[2].b[2]);
  EXPECT_EQ(50.0, s.events[3].damping);
  EXPECT_EQ(5u, s.events[4].bytes.size());
  EXPECT_TRUE(s.events[5].flag);
}

// With `origin tcp` walls, contacts and holes are placed from where the TCP
// starts on the arm named, even when the arm comes after the origin line.
TEST(ScenarioFile, OriginTcpPlacesSurfacesFromTheStartingTcp) {
  EXPECT_TRUE(Scenario::StartTcpPosition(hostsim::HostParameters())
                  .isApprox(Eigen::Vector3d(0.87, 0.0, 0.51193575), 1e-8));
  double previousZ = 0.0;
  for (const char* arm : {"small", "large"}) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(
        Scenario::Parse(std::string("origin tcp\ncontact plane 0 0 -0.001 0 0 1 stiffness 1e5\n"
                                    "hole 0.002 0 -0.001 0.0202 0.015 0.001 stiffness 1e5\n"
                                    "at 0 wall 0 0 -0.002 0 0 1 1e4\narm ") +
                            arm + "\n",
                        "t", &s, &error))
        << error;
    const Eigen::Vector3d tcp = Scenario::StartTcpPosition(s.host);
    EXPECT_NE(tcp.z(), previousZ);
    previousZ = tcp.z();
    EXPECT_NEAR(s.host.mujoco.contacts.front().point.z(), tcp.z() - 0.001, 1e-12) << arm;
    EXPECT_NEAR(s.host.holeMouth.x(), tcp.x() + 0.002, 1e-12) << arm;
    EXPECT_NEAR(s.events.front().point.z(), tcp.z() - 0.002, 1e-12) << arm;
  }
}

TEST(ScenarioFile, RejectsBadLinesWithTheirNumber) {
  Scenario s;
  std::string error;
  const char* bad[] = {
      "duration -1\n",
      "at 1 stiffness 1 2 3 time 1\n",
      "\n\nat 1 start stiffness 1 1 1 1 1 1 force 0 0 0 0 0 0 time nan\n",
      "at x pause\n",
      "at 1 jump\n",
      "at 1 raw 100\n",
      "at 1 wall 0 0 0 0 0 0 100\n",
      "posture 1 2 3\n",
      "at 1 pause now\n",
      "colour blue\n",
      "plant bullet\n",
      "servo_kp 1 2 3 4 5 -6\n",
      "substeps 0\n",
      "mass_scale 0\n",
      "torque_limit 1 1 1 1 1 0\n",
      "contact cone 0 0 0 0 0 1 stiffness 1000\n",
      "contact plane 0 0 0 0 0 0 stiffness 1000\n",
      "contact box 0 0 0 0 0 0 0.1 0 0.1 stiffness 1000\n",
      "contact plane 0 0 0 0 0 1 stiffness 0\n",
      "contact plane 0 0 0 0 0 1 stiffness 1000 friction -1\n",
      // Whole numbers beyond what their setting can hold.
      "model 1e300\n",
      "monitoring -3e9\n",
      "seed -1\n",
      "arm huge\n",
      "peg 0 0.01\n",
      "hole 0.8 0 0.5 0 0.01 0.001 stiffness 1e5\n",
      "expect no_such_metric < 1\n",
      "expect stable ~ true\n",
      "at 0 spiral 1 0 3\n",
      "at 0 line 0 0.1 0 0\n",
      // Targets faster than the arm can follow at their peak.
      "at 0 move 0.1 0.2 0 0 0 0 0\n",  // 3.75 m/s
      "at 0 move 1 0 0 0 0 0 100\n",    // 187.5 degrees/s
      "at 0 line 0.3 0.5 0 0\n",        // 2.5 m/s cruise
      "at 0 spiral 1 0.1 4\n",          // 2.5 m/s at the outer end
      "stale_sensor 10 2.5\n",
      "stale_sensor 5\n",  // frozen for good
      "overrun 1\n",
  };
  for (const char* text : bad) {
    EXPECT_FALSE(Scenario::Parse(text, "bad.txt", &s, &error)) << text;
    EXPECT_EQ(0u, error.rfind("bad.txt:", 0)) << error;
  }
  EXPECT_FALSE(Scenario::Parse("\n\nat 1 jump\n", "bad.txt", &s, &error));
  EXPECT_EQ("bad.txt:3: unknown command 'jump'", error);
  // The fastest targets still taken.
  EXPECT_TRUE(
      Scenario::Parse("at 0 move 0.1 0.1 0 0 0 0 0\nat 1 line 0.6 1 0 0\n", "ok.txt", &s, &error))
      << error;
  EXPECT_FALSE(Scenario::Load("/nonexistent/scenario.txt", &s, &error));
}

TEST(ScenarioFile, EveryShippedScenarioParsesAndRunsWithTheSpringPlugin) {
  for (const char* name : {"push.txt", "press_wall.txt", "release.txt", "pause.txt",
                           "singularity.txt", "long_tool.txt", "bad_records.txt"}) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(Scenario::Load(std::string(SCENARIO_DIR) + "/" + name, &s, &error)) << error;
    Simulation sim(s.host);
    ASSERT_TRUE(sim.LoadPlugin(SPRING_PLUGIN, &error)) << error;
    hostsim::RunOptions options;
    const hostsim::RunSummary summary = hostsim::RunScenario(s, sim, options);
    EXPECT_EQ(std::lround(s.duration * 1000), summary.cycles) << name;
    EXPECT_TRUE(summary.finiteThroughout) << name;
  }
}

TEST(PluginLibrary, TheProductionPluginsLoadStartRunAndStop) {
  std::vector<const char*> plugins;
#ifdef ADMITTANCE_CONTROL
  plugins.push_back(ADMITTANCE_CONTROL);
#endif
#ifdef IMPEDANCE_CONTROL
  plugins.push_back(IMPEDANCE_CONTROL);
#endif
  if (plugins.empty()) GTEST_SKIP() << "no production plug-in is built";
  for (const char* path : plugins) {
    Simulation sim;
    std::string error;
    ASSERT_TRUE(sim.LoadPlugin(path, &error, 99)) << error;
    EXPECT_EQ(99, sim.Module()->GetControlModuleID());
    ASSERT_EQ(0, sim.Start(kStiffness, Vector6d::Zero(), 0.1)) << path;
    sim.Host().Wrench().Step(V(5, 0, 0, 0, 0, 0));
    sim.Run(0.5);
    EXPECT_TRUE(sim.Running()) << path;
    EXPECT_GT(sim.TcpDisplacement()[0], 0.0) << path;
    EXPECT_EQ(0, sim.Host().NonFiniteSetpoints()) << path;
    EXPECT_EQ(0, sim.Stop());
    EXPECT_EQ(SERVO_POSITION, sim.Host().getServoMode());
  }
}
