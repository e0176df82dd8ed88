// The simulated host: servo modes, refused set-points, the trajectory
// target, the wrench sources, and getters that never allocate.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "../support/counting_new.h"
#include "SimulatedHost.h"

using hostsim::HostParameters;
using hostsim::Matrix6d;
using hostsim::SimulatedHost;
using hostsim::Vector6d;

TEST(SimulatedHost, StartsAtRestInJointPositionServoWithTheStaticDataSet) {
  HostParameters p;
  p.extTorqueLimit = 42.0;
  p.fts = true;
  SimulatedHost host(p);
  EXPECT_EQ(SERVO_POSITION, host.getServoMode());
  EXPECT_EQ(SPACE_JOINT, host.getMotionSpace());
  EXPECT_EQ(0, host.getExpTimeStatus());
  EXPECT_EQ(0, host.getMotionLibStatus());
  EXPECT_EQ(42.0, CRobotInfo::Monitoring.extTorqueLimit);
  EXPECT_TRUE(CRobotInfo::fts);
  EXPECT_EQ(100.0, CRobotInfo::gearratio[0]);
  // The default posture passes the singularity and tool-length checks.
  EXPECT_GT(host.getMinSingularValue(), host.getCompliance_sv_max());
  EXPECT_GT(host.getMinSingularValue(), 0.1);
  EXPECT_LE(host.getTCPToolLength().norm(), 0.3);
  // Target equals the measured pose; the arm holds still.
  const Eigen::Isometry3d start = host.TcpPose();
  for (int i = 0; i < 100; ++i) host.Actuate();
  EXPECT_LT((host.TcpPose().translation() - start.translation()).norm(), 1e-12);
  EXPECT_EQ(host.getTCPPose_tg().position, host.getTCPPose().position);
}

TEST(SimulatedHost, PositionServoFollowsTheTaskAndJointSetPoints) {
  SimulatedHost host;
  host.setServoMode(SERVO_POSITION);
  host.setMotionSpace(SPACE_TASK);
  Mota::TaskPosition goal = host.getTCPPose();
  goal.position += Eigen::Vector3d(0.0002, -0.0001, 0.0003);
  host.setTCPPose_d(goal);
  host.Actuate();
  EXPECT_LT((host.TcpPose().translation() - goal.position).norm(), 1e-9);
  EXPECT_GT(host.getJntVel().norm(), 0.0);
  EXPECT_EQ(host.getJntPos(), host.getJntPos_d());

  host.setMotionSpace(SPACE_JOINT);
  Vector6d q = host.getJntPos();
  q[0] += 0.001;
  host.setJntPos_d(q);
  host.Actuate();
  EXPECT_LT((host.getJntPos() - q).norm(), 1e-12);

  // A set-point far away is approached at the joint speed limit.
  q[0] += 1.0;
  host.setJntPos_d(q);
  host.Actuate();
  EXPECT_NEAR(host.getJntVel()[0], host.Parameters().maxJointSpeed, 1e-9);
  EXPECT_EQ(1, host.SpeedLimitHits());
}

