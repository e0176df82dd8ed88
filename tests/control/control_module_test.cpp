// ControlModule against a mocked host: which host calls each shared step
// makes, in which order, and the thresholds of the checks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "MockRobotControlContext.h"
#include "support/test_module.h"

using ::testing::_;
using ::testing::An;
using ::testing::InSequence;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::ReturnRef;
using ::testing::SaveArg;
using ::testing::StrEq;
using ::testing::StrictMock;

namespace {

Eigen::Vector6d V(double a, double b, double c, double d, double e, double f) {
  Eigen::Vector6d v;
  v << a, b, c, d, e, f;
  return v;
}

Mota::TaskPosition PoseAt(double x, double y, double z) {
  Mota::TaskPosition p;
  p.position << x, y, z;
  return p;
}

}  // namespace

TEST(ControlModuleBase, ConstructorKeepsTheLow32BitsOfTheIdAndAnIdentityPose) {
  TestModule m(nullptr, 0x1FFFFFFFFL);
  EXPECT_EQ(-1L, m.GetControlModuleID());
  EXPECT_EQ(nullptr, m.GetRobotControlContext());
  EXPECT_TRUE(m.m_output.pose.rotation.isIdentity());
  EXPECT_EQ(Eigen::Vector3d::Zero(), m.m_output.pose.position);
  EXPECT_EQ(Eigen::Vector3d::Zero(), m.m_output.velocity.linear);
  const std::unique_ptr<TestModule> heap(new TestModule(nullptr));
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(heap.get()) % 16);
  StrictMock<MockRobotControlContext> host;
  m.SetRobotControlContext(&host);
  EXPECT_EQ(&host, m.GetRobotControlContext());
}

TEST(ControlModuleBase, SetOutputWritesTheSetPointsOfTheServoModeAndSpace) {
  StrictMock<MockRobotControlContext> host;
  TestModule m(&host);
  _ControlOutput out;
  out.pose.position << 1, 2, 3;
  out.velocity.linear << 4, 5, 6;
  out.jointPosition = V(1, 1, 1, 1, 1, 1);
  out.jointVelocity = V(2, 2, 2, 2, 2, 2);
  out.jointTorque = V(3, 3, 3, 3, 3, 3);
  struct Case {
    SERVO_MODE mode;
    MOTION_SPACE space;
  };
  {
    InSequence seq;
    EXPECT_CALL(host, getServoMode()).WillOnce(Return(SERVO_POSITION));
    EXPECT_CALL(host, getMotionSpace()).WillOnce(Return(SPACE_JOINT));
    EXPECT_CALL(host, setJntPos_d(out.jointPosition));
    EXPECT_CALL(host, setJntVel_d(::testing::Matcher<const Eigen::Vector6d&>(out.jointVelocity)));

    Mota::TaskPosition sentPose;
    Mota::TaskVelocity sentVelocity;
    EXPECT_CALL(host, getServoMode()).WillOnce(Return(SERVO_POSITION));
    EXPECT_CALL(host, getMotionSpace()).WillOnce(Return(SPACE_TASK));
    EXPECT_CALL(host, setTCPPose_d(_)).WillOnce([&](Mota::TaskPosition p) {
      EXPECT_EQ(Eigen::Vector3d(1, 2, 3), p.position);
    });
    EXPECT_CALL(host, setTCPVel_d(An<Mota::TaskVelocity>())).WillOnce([&](Mota::TaskVelocity v) {
      EXPECT_EQ(Eigen::Vector3d(4, 5, 6), v.linear);
    });

    EXPECT_CALL(host, getServoMode()).WillOnce(Return(SERVO_TORQUE));
    EXPECT_CALL(host, getMotionSpace()).WillOnce(Return(SPACE_JOINT));
    EXPECT_CALL(host, setJntTrq_d(out.jointTorque));
    EXPECT_CALL(host, getServoMode()).WillOnce(Return(SERVO_TORQUE));
    EXPECT_CALL(host, getMotionSpace()).WillOnce(Return(SPACE_TASK));
    EXPECT_CALL(host, setJntTrq_d(out.jointTorque));

    // Any other pair writes nothing.
    EXPECT_CALL(host, getServoMode()).WillOnce(Return(static_cast<SERVO_MODE>(5)));
    EXPECT_CALL(host, getMotionSpace()).WillOnce(Return(SPACE_TASK));
    EXPECT_CALL(host, getServoMode()).WillOnce(Return(SERVO_POSITION));
    EXPECT_CALL(host, getMotionSpace()).WillOnce(Return(static_cast<MOTION_SPACE>(0)));
  }
  for (int i = 0; i < 6; ++i) m.SetOutput(out);
}

