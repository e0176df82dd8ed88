// A GMock double of the control host's context, for unit tests of control
// modules. Errors arrive formatted through ReportError.
#pragma once

#include <gmock/gmock.h>

#include "RobotControlContext.h"

class MockRobotControlContext : public RobotControlContext {
 public:
  MOCK_METHOD(Eigen::Vector6d, getJntPos, (), (override));
  MOCK_METHOD(Eigen::Vector6d, getJntVel, (), (override));
  MOCK_METHOD(Eigen::Vector6d, getJntVel_lpf_20Hz, (), (override));
  MOCK_METHOD(Eigen::Vector6d, getJntPos_d, (), (override));
  MOCK_METHOD(Eigen::Matrix6d, getJntM, (), (override));
  MOCK_METHOD(Eigen::Matrix6d, getJntC, (), (override));
  MOCK_METHOD(Eigen::Vector6d, getJntTrqGrav, (), (override));
  MOCK_METHOD(Eigen::Vector6d, getJntTrqFric_comp_fctrl, (), (override));
  MOCK_METHOD(Eigen::Vector6d, getJntTrqExt, (), (override));
  MOCK_METHOD(Eigen::Vector6d, getJntTrqExt_Fctrl, (), (override));
  MOCK_METHOD(Eigen::Vector6d, getJntExtTrq_Fctrl_lpf, (), (override));
  MOCK_METHOD(Mota::TaskPosition, getTCPPose, (), (override));
  MOCK_METHOD(Mota::TaskPosition, getTCPPose_tg, (), (override));
  MOCK_METHOD(Mota::TaskVelocity, getTCPVel, (), (override));
  MOCK_METHOD(Mota::TaskVelocity, getTCPVel_tg, (), (override));
  MOCK_METHOD(Eigen::Vector6d, getTCPAcc_tg, (), (override));
  MOCK_METHOD(Eigen::Matrix6d, getTCPJ, (), (override));
  MOCK_METHOD(Eigen::Matrix6d, getTCPJdot, (), (override));
  MOCK_METHOD(Eigen::Matrix6d, getCalInverseJacobianDLS, (const Eigen::Matrix6d&, double),
              (override));
  MOCK_METHOD(Eigen::Vector6d, getFTS_comp_FCtrl_lpf, (), (override));
  MOCK_METHOD(Eigen::Vector3d, getTCPToolLength, (), (override));
  MOCK_METHOD(Eigen::Vector6d, getTCPForce_dir, (), (override));
  MOCK_METHOD(Mota::TaskPosition, getSTCP, (), (override));
  MOCK_METHOD(double, getTotalPayloadMass, (), (override));
  MOCK_METHOD(Eigen::Matrix3d, getR0, (), (override));
  MOCK_METHOD(Mota::TaskPosition, getBaseToWorld, (), (override));
  MOCK_METHOD(Mota::TaskPosition, getWorldToBase, (), (override));
  MOCK_METHOD(Mota::TaskPosition, getHT_base2ucart, (int), (override));
  MOCK_METHOD(Mota::TaskPosition, getHT_ucart2base, (int), (override));
  MOCK_METHOD(_REF_COORD, getRefCoord, (REF_COORD_MODE), (override));
  MOCK_METHOD(void, setRefCoord, (REF_COORD_MODE, _REF_COORD), (override));
  MOCK_METHOD(int, getRefCoordIdx, (), (override));
  MOCK_METHOD(_REF_COORD, getMotionCmdCoordinateClassidication, (int), (override));
  MOCK_METHOD(SERVO_MODE, getServoMode, (), (override));
  MOCK_METHOD(MOTION_SPACE, getMotionSpace, (), (override));
  MOCK_METHOD(int32_t&, getMotionLibStatus, (), (override));
  MOCK_METHOD(int32_t&, getExpTimeStatus, (), (override));
  MOCK_METHOD(int32_t&, getForceControlMonitoring, (), (override));
  MOCK_METHOD(int, getModel, (), (override));
  MOCK_METHOD(bool, getFlagOnlineTracking, (), (override));
  MOCK_METHOD(double, getMinSingularValue, (), (override));
  MOCK_METHOD(double, getCompliance_sv_max, (), (override));
  MOCK_METHOD(double, getModelScale, (), (override));
  MOCK_METHOD(double, getCalculateDecTime_w_CurJvel, (), (override));
  MOCK_METHOD(int, getProgramStatus, (), (override));
  MOCK_METHOD(uint8_t, getSingularHandlingStatus, (), (override));
  MOCK_METHOD(void, setServoMode, (SERVO_MODE), (override));
  MOCK_METHOD(void, setMotionSpace, (MOTION_SPACE), (override));
  MOCK_METHOD(void, setCompForceStatus, (COMPFORCE_STATUS), (override));
  MOCK_METHOD(void, setExpTimeStatus, (MOTIONLIB_STATUS), (override));
  MOCK_METHOD(void, setJntPos_d, (const Eigen::Vector6d&), (override));
  MOCK_METHOD(void, setJntVel_d, (const Eigen::Vector6d&), (override));
  MOCK_METHOD(void, setJntVel_d, (double), (override));
  MOCK_METHOD(void, setJntAcc_d, (double), (override));
  MOCK_METHOD(void, setJntTrq_d, (const Eigen::Vector6d&), (override));
  MOCK_METHOD(void, setJntPosInit, (const Eigen::Vector6d&), (override));
  MOCK_METHOD(void, setTCPPose_d, (Mota::TaskPosition), (override));
  MOCK_METHOD(void, setTCPPose_tg, (Mota::TaskPosition), (override));
  MOCK_METHOD(void, setTCPVel_d, (Mota::TaskVelocity), (override));
  MOCK_METHOD(void, setTCPVel_d, (double), (override));
  MOCK_METHOD(void, setTCPAcc_d, (double), (override));
  MOCK_METHOD(void, setTCPVel_tg, (double), (override));
  MOCK_METHOD(void, setTCPAcc_tg, (double), (override));
  MOCK_METHOD(void, ReportError, (RC_ERROR_LEVEL, RC_ERROR_CODE, const char*), (override));
};
