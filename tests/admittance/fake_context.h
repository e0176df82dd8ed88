// A small stand-in for the control host: every getter answers from a public
// field the test sets, every setter records what it was given. Nothing here
// allocates, so the allocation tests and the benchmark can use it too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "RobotControlContext.h"

namespace admittance_test {

using Vector6 = Eigen::Matrix<double, 6, 1>;
using Matrix6 = Eigen::Matrix<double, 6, 6>;

class FakeContext : public RobotControlContext {
 public:
  FakeContext() { Reset(); }

  void Reset() {
    jntPos.setZero();
    jntPos_d.setZero();
    jntM = Matrix6::Identity();
    jntTrqGrav.setConstant(1.5);
    jntTrqExt.setZero();
    jntTrqExtFctrl.setZero();
    jntExtTrqLpf.setZero();
    ftsWrench.setZero();
    tcpPose.setInit();
    tcpPoseTarget.setInit();
    ZeroVelocity(tcpVelTarget);
    tcpJ = Matrix6::Identity();
    toolLength = Eigen::Vector3d(0.0, 0.0, 0.1);
    forceDir = Vector6::Ones();
    stcp.setInit();
    payload = 0.0;
    r0 = Eigen::Matrix3d::Identity();
    baseToWorld.setInit();
    worldToBase.setInit();
    base2ucart.setInit();
    ucart2base.setInit();
    refCoord = {COORD_BASE, 0, 0};
    motionCmdCoord = {COORD_BASE, 0, 0};
    servoMode = SERVO_POSITION;
    motionSpace = SPACE_TASK;
    motionLibStatus = 0;
    expTimeStatus = 0;
    forceControlMonitoring = 0;
    model = 0;
    onlineTracking = false;
    minSingularValue = 1.0;
    complianceSvMax = 0.05;
    modelScale = 1.0;
    singularHandling = 0;
    compForce = COMPFORCE_OFF;
    poseSetCount = 0;
    velSetCount = 0;
    jntPosSetCount = 0;
    jntTrqSetCount = 0;
    errorCount = 0;
    lastErrorCode = 0;
    lastErrorText[0] = '\0';
    lastPose.setInit();
    ZeroVelocity(lastVel);
  }

  static void ZeroVelocity(Mota::TaskVelocity& v) {
    v.linear.setZero();
    v.angular.setZero();
    v.vector.setZero();
  }

  // Joint state and dynamics.
  Vector6 getJntPos() override { return jntPos; }
  Vector6 getJntVel() override { return Vector6::Zero(); }
  Vector6 getJntVel_lpf_20Hz() override { return Vector6::Zero(); }
  Vector6 getJntPos_d() override { return jntPos_d; }
  Matrix6 getJntM() override { return jntM; }
  Matrix6 getJntC() override { return Matrix6::Zero(); }
  Vector6 getJntTrqGrav() override { return jntTrqGrav; }
  Vector6 getJntTrqFric_comp_fctrl() override { return Vector6::Zero(); }
  Vector6 getJntTrqExt() override { return jntTrqExt; }
  Vector6 getJntTrqExt_Fctrl() override { return jntTrqExtFctrl; }
  Vector6 getJntExtTrq_Fctrl_lpf() override { return jntExtTrqLpf; }

  // Task state.
  Mota::TaskPosition getTCPPose() override { return tcpPose; }
  Mota::TaskPosition getTCPPose_tg() override { return tcpPoseTarget; }
  Mota::TaskVelocity getTCPVel() override { return tcpVelTarget; }
  Mota::TaskVelocity getTCPVel_tg() override { return tcpVelTarget; }
  Vector6 getTCPAcc_tg() override { return Vector6::Zero(); }
  Matrix6 getTCPJ() override { return tcpJ; }
  Matrix6 getTCPJdot() override { return Matrix6::Zero(); }
  // The exact inverse when there is one (so static deflections can be
  // checked against F/k exactly), the damped least-squares one otherwise.
  Matrix6 getCalInverseJacobianDLS(const Matrix6& J, double lambda) override {
    if (exactInverse) return J.inverse();
    return J.transpose() * (J * J.transpose() + lambda * lambda * Matrix6::Identity()).inverse();
  }
  Vector6 getFTS_comp_FCtrl_lpf() override { return ftsWrench; }
  Eigen::Vector3d getTCPToolLength() override { return toolLength; }
  Vector6 getTCPForce_dir() override { return forceDir; }
  Mota::TaskPosition getSTCP() override { return stcp; }
  double getTotalPayloadMass() override { return payload; }

