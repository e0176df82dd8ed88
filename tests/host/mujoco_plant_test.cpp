// The MuJoCo plant: the same arm as the KDL model in another engine, the
// contact stiffness it realises, its sensors' signs and frames, its
// position loop and the model mismatch, and the press scenarios with the
// real plug-ins.
#include <gtest/gtest.h>

#include <random>

#include "MujocoPlant.h"
#include "Scenario.h"
#include "SimulatedHost.h"

using hostsim::ArmParameters;
using hostsim::ContactSurface;
using hostsim::HostParameters;
using hostsim::Matrix6d;
using hostsim::MujocoParameters;
using hostsim::MujocoPlant;
using hostsim::PlantKind;
using hostsim::PlantName;
using hostsim::SimulatedArm;
using hostsim::SimulatedHost;
using hostsim::Vector6d;

namespace {

const std::array<double, 6> kTorqueLimit{{400.0, 400.0, 200.0, 60.0, 60.0, 60.0}};

HostParameters MujocoHost() {
  HostParameters p;
  p.plant = PlantKind::kMujoco;
  return p;
}

void Hold(SimulatedHost& host, int cycles) {
  for (int i = 0; i < cycles; ++i) host.Actuate();
}

struct ArmCase {
  const char* name;
  Eigen::Vector3d tool;
  double payload;
  Eigen::Vector3d gravity;
};
// Test names carry the case name; so do failure messages.
void PrintTo(const ArmCase& c, std::ostream* os) {
  *os << c.name;
}

class OneArmTwoEngines : public ::testing::TestWithParam<ArmCase> {};

TEST_P(OneArmTwoEngines, AgreeOnGravityInertiaJacobianAndPose) {
  ArmParameters arm;
  arm.tool = GetParam().tool;
  arm.payload = GetParam().payload;
  arm.gravity = GetParam().gravity;
  arm.viscousFriction = 2.0;  // damping and friction must not show in these
  MujocoParameters mp;
  mp.frictionLoss.fill(3.0);
  hostsim::WrenchSources wrench;
  MujocoPlant plant(arm, mp, kTorqueLimit, wrench);
  ASSERT_TRUE(plant.Ok()) << plant.Error();
  SimulatedArm kdl(arm);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-2.5, 2.5);
  for (int n = 0; n < 12; ++n) {
    Vector6d q;
    for (int j = 0; j < 6; ++j) q[j] = u(rng);
    // The engine's inertia carries the rotors as armature; so does the
    // model's Inertia() (links plus gear ratio^2 * motor inertia).
    EXPECT_LT((plant.EngineInertia(q) - kdl.Inertia(q)).cwiseAbs().maxCoeff(), 1e-9)
        << q.transpose();
    EXPECT_LT((plant.EngineGravity(q) - kdl.GravityTorque(q)).cwiseAbs().maxCoeff(), 1e-9);
    EXPECT_LT((plant.EngineJacobian(q) - kdl.Jacobian(q)).cwiseAbs().maxCoeff(), 1e-12);
    EXPECT_LT((plant.EngineTcpPose(q).matrix() - kdl.Pose(q).matrix()).cwiseAbs().maxCoeff(),
              1e-12);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arms, OneArmTwoEngines,
    ::testing::Values(ArmCase{"default", Eigen::Vector3d(0, 0, 0.1), 1.0,
                              Eigen::Vector3d(0, 0, -9.81)},
                      ArmCase{"offset_tool_heavy", Eigen::Vector3d(0.03, -0.02, 0.2), 4.0,
                              Eigen::Vector3d(0, 0, -9.81)},
                      ArmCase{"no_payload_tilted_gravity", Eigen::Vector3d(0, 0, 0.05), 0.0,
                              Eigen::Vector3d(1.0, -2.0, -9.5)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MujocoPlantModel, MismatchKnobsChangeThePlantOnly) {
  ArmParameters arm;
  arm.payload = 0.0;
  hostsim::WrenchSources wrench;
  MujocoParameters mp;
  mp.massScale = 1.2;
  MujocoPlant scaled(arm, mp, kTorqueLimit, wrench);
  mp.massScale = 1.0;
  mp.unreportedPayload = 2.0;
  MujocoPlant loaded(arm, mp, kTorqueLimit, wrench);
  SimulatedArm kdl(arm);
  ArmParameters heavy = arm;
  heavy.payload = 2.0;
  SimulatedArm kdlLoaded(heavy);
  Vector6d q;
  q << 0.3, 0.5, 1.0, 0.2, 1.2, 0.1;
  EXPECT_LT((scaled.EngineGravity(q) - 1.2 * kdl.GravityTorque(q)).norm(), 1e-9);
  EXPECT_LT((loaded.EngineGravity(q) - kdlLoaded.GravityTorque(q)).norm(), 1e-9);
}

TEST(MujocoScenario, PlantSettingsReachTheHostParameters) {
  hostsim::Scenario s;
  std::string error;
  ASSERT_TRUE(hostsim::Scenario::Parse(
      "plant mujoco\nservo_kp 1 2 3 4 5 6\nservo_kd 6 5 4 3 2 1\nsubsteps 4\n"
      "torque_limit 10 20 30 40 50 60\nfriction_loss 1 1 1 0.5 0.5 0.5\n"
      "unreported_payload 1.5\nmass_scale 1.1\nfts_bias 1 2 3 0.1 0.2 0.3\nsensor_delay 1\n"
      "contact wall 1 0 0 -1 0 0 stiffness 5e4 damping 20 friction 0.4\n"
      "contact box 0.9 0 0.4 0 0 90 0.1 0.2 0.05 stiffness 2e4\n",
      "t", &s, &error))
      << error;
  const HostParameters& h = s.host;
  EXPECT_EQ(PlantKind::kMujoco, h.plant);
  EXPECT_EQ(6.0, h.mujoco.kp[5]);
  EXPECT_EQ(6.0, h.mujoco.kd[0]);
  EXPECT_EQ(4, h.mujoco.substeps);
  EXPECT_EQ(60.0, h.torqueLimit[5]);
  EXPECT_EQ(0.5, h.mujoco.frictionLoss[3]);
  EXPECT_EQ(1.5, h.mujoco.unreportedPayload);
  EXPECT_EQ(1.1, h.mujoco.massScale);
  EXPECT_EQ(0.3, h.wrenchBias[5]);
  EXPECT_TRUE(h.sensorDelay);
  ASSERT_EQ(2u, h.mujoco.contacts.size());
  const ContactSurface& wall = h.mujoco.contacts[0];
  EXPECT_EQ(ContactSurface::kPlane, wall.shape);
  EXPECT_EQ(-1.0, wall.normal.x());
  EXPECT_EQ(5e4, wall.stiffness);
  EXPECT_EQ(20.0, wall.damping);
  EXPECT_EQ(0.4, wall.friction);
  const ContactSurface& box = h.mujoco.contacts[1];
  EXPECT_EQ(ContactSurface::kBox, box.shape);
  EXPECT_NEAR(M_PI / 2, box.rotation.z(), 1e-12);
  EXPECT_EQ(0.2, box.halfSize.y());
  EXPECT_EQ(0.0, box.friction);
}

// --- contact -------------------------------------------------------------

struct ContactCase {
  const char* name;
  ContactSurface::Shape shape;
  double stiffness;
  double friction;
  bool hostWall;  // declared through the host's wall (as scenarios do)
};
void PrintTo(const ContactCase& c, std::ostream* os) {
  *os << c.name;
}

class MujocoContact : public ::testing::TestWithParam<ContactCase> {};

// The tool is held by the position loop while a surface is placed 1 mm
// into its tip; in equilibrium the engine's contact force over the
// engine's penetration is the declared stiffness.
TEST_P(MujocoContact, RealisedStiffnessIsTheDeclaredOne) {
  const ContactCase& c = GetParam();
  SimulatedHost probe(MujocoHost());
  const Eigen::Vector3d tcp = probe.TcpPose().translation();
  HostParameters p = MujocoHost();
  ContactSurface s;
  s.shape = c.shape;
  s.stiffness = c.stiffness;
  s.damping = 200.0;
  s.friction = c.friction;
  Eigen::Vector3d normal = Eigen::Vector3d::UnitZ();
  if (c.shape == ContactSurface::kPlane) {
    s.point = tcp + Eigen::Vector3d(0, 0, 0.001);
  } else {
    // A tilted box whose top face passes 1 mm above the TCP.
    s.rotation = Eigen::Vector3d(0.0, 0.0, 0.4);
    s.halfSize = Eigen::Vector3d(0.1, 0.1, 0.02);
    s.point = tcp + Eigen::Vector3d(0.01, 0.0, 0.001 - 0.02);
  }
  if (!c.hostWall) p.mujoco.contacts.push_back(s);
  SimulatedHost host(p);
  ASSERT_NE(nullptr, host.GetPlant()) << host.PlantError();
  if (c.hostWall) host.Wrench().SetWall(s.point, normal, s.stiffness, s.damping);
  Hold(host, 600);
  const double force = host.AppliedWrench().head<3>().dot(normal);
  const double depth = host.Penetration();
  ASSERT_GT(depth, 1e-5);
  EXPECT_NEAR(force / depth, c.stiffness, 0.05 * c.stiffness)
      << "force " << force << " N, penetration " << depth * 1e3 << " mm";
  // The wrist sensor sees the surface push the tool back, at the TCP.
  EXPECT_NEAR(host.getFTS_comp_FCtrl_lpf()[2], force, 0.02 * force + 0.05);
  EXPECT_LT(host.AppliedWrench().head<2>().norm(), 0.05 * force + 1e-3);
}

INSTANTIATE_TEST_SUITE_P(
    Surfaces, MujocoContact,
    ::testing::Values(ContactCase{"plane_10k", ContactSurface::kPlane, 1e4, 0.0, false},
                      ContactCase{"plane_100k_friction", ContactSurface::kPlane, 1e5, 0.8, false},
                      ContactCase{"box_30k", ContactSurface::kBox, 3e4, 0.0, false},
                      ContactCase{"host_wall_20k", ContactSurface::kPlane, 2e4, 0.0, true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- sensors ---------------------------------------------------------------

struct SensorCase {
  const char* name;
  double unreported;  // kg
  double massScale;
  Vector6d bias;
};
void PrintTo(const SensorCase& c, std::ostream* os) {
  *os << c.name;
}

class MujocoSensors : public ::testing::TestWithParam<SensorCase> {};

// A known wrench on the TCP while the position loop holds the arm. The
// wrist sensor reports it (environment on the tool, at the TCP, base
// frame) plus what it cannot tell from it: an unreported payload's weight
// and its bias. The external joint torque is what the model does not
// explain: J^T of the wrench minus the gravity torque the model misses
// (taken here from the engine's own gravity torque).
TEST_P(MujocoSensors, WristSensorAndJointTorqueReportTheWrenchOnTheTool) {
  HostParameters p = MujocoHost();
  p.mujoco.unreportedPayload = GetParam().unreported;
  p.mujoco.massScale = GetParam().massScale;
  p.wrenchBias = GetParam().bias;
  SimulatedHost host(p);
  ASSERT_NE(nullptr, host.GetPlant()) << host.PlantError();
  Vector6d w;
  w << 12.0, -7.0, 20.0, 1.5, -0.8, 0.6;
  host.Wrench().Step(w);
  Hold(host, 800);
  Vector6d expected = w + GetParam().bias;
  expected.head<3>() += GetParam().unreported * p.arm.gravity;
  const Vector6d fts = host.getFTS_comp_FCtrl_lpf();
  EXPECT_LT((fts.head<3>() - expected.head<3>()).norm(), 0.1) << fts.transpose();
  EXPECT_LT((fts.tail<3>() - expected.tail<3>()).norm(), 0.02) << fts.transpose();
  const Vector6d measured = host.getJntTrqExt();
  const Vector6d unexplained =
      static_cast<MujocoPlant*>(host.GetPlant())->EngineGravity(host.getJntPos()) -
      host.getJntTrqGrav();
  EXPECT_LT((measured - (host.getTCPJ().transpose() * w - unexplained)).norm(), 1e-6)
      << measured.transpose();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MujocoSensors,
    ::testing::Values(SensorCase{"exact", 0.0, 1.0, Vector6d::Zero()},
                      SensorCase{"unreported_payload", 1.5, 1.0, Vector6d::Zero()},
                      SensorCase{"mass_scale", 0.0, 1.25, Vector6d::Zero()},
                      SensorCase{"bias", 0.0, 1.0,
                                 (Vector6d() << 1, -2, 3, 0.1, 0.2, -0.3).finished()}),
    [](const auto& info) { return std::string(info.param.name); });

// The optional delay holds every force and torque reading back one cycle,
// on either plant.
TEST(SensorDelay, ReadingsArriveOneCycleLate) {
  for (PlantKind kind : {PlantKind::kKdl, PlantKind::kMujoco}) {
    for (bool delay : {false, true}) {
      HostParameters p;
      p.plant = kind;
      p.sensorDelay = delay;
      SimulatedHost host(p);
      Vector6d w = Vector6d::Zero();
      w[2] = 10.0;
      host.Wrench().Step(w);
      host.Actuate();
      EXPECT_EQ(delay, std::abs(host.getFTS_comp_FCtrl_lpf()[2]) < 1e-6) << PlantName(kind);
      EXPECT_EQ(delay, host.getJntTrqExt().norm() < 1e-6) << PlantName(kind);
      host.Actuate();
      EXPECT_GT(host.getFTS_comp_FCtrl_lpf()[2], 0.1) << PlantName(kind);
    }
  }
}

// A stale window keeps the last force and torque readings: every 4th
// cycle for 2 cycles here, while the noise changes every fresh reading.
TEST(StaleSensor, ReadingsStayFrozenInsideTheWindowOnly) {
  HostParameters p;
  p.torqueNoise = p.wrenchNoise = 0.1;
  p.staleSensorEvery = 4;
  p.staleSensorCycles = 2;
  SimulatedHost host(p);
  Vector6d torque = host.getJntTrqExt(), wrench = host.getFTS_comp_FCtrl_lpf();
  for (int cycle = 1; cycle <= 10; ++cycle) {
    host.Actuate();
    const bool stale = cycle >= 4 && cycle % 4 < 2;
    EXPECT_EQ(stale, host.getJntTrqExt() == torque) << cycle;
    EXPECT_EQ(stale, host.getFTS_comp_FCtrl_lpf() == wrench) << cycle;
    torque = host.getJntTrqExt();
    wrench = host.getFTS_comp_FCtrl_lpf();
  }
}

// --- servo ---------------------------------------------------------------

TEST(MujocoServo, PositionLoopIsFiniteAndSettlesOnTheTaskSetPoint) {
  SimulatedHost host(MujocoHost());
  host.setServoMode(SERVO_POSITION);
  host.setMotionSpace(SPACE_TASK);
  Mota::TaskPosition goal = host.getTCPPose();
  goal.position += Eigen::Vector3d(0.002, -0.001, 0.003);
  host.setTCPPose_d(goal);
  host.Actuate();
  // One cycle later the arm has not arrived (the KDL plant would have).
  EXPECT_GT((host.TcpPose().translation() - goal.position).norm(), 0.5e-3);
  Hold(host, 500);
  EXPECT_LT((host.TcpPose().translation() - goal.position).norm(), 2e-5);
  EXPECT_LT(host.getJntVel().norm(), 1e-3);
}

// The position loop slides the tool along x over a plate with friction,
// pressed 1 mm into it: the friction the plate applies opposes the sliding
// direction and is mu times the normal force.
class MujocoFriction : public ::testing::TestWithParam<double> {};

TEST_P(MujocoFriction, OpposesTheSlidingDirection) {
  const double direction = GetParam();
  SimulatedHost probe(MujocoHost());
  HostParameters p = MujocoHost();
  ContactSurface s;
  s.stiffness = 1e5;
  s.friction = 0.5;
  s.point = probe.TcpPose().translation() + Eigen::Vector3d(0, 0, 0.0002);
  p.mujoco.contacts.push_back(s);
  SimulatedHost host(p);
  ASSERT_NE(nullptr, host.GetPlant()) << host.PlantError();
  host.setServoMode(SERVO_POSITION);
  host.setMotionSpace(SPACE_TASK);
  Mota::TaskPosition goal = host.getTCPPose();
  goal.position.z() -= 0.0008;
  host.setTCPPose_d(goal);
  Hold(host, 300);
  for (int i = 0; i < 300; ++i) {  // 20 mm/s
    goal.position.x() += direction * 2e-5;
    host.setTCPPose_d(goal);
    host.Actuate();
  }
  const Vector6d w = host.AppliedWrench();
  ASSERT_GT(w[2], 10.0);
  EXPECT_NEAR(w[0], -direction * 0.5 * w[2], 0.05 * w[2]) << w.transpose();
  EXPECT_LT(std::fabs(w[1]), 0.02 * w[2]);
}

INSTANTIATE_TEST_SUITE_P(Directions, MujocoFriction, ::testing::Values(1.0, -1.0),
                         [](const auto& info) {
                           return std::string(info.param > 0 ? "plus_x" : "minus_x");
                         });

TEST(MujocoServo, UnreportedPayloadSagsThePositionLoop) {
  HostParameters p = MujocoHost();
  p.mujoco.unreportedPayload = 3.0;
  SimulatedHost host(p);
  const Eigen::Vector3d start = host.TcpPose().translation();
  Hold(host, 500);
  const double sag = start.z() - host.TcpPose().translation().z();
  EXPECT_GT(sag, 1e-5);  // the servo's gravity model lacks the payload
  EXPECT_LT(sag, 2e-3);  // but its stiffness holds it close
}

// Torque servo: the engine adds nothing. The model's gravity torque holds
// the arm; no torque lets it fall; friction loss the model does not know
// holds a joint against a small torque.
TEST(MujocoServo, TorqueServoAppliesOnlyTheCommand) {
  struct Case {
    Vector6d extra;
    double friction;
    bool gravity;
    bool moves;
  };
  const Vector6d none = Vector6d::Zero();
  const Vector6d small = (Vector6d() << 0, 0, 0, 0, 0, 1.0).finished();
  for (const Case& c : {Case{none, 0.0, true, false}, Case{none, 0.0, false, true},
                        Case{small, 0.0, true, true}, Case{small, 2.0, true, false}}) {
    HostParameters p = MujocoHost();
    p.mujoco.frictionLoss.fill(c.friction);
    SimulatedHost host(p);
    host.setServoMode(SERVO_TORQUE);
    const Vector6d q0 = host.getJntPos();
    for (int i = 0; i < 200; ++i) {
      host.setJntTrq_d((c.gravity ? host.getJntTrqGrav() : none) + c.extra);
      host.Actuate();
    }
    const double moved = (host.getJntPos() - q0).cwiseAbs().maxCoeff();
    if (c.moves)
      EXPECT_GT(moved, 1e-3) << c.extra.transpose() << " friction " << c.friction;
    else
      EXPECT_LT(moved, 1e-4) << c.extra.transpose() << " friction " << c.friction;
  }
}

}  // namespace