TEST(ControlModuleBase, GainRampReachesTheTargetAtItsDurationAndReportsDoneOneCycleLater) {
  NiceMock<MockRobotControlContext> host;
  TestModule m(&host);
  const Eigen::Vector6d start = V(0, 10, 20, 30, 40, 50), target = V(100, 10, 0, -30, 40, 60);
  Eigen::Vector6d out;
  m.m_gainTime = 0.004;
  m.m_gainElapsed = 0.0;
  EXPECT_CALL(host, setExpTimeStatus(EXPTIME_RUNNING)).Times(3);
  m.InterpolateControlGain(out, target, start);
  EXPECT_EQ(start, out);
  m.m_gainElapsed = 0.002;
  m.InterpolateControlGain(out, target, start);
  EXPECT_EQ(V(50, 10, 10, 0, 40, 55), out);
  m.m_gainElapsed = 0.004;
  m.InterpolateControlGain(out, target, start);
  EXPECT_EQ(target, out);  // still reported running
  ::testing::Mock::VerifyAndClearExpectations(&host);
  EXPECT_CALL(host, setExpTimeStatus(EXPTIME_DONE));
  m.m_gainElapsed = 0.005;
  m.InterpolateControlGain(out, target, start);
  EXPECT_EQ(target, out);
}

TEST(ControlModuleBase, AZeroGainTimeIsRaisedToOneCycle) {
  NiceMock<MockRobotControlContext> host;
  TestModule m(&host);
  m.m_gainTime = 0.0;
  m.m_gainElapsed = 0.0;
  Eigen::Vector6d out;
  EXPECT_CALL(host, setExpTimeStatus(EXPTIME_RUNNING)).Times(3);
  m.InterpolateControlGain(out, V(1, 1, 1, 1, 1, 1), V(0, 0, 0, 0, 0, 0));
  EXPECT_EQ(0.001, m.m_gainTime);
  EXPECT_EQ(Eigen::Vector6d::Zero(), out);
  m.m_gainTime = -5.0;
  m.m_gainElapsed = 0.001;
  m.InterpolateControlGain(out, V(1, 1, 1, 1, 1, 1), V(0, 0, 0, 0, 0, 0));
  EXPECT_EQ(Eigen::Vector6d::Ones(), out);
  m.m_gainTime = std::numeric_limits<double>::quiet_NaN();
  m.m_gainElapsed = 0.0;
  m.InterpolateControlGain(out, V(1, 1, 1, 1, 1, 1), V(0, 0, 0, 0, 0, 0));
  EXPECT_EQ(0.001, m.m_gainTime);
  EXPECT_EQ(Eigen::Vector6d::Zero(), out);
}

TEST(ControlModuleBase, ExternalTorqueScreenCountsOnlyJointsStrictlyAboveTheLimit) {
  NiceMock<MockRobotControlContext> host;
  TestModule m(&host);
  CRobotInfo::Monitoring.extTorqueLimit = 30.0;
  ON_CALL(host, getModel()).WillByDefault(Return(0));
  ON_CALL(host, getFlagOnlineTracking()).WillByDefault(Return(true));
  EXPECT_CALL(host, getJntTrqExt()).Times(6).WillRepeatedly(Return(V(0, -30.0, 0, 0, 0, 0)));
  EXPECT_EQ(1, m.CheckTorqueExtMonitoring());
  ::testing::Mock::VerifyAndClearExpectations(&host);
  ON_CALL(host, getJntTrqExt()).WillByDefault(Return(V(0, -30.000001, 0, 0, 0, 0)));
  EXPECT_EQ(-1, m.CheckTorqueExtMonitoring());

  // Models 7 and 8 in online tracking screen at 20 Nm whatever the record holds.
  ON_CALL(host, getJntTrqExt()).WillByDefault(Return(V(0, 0, 0, 0, 0, 20.5)));
  EXPECT_EQ(1, m.CheckTorqueExtMonitoring());
  for (int model : {7, 8}) {
    ON_CALL(host, getModel()).WillByDefault(Return(model));
    EXPECT_EQ(-1, m.CheckTorqueExtMonitoring()) << model;
  }
  CRobotInfo::Monitoring.extTorqueLimit = 10.0;
  ON_CALL(host, getJntTrqExt()).WillByDefault(Return(V(0, 0, 0, 0, 0, 15)));
  EXPECT_EQ(1, m.CheckTorqueExtMonitoring());
  ON_CALL(host, getFlagOnlineTracking()).WillByDefault(Return(false));
  EXPECT_EQ(-1, m.CheckTorqueExtMonitoring());

  // CheckExternalTorque: only with the monitoring word at 0.
  int32_t word = 0;
  ON_CALL(host, getForceControlMonitoring()).WillByDefault(ReturnRef(word));
  EXPECT_TRUE(m.CheckExternalTorque());
  word = 1;
  EXPECT_FALSE(m.CheckExternalTorque());
  word = 0;
  ON_CALL(host, getJntTrqExt()).WillByDefault(Return(Eigen::Vector6d::Zero()));
  EXPECT_FALSE(m.CheckExternalTorque());
  CRobotInfo::Monitoring.extTorqueLimit = 50.0;
}