  // Frames.
  Eigen::Matrix3d getR0() override { return r0; }
  Mota::TaskPosition getBaseToWorld() override { return baseToWorld; }
  Mota::TaskPosition getWorldToBase() override { return worldToBase; }
  Mota::TaskPosition getHT_base2ucart(int) override { return base2ucart; }
  Mota::TaskPosition getHT_ucart2base(int) override { return ucart2base; }

  _REF_COORD getRefCoord(REF_COORD_MODE) override { return refCoord; }
  void setRefCoord(REF_COORD_MODE, _REF_COORD coord) override { refCoord = coord; }
  int getRefCoordIdx() override { return 0; }
  _REF_COORD getMotionCmdCoordinateClassidication(int) override { return motionCmdCoord; }

  // Status.
  SERVO_MODE getServoMode() override { return servoMode; }
  MOTION_SPACE getMotionSpace() override { return motionSpace; }
  int32_t& getMotionLibStatus() override { return motionLibStatus; }
  int32_t& getExpTimeStatus() override { return expTimeStatus; }
  int32_t& getForceControlMonitoring() override { return forceControlMonitoring; }
  int getModel() override { return model; }
  bool getFlagOnlineTracking() override { return onlineTracking; }
  double getMinSingularValue() override { return minSingularValue; }
  double getCompliance_sv_max() override { return complianceSvMax; }
  double getModelScale() override { return modelScale; }
  double getCalculateDecTime_w_CurJvel() override { return 0.0; }
  int getProgramStatus() override { return 0; }
  uint8_t getSingularHandlingStatus() override { return singularHandling; }

  // Modes and set-points.
  void setServoMode(SERVO_MODE mode) override { servoMode = mode; }
  void setMotionSpace(MOTION_SPACE space) override { motionSpace = space; }
  void setCompForceStatus(COMPFORCE_STATUS status) override { compForce = status; }
  void setExpTimeStatus(MOTIONLIB_STATUS status) override { expTimeStatus = status; }
  void setJntPos_d(const Vector6& q) override {
    lastJntPos = q;
    ++jntPosSetCount;
  }
  void setJntVel_d(const Vector6&) override {}
  void setJntVel_d(double) override {}
  void setJntAcc_d(double) override {}
  void setJntTrq_d(const Vector6&) override { ++jntTrqSetCount; }
  void setJntPosInit(const Vector6& q) override { jntPosInit = q; }
  void setTCPPose_d(Mota::TaskPosition pose) override {
    lastPose = pose;
    ++poseSetCount;
  }
  void setTCPPose_tg(Mota::TaskPosition) override {}
  void setTCPVel_d(Mota::TaskVelocity velocity) override {
    lastVel = velocity;
    ++velSetCount;
  }
  void setTCPVel_d(double) override {}
  void setTCPAcc_d(double) override {}
  void setTCPVel_tg(double) override {}
  void setTCPAcc_tg(double) override {}

  void ReportError(RC_ERROR_LEVEL, RC_ERROR_CODE code, const char* text) override {
    ++errorCount;
    lastErrorCode = code;
    std::snprintf(lastErrorText, sizeof lastErrorText, "%s", text);
  }

  // What the getters answer.
  Vector6 jntPos, jntPos_d, jntTrqGrav, jntTrqExt, jntTrqExtFctrl, jntExtTrqLpf, ftsWrench;
  Matrix6 jntM, tcpJ;
  Mota::TaskPosition tcpPose, tcpPoseTarget, stcp, baseToWorld, worldToBase, base2ucart, ucart2base;
  Mota::TaskVelocity tcpVelTarget;
  Eigen::Vector3d toolLength;
  Vector6 forceDir;
  double payload;
  Eigen::Matrix3d r0;
  _REF_COORD refCoord, motionCmdCoord;
  SERVO_MODE servoMode;
  MOTION_SPACE motionSpace;
  int32_t motionLibStatus, expTimeStatus, forceControlMonitoring;
  int model;
  bool onlineTracking;
  double minSingularValue, complianceSvMax, modelScale;
  uint8_t singularHandling;
  bool exactInverse = true;

  // What the setters received.
  COMPFORCE_STATUS compForce;
  Mota::TaskPosition lastPose;
  Mota::TaskVelocity lastVel;
  Vector6 lastJntPos = Vector6::Zero();
  Vector6 jntPosInit = Vector6::Zero();
  long poseSetCount, velSetCount, jntPosSetCount, jntTrqSetCount;
  long errorCount;
  int lastErrorCode;
  char lastErrorText[512];
};

}  // namespace admittance_test