TEST(SimulatedHost, RefusesNonFiniteAndMalformedSetPoints) {
  SimulatedHost host;
  host.setServoMode(SERVO_POSITION);
  host.setMotionSpace(SPACE_TASK);
  const Eigen::Vector3d start = host.TcpPose().translation();
  Mota::TaskPosition bad = host.getTCPPose();
  bad.position[2] = std::numeric_limits<double>::quiet_NaN();
  host.setTCPPose_d(bad);
  Mota::TaskPosition skewed = host.getTCPPose();
  skewed.rotation.setZero();
  host.setTCPPose_d(skewed);
  host.setTCPPose_tg(skewed);
  Vector6d tau = host.getJntTrqGrav();
  tau[3] = std::numeric_limits<double>::infinity();
  host.setJntTrq_d(tau);
  host.setJntPos_d(Vector6d::Constant(std::numeric_limits<double>::quiet_NaN()));
  host.setTCPVel_d(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(6, host.NonFiniteSetpoints());
  for (int i = 0; i < 10; ++i) host.Actuate();
  EXPECT_LT((host.TcpPose().translation() - start).norm(), 1e-12);
  host.setServoMode(SERVO_TORQUE);
  for (int i = 0; i < 10; ++i) host.Actuate();
  EXPECT_TRUE(host.getJntPos().allFinite());
}

TEST(SimulatedHost, TorqueServoHoldsUnderGravityCompensationAndYieldsToAWrench) {
  SimulatedHost host;
  host.setServoMode(SERVO_TORQUE);
  host.setMotionSpace(SPACE_TASK);
  const Vector6d q0 = host.getJntPos();
  for (int i = 0; i < 500; ++i) {
    host.setJntTrq_d(host.getJntTrqGrav());
    host.Actuate();
  }
  EXPECT_LT((host.getJntPos() - q0).norm(), 1e-9);

  // A force along +x with no controller accelerates the TCP along +x; the
  // external torque is J^T F.
  Vector6d f = Vector6d::Zero();
  f[0] = 20.0;
  host.Wrench().Step(f);
  host.Sense();
  EXPECT_LT((host.getJntTrqExt() - host.getTCPJ().transpose() * f).norm(), 1e-12);
  for (int i = 0; i < 50; ++i) {
    host.setJntTrq_d(host.getJntTrqGrav());
    host.Actuate();
  }
  const Vector6d v = host.TcpVelocity();
  EXPECT_GT(v[0], 0.0);
  EXPECT_GT(v[0], 5.0 * std::fabs(v[1]));
  // The filtered torque lags the raw one (20 Hz first order).
  EXPECT_LT(host.getJntExtTrq_Fctrl_lpf().norm(), host.getJntTrqExt().norm());
  EXPECT_GT(host.getJntExtTrq_Fctrl_lpf().norm(), 0.5 * host.getJntTrqExt().norm());
}

TEST(SimulatedHost, TorqueServoConservesEnergyOfFreeMotionWithoutGravity) {
  HostParameters p;
  p.arm.gravity.setZero();
  SimulatedHost host(p);
  Vector6d qd;
  qd << 0.8, -0.6, 0.9, 1.5, -1.2, 2.0;
  host.SetJoints(host.getJntPos(), qd);
  host.setServoMode(SERVO_TORQUE);
  host.setJntTrq_d(Vector6d::Zero());
  auto energy = [&] {
    return host.Arm().KineticEnergy(host.getJntPos(), host.getJntVel()) +
           host.Arm().PotentialEnergy(host.getJntPos());
  };
  const double e0 = energy();
  double worst = 0.0;
  for (int i = 0; i < 2000; ++i) {
    host.Actuate();
    worst = std::max(worst, std::fabs(energy() - e0) / e0);
  }
  EXPECT_LT(worst, 1e-6);
  EXPECT_GT((host.getJntVel() - qd).norm(), 0.1);  // it did move and exchange energy
}

TEST(SimulatedHost, TrajectoryTargetMovesAlongItsPathWithTheStatusWord) {
  SimulatedHost host;
  const Eigen::Vector3d start = host.TargetPose().translation();
  Vector6d delta;
  delta << 0.1, 0.0, -0.05, 0.0, 0.0, 0.2;
  host.Trajectory().Move(host.Time(), 0.5, delta);
  host.Sense();
  EXPECT_EQ(1, host.getMotionLibStatus());
  // Velocity agrees with the change of the target pose.
  for (int i = 0; i < 200; ++i) host.Actuate();
  const Eigen::Isometry3d before = host.TargetPose();
  const Vector6d v = host.getTCPAcc_tg(), vel = [&] {
    Mota::TaskVelocity t = host.getTCPVel_tg();
    return t.asVector();
  }();
  host.Actuate();
  const Eigen::Vector3d moved = (host.TargetPose().translation() - before.translation()) / 0.001;
  EXPECT_LT((moved - vel.head<3>()).norm(), 1e-3);
  EXPECT_TRUE(v.allFinite());
  for (int i = 0; i < 400; ++i) host.Actuate();
  EXPECT_EQ(0, host.getMotionLibStatus());
  EXPECT_LT((host.TargetPose().translation() - start - delta.head<3>()).norm(), 1e-12);
  EXPECT_EQ(Vector6d::Zero(), host.getTCPVel_tg().asVector());
  // Resetting the target (as FinControl does) holds the given pose.
  host.setTCPPose_tg(host.getTCPPose());
  EXPECT_EQ(host.getTCPPose().position, host.getTCPPose_tg().position);
}

// The constant-speed line cruises at distance / (duration - blend), and the
// search spiral's velocity and acceleration are the derivatives of its path,
// which ends on its radius.
TEST(SimulatedHost, LineCruisesAndTheSpiralFollowsItsDerivatives) {
  hostsim::TrajectoryTarget t;
  t.Hold(Eigen::Isometry3d::Identity());
  Vector6d delta = Vector6d::Zero();
  delta[0] = 0.1;
  t.Line(0.0, 2.1, delta, 0.1);
  Eigen::Isometry3d p0, p1;
  Vector6d v, a;
  int32_t status;
  t.Evaluate(1.0, p0, v, a, status);
  EXPECT_NEAR(0.05, v[0], 1e-12);
  t.Evaluate(2.2, p0, v, a, status);
  EXPECT_NEAR(0.1, p0.translation().x(), 1e-12);
  t.Spiral(3.0, 6.0, 0.003, 3.0);
  for (double at : {3.7, 5.1, 8.2}) {
    Vector6d v1, a1;
    t.Evaluate(at, p0, v, a, status);
    t.Evaluate(at + 1e-6, p1, v1, a1, status);
    EXPECT_LT(((p1.translation() - p0.translation()) / 1e-6 - v.head<3>()).norm(), 1e-6);
    EXPECT_LT(((v1 - v) / 1e-6 - a).head<3>().norm(), 1e-4);
  }
  t.Evaluate(9.5, p0, v, a, status);
  EXPECT_EQ(0, status);
  EXPECT_NEAR(0.003, (p0.translation() - Eigen::Vector3d(0.1, 0, 0)).norm(), 1e-12);
}

TEST(SimulatedHost, WrenchSourcesStepRampAndAWallThatOnlyPushes) {
  hostsim::WrenchSources w;
  Vector6d f = Vector6d::Zero();
  f[2] = 10.0;
  w.Step(f);
  w.Ramp(1.0, 2.0, Vector6d::Zero());
  const Eigen::Vector3d p(0, 0, 0), v(0, 0, 0);
  EXPECT_DOUBLE_EQ(10.0, w.Evaluate(0.5, p, v)[2]);
  EXPECT_DOUBLE_EQ(5.0, w.Evaluate(2.0, p, v)[2]);
  EXPECT_DOUBLE_EQ(0.0, w.Evaluate(3.5, p, v)[2]);
  w.Step(Vector6d::Zero());
  w.SetWall(Eigen::Vector3d(0, 0, 0.5), Eigen::Vector3d(0, 0, 2), 20000.0, 100.0);
  EXPECT_EQ(Vector6d::Zero(), w.Evaluate(0.0, Eigen::Vector3d(0, 0, 0.51), v));
  EXPECT_NEAR(20.0, w.Evaluate(0.0, Eigen::Vector3d(0.3, 0, 0.499), v)[2], 1e-9);
  // Moving into the wall adds damping; moving out quickly never pulls.
  EXPECT_NEAR(30.0, w.Evaluate(0.0, Eigen::Vector3d(0, 0, 0.499), Eigen::Vector3d(0, 0, -0.1))[2],
              1e-9);
  EXPECT_EQ(0.0, w.Evaluate(0.0, Eigen::Vector3d(0, 0, 0.499), Eigen::Vector3d(0, 0, 5))[2]);
  w.ClearWall();
  EXPECT_EQ(Vector6d::Zero(), w.Evaluate(0.0, Eigen::Vector3d(0, 0, 0.4), v));
}

TEST(SimulatedHost, FramesFollowTheHostsConvention) {
  HostParameters p;
  p.userFrames[2] = Eigen::AngleAxisd(0.5, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  p.world = Eigen::AngleAxisd(-0.3, Eigen::Vector3d::UnitX()).toRotationMatrix();
  SimulatedHost host(p);
  // base2ucart is the user frame's orientation in base, ucart2base its inverse.
  EXPECT_TRUE(host.getHT_base2ucart(2).rotation.isApprox(p.userFrames[2]));
  EXPECT_TRUE(host.getHT_ucart2base(2).rotation.isApprox(p.userFrames[2].transpose()));
  EXPECT_TRUE(host.getBaseToWorld().rotation.isApprox(p.world));
  EXPECT_TRUE(host.getWorldToBase().rotation.isApprox(p.world.transpose()));
  EXPECT_TRUE(host.getHT_base2ucart(99).rotation.isIdentity());
  EXPECT_TRUE(host.getR0().isApprox(host.TcpPose().linear()));
}

TEST(SimulatedHost, GettersAndTheDampedInverseDoNotAllocate) {
  SimulatedHost host;
  host.setServoMode(SERVO_TORQUE);
  host.Actuate();
  double sink = 0.0;
  counting_new::counted = 0;
  counting_new::counting = true;
  for (int i = 0; i < 100; ++i) {
    sink += host.getJntPos()[0] + host.getJntVel()[0] + host.getJntVel_lpf_20Hz()[0];
    sink += host.getJntM()(0, 0) + host.getJntC()(0, 0) + host.getJntTrqGrav()[1];
    sink +=
        host.getJntTrqExt()[0] + host.getJntTrqExt_Fctrl()[0] + host.getJntExtTrq_Fctrl_lpf()[0];
    sink += host.getTCPPose().position[0] + host.getTCPPose_tg().position[0];
    sink += host.getTCPVel().linear[0] + host.getTCPVel_tg().linear[0] + host.getTCPAcc_tg()[0];
    const Matrix6d J = host.getTCPJ();
    sink += host.getCalInverseJacobianDLS(J, 0.05)(0, 0) + host.getTCPJdot()(0, 0);
    sink += host.getFTS_comp_FCtrl_lpf()[0] + host.getTCPToolLength()[0] + host.getR0()(0, 0);
    sink += host.getBaseToWorld().position[0] + host.getHT_ucart2base(1).position[0];
    sink += host.getMinSingularValue() + host.getRefCoord(REF_MODE_COMPLIANCE).type;
    host.setJntTrq_d(host.getJntTrqGrav());
    host.setTCPPose_d(host.getTCPPose());
    host.setExpTimeStatus(EXPTIME_RUNNING);
    host.SetError(RC_ERROR_LEVEL_ERROR, RC_ERROR_TCP_TOO_LONG, "value %d", i);
  }
  counting_new::counting = false;
  EXPECT_EQ(0, counting_new::counted.load());
  EXPECT_TRUE(std::isfinite(sink));
  ASSERT_EQ(100u, host.Errors().size());
  EXPECT_STREQ("value 99", host.Errors().back().text);
}