// Expects the calls of FinControl in order.
void ExpectFinControl(MockRobotControlContext& host) {
  InSequence seq;
  EXPECT_CALL(host, getJntPos()).WillOnce(Return(V(1, 2, 3, 4, 5, 6)));
  EXPECT_CALL(host, setJntPos_d(V(1, 2, 3, 4, 5, 6)));
  EXPECT_CALL(host, setJntVel_d(::testing::Matcher<double>(0.0)));
  EXPECT_CALL(host, setJntAcc_d(0.0));
  EXPECT_CALL(host, getTCPPose()).WillOnce(Return(PoseAt(0.5, 0, 0.4)));
  EXPECT_CALL(host, setTCPPose_d(_)).WillOnce([](Mota::TaskPosition p) {
    EXPECT_EQ(0.5, p.position[0]);
  });
  EXPECT_CALL(host, getTCPPose()).WillOnce(Return(PoseAt(0.5, 0, 0.4)));
  EXPECT_CALL(host, setTCPPose_tg(_));
  EXPECT_CALL(host, setTCPVel_d(::testing::Matcher<double>(0.0)));
  EXPECT_CALL(host, setTCPAcc_d(0.0));
  EXPECT_CALL(host, setTCPVel_tg(0.0));
  EXPECT_CALL(host, setTCPAcc_tg(0.0));
  EXPECT_CALL(host, getJntTrqGrav()).WillOnce(Return(V(0, -70, -30, 0, 1, 0)));
  EXPECT_CALL(host, setJntTrq_d(V(0, -70, -30, 0, 1, 0)));
  EXPECT_CALL(host, setServoMode(SERVO_POSITION));
  EXPECT_CALL(host, setMotionSpace(SPACE_JOINT));
  EXPECT_CALL(host, setCompForceStatus(COMPFORCE_OFF));
  EXPECT_CALL(host, setExpTimeStatus(EXPTIME_DONE));
}

TEST(ControlModuleBase, FinControlResetsTheSetPointsInOrderThenLeavesCompliance) {
  StrictMock<MockRobotControlContext> host;
  TestModule m(&host);
  ExpectFinControl(host);
  m.FinControl();
}

TEST(ControlModuleBase, ToolLengthCheckPassesAtTheLimitAndReportsMillimetresAbove) {
  StrictMock<MockRobotControlContext> host;
  TestModule m(&host);
  EXPECT_CALL(host, getTCPToolLength()).WillOnce(Return(Eigen::Vector3d(0, 0, 0.3)));
  EXPECT_FALSE(m.CheckTCPLength(0.3));

  EXPECT_CALL(host, getTCPToolLength()).WillOnce(Return(Eigen::Vector3d(0.1, -0.2, 0.25)));
  EXPECT_CALL(host, ReportError(RC_ERROR_LEVEL_ERROR, RC_ERROR_TCP_TOO_LONG,
                                StrEq("TCP is too Long (TCP value(100.0, -200.0, 250.0)->"
                                      "Length(335.4) > Limit(300)")));
  ExpectFinControl(host);
  EXPECT_TRUE(m.CheckTCPLength(0.3));

  // The text names 300 whatever limit is checked.
  EXPECT_CALL(host, getTCPToolLength()).WillOnce(Return(Eigen::Vector3d(0, 0, 0.2)));
  EXPECT_CALL(host, ReportError(_, RC_ERROR_TCP_TOO_LONG, ::testing::HasSubstr("> Limit(300)")));
  ExpectFinControl(host);
  EXPECT_TRUE(m.CheckTCPLength(0.1));
}

TEST(ControlModuleBase, AFailingSingularityCheckEndsControlOnceAndSkipsTheToolCheck) {
  StrictMock<MockRobotControlContext> host;
  TestModule m(&host);
  int32_t word = 0;
  EXPECT_CALL(host, getMinSingularValue()).WillOnce(Return(0.0123));
  EXPECT_CALL(host, getCompliance_sv_max()).WillOnce(Return(0.05));
  EXPECT_CALL(host, getForceControlMonitoring()).WillOnce(ReturnRef(word));
  EXPECT_CALL(host, ReportError(RC_ERROR_LEVEL_ERROR, RC_ERROR_COMPLIANCE_SINGULARITY,
                                StrEq("min_singluar_value=0.012 compliance_sv_max=0.050")));
  ExpectFinControl(host);
  // getTCPToolLength is not expected: a StrictMock fails if it is called.
  EXPECT_TRUE(m.CheckStatusBeforeUpdate());
}

TEST(ControlModuleBase, SingularityCheckPassesAtTheLimitOrWhenMonitoringIsOff) {
  NiceMock<MockRobotControlContext> host;
  TestModule m(&host);
  int32_t word = 0;
  ON_CALL(host, getForceControlMonitoring()).WillByDefault(ReturnRef(word));
  ON_CALL(host, getCompliance_sv_max()).WillByDefault(Return(0.05));
  ON_CALL(host, getMinSingularValue()).WillByDefault(Return(0.05));
  ON_CALL(host, getTCPToolLength()).WillByDefault(Return(Eigen::Vector3d(0, 0, 0.1)));
  EXPECT_CALL(host, ReportError(_, _, _)).Times(0);
  EXPECT_CALL(host, setServoMode(_)).Times(0);
  EXPECT_FALSE(m.CheckStatusBeforeUpdate());
  ON_CALL(host, getMinSingularValue()).WillByDefault(Return(0.0));
  word = 3;
  EXPECT_FALSE(m.CheckComplianceSingularity());
}

// The offset is the force present now as a commanded force (what the tool
// exerts, the negated sensed wrench) in the compliance frame; without a
// sensor the joint torque goes through the damped inverse Jacobian first.
TEST(ControlModuleBase, RelativeModeTakesTheForceMeasuredNowAsACommandInTheComplianceFrame) {
  NiceMock<MockRobotControlContext> host;
  TestModule m(&host);
  Eigen::Vector6d offset = V(9, 9, 9, 9, 9, 9);
  m.SetRelativeMode(false, offset);
  EXPECT_EQ(Eigen::Vector6d::Zero(), offset);

  // Tool frame rotated 90 degrees about z: base x is tool -y.
  Eigen::Matrix3d rz;
  rz << 0, -1, 0, 1, 0, 0, 0, 0, 1;
  ON_CALL(host, getRefCoord(_)).WillByDefault(Return(_REF_COORD{COORD_TOOL, 0, 0}));
  ON_CALL(host, getR0()).WillByDefault(Return(rz));
  CRobotInfo::fts = true;
  ON_CALL(host, getFTS_comp_FCtrl_lpf()).WillByDefault(Return(V(10, 0, -20, 0, 0, 1)));
  m.SetRelativeMode(true, offset);
  EXPECT_TRUE(offset.isApprox(V(0, 10, 20, 0, 0, -1), 1e-12)) << offset.transpose();

  CRobotInfo::fts = false;
  Eigen::Matrix6d jinv = Eigen::Matrix6d::Identity() * 0.5;
  ON_CALL(host, getRefCoord(_)).WillByDefault(Return(_REF_COORD{COORD_BASE, 0, 0}));
  ON_CALL(host, getCalInverseJacobianDLS(_, _)).WillByDefault(Return(jinv));
  ON_CALL(host, getJntExtTrq_Fctrl_lpf()).WillByDefault(Return(V(6, 5, 4, 3, 2, 1)));
  m.SetRelativeMode(true, offset);
  EXPECT_TRUE(offset.isApprox(-0.5 * V(6, 5, 4, 3, 2, 1), 1e-12)) << offset.transpose();
}

TEST(ControlModuleBase, ModeAndComplianceWordsAreForwarded) {
  StrictMock<MockRobotControlContext> host;
  TestModule m(&host);
  InSequence seq;
  EXPECT_CALL(host, setServoMode(SERVO_TORQUE));
  EXPECT_CALL(host, setMotionSpace(SPACE_TASK));
  EXPECT_CALL(host, setCompForceStatus(COMPFORCE_ON));
  m.SetControlMode(SERVO_TORQUE, SPACE_TASK);
  m.SetCompForceStatus(COMPFORCE_ON);
}
