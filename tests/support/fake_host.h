// The one stand-in for the control host in the plug-in tests and
// benchmarks: every getter answers from a public field the test sets, every
// setter records what it was given. Nothing allocates after construction, so
// the allocation tests and the benchmarks run the modules against it too.
#pragma once

#include <cstdint>
#include <cstdio>

#include "RobotControlContext.h"

class FakeHost : public RobotControlContext {
 public:
  FakeHost() { Reset(); }

  // A quiet arm at rest in the base frame: identity Jacobian and inertia,
  // no gravity, no tool, every check passing.
  void Reset() {
    jntPos.setZero();
    jntVel.setZero();
    jntVelLpf.setZero();
    jntPosD.setZero();
    jntM.setIdentity();
    jntC.setZero();
    jntTrqGrav.setZero();
    jntTrqFric.setZero();
    jntTrqExt.setZero();
    jntTrqExtFctrl.setZero();
    jntExtTrqFctrlLpf.setZero();
    tcpPose.setInit();
    tcpPoseTg.setInit();
    stcp.setInit();
    tcpVel = StillVelocity();
    tcpVelTg = StillVelocity();
    tcpAccTg.setZero();
    tcpJ.setIdentity();
    tcpJdot.setZero();
    ftsLpf.setZero();
    forceDir.setOnes();
    toolLength.setZero();
    payload = 0.0;
    r0.setIdentity();
    baseToWorld.setInit();
    userFrame.setInit();
    refCoord = {COORD_BASE, 0, 0};
    motionCmdCoord = {COORD_BASE, 0, 0};
    servoMode = SERVO_POSITION;
    motionSpace = SPACE_JOINT;
    compForce = COMPFORCE_OFF;
    motionLibStatus = 0;
    expTimeStatus = 0;
    forceControlMonitoring = 0;
    model = 1;
    onlineTracking = false;
    minSingularValue = 1.0;
    complianceSvMax = 0.01;
    modelScale = 1.0;
    decTime = 0.2;
    singularHandling = 0;
    exactInverse = false;
    torqueSent.setZero();
    jntPosSent.setZero();
    jntVelSent.setZero();
    jntPosInit.setZero();
    poseSent.setInit();
    velSent = StillVelocity();
    torqueCount = jntPosCount = poseCount = velCount = setRefCoordCount = 0;
    errorCount = 0;
    lastErrorCode = 0;
    lastError[0] = '\0';
  }

  // A zero velocity with every member set.
  static Mota::TaskVelocity StillVelocity() {
    Mota::TaskVelocity v;
    v.linear.setZero();
    v.angular.setZero();
    v.vector.setZero();
    return v;
  }

  // Everything the module reads.
  Eigen::Vector6d jntPos, jntVel, jntVelLpf, jntPosD, jntTrqGrav, jntTrqFric, jntTrqExt,
      jntTrqExtFctrl, jntExtTrqFctrlLpf, tcpAccTg, ftsLpf, forceDir;
  Eigen::Matrix6d jntM, jntC, tcpJ, tcpJdot;
  // World-to-base and user-frame-to-base are the inverse rotations of these.
  Mota::TaskPosition tcpPose, tcpPoseTg, stcp, baseToWorld, userFrame;
  Mota::TaskVelocity tcpVel, tcpVelTg;
  Eigen::Vector3d toolLength;
  Eigen::Matrix3d r0;
  _REF_COORD refCoord, motionCmdCoord;
  int32_t motionLibStatus, expTimeStatus, forceControlMonitoring;
  int model;
  bool onlineTracking;
  double payload, minSingularValue, complianceSvMax, modelScale, decTime;
  uint8_t singularHandling;
  // The exact inverse instead of the damped one (so static deflections can
  // be checked against F/k exactly).
  bool exactInverse;

  // Everything the module writes.
  SERVO_MODE servoMode;
  MOTION_SPACE motionSpace;
  COMPFORCE_STATUS compForce;
  Eigen::Vector6d torqueSent, jntPosSent, jntVelSent, jntPosInit;
  Mota::TaskPosition poseSent;
  Mota::TaskVelocity velSent;
  long torqueCount, jntPosCount, poseCount, velCount, setRefCoordCount, errorCount;
  int lastErrorCode;
  char lastError[512];

  Eigen::Vector6d getJntPos() override { return jntPos; }
  Eigen::Vector6d getJntVel() override { return jntVel; }
  Eigen::Vector6d getJntVel_lpf_20Hz() override { return jntVelLpf; }
  Eigen::Vector6d getJntPos_d() override { return jntPosD; }
  Eigen::Matrix6d getJntM() override { return jntM; }
  Eigen::Matrix6d getJntC() override { return jntC; }
  Eigen::Vector6d getJntTrqGrav() override { return jntTrqGrav; }
  Eigen::Vector6d getJntTrqFric_comp_fctrl() override { return jntTrqFric; }
  Eigen::Vector6d getJntTrqExt() override { return jntTrqExt; }
  Eigen::Vector6d getJntTrqExt_Fctrl() override { return jntTrqExtFctrl; }
  Eigen::Vector6d getJntExtTrq_Fctrl_lpf() override { return jntExtTrqFctrlLpf; }
  Mota::TaskPosition getTCPPose() override { return tcpPose; }
  Mota::TaskPosition getTCPPose_tg() override { return tcpPoseTg; }
  Mota::TaskVelocity getTCPVel() override { return tcpVel; }
  Mota::TaskVelocity getTCPVel_tg() override { return tcpVelTg; }
  Eigen::Vector6d getTCPAcc_tg() override { return tcpAccTg; }
  Eigen::Matrix6d getTCPJ() override { return tcpJ; }
  Eigen::Matrix6d getTCPJdot() override { return tcpJdot; }
  // Damped least squares, J^T (J J^T + lambda^2 I)^-1, small and fixed-size.
  Eigen::Matrix6d getCalInverseJacobianDLS(const Eigen::Matrix6d& J, double lambda) override {
    if (exactInverse) return J.inverse();
    const Eigen::Matrix6d a = J * J.transpose() + lambda * lambda * Eigen::Matrix6d::Identity();
    return J.transpose() * a.partialPivLu().inverse();
  }
  Eigen::Vector6d getFTS_comp_FCtrl_lpf() override { return ftsLpf; }
  Eigen::Vector3d getTCPToolLength() override { return toolLength; }
  Eigen::Vector6d getTCPForce_dir() override { return forceDir; }
  Mota::TaskPosition getSTCP() override { return stcp; }
  double getTotalPayloadMass() override { return payload; }
  Eigen::Matrix3d getR0() override { return r0; }
  Mota::TaskPosition getBaseToWorld() override { return baseToWorld; }
  Mota::TaskPosition getWorldToBase() override { return Inverse(baseToWorld); }
  Mota::TaskPosition getHT_base2ucart(int) override { return userFrame; }
  Mota::TaskPosition getHT_ucart2base(int) override { return Inverse(userFrame); }
  _REF_COORD getRefCoord(REF_COORD_MODE) override { return refCoord; }
  void setRefCoord(REF_COORD_MODE, _REF_COORD coord) override {
    refCoord = coord;
    ++setRefCoordCount;
  }
  int getRefCoordIdx() override { return 0; }
  _REF_COORD getMotionCmdCoordinateClassidication(int) override { return motionCmdCoord; }
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
  double getCalculateDecTime_w_CurJvel() override { return decTime; }
  int getProgramStatus() override { return 0; }
  uint8_t getSingularHandlingStatus() override { return singularHandling; }

  void setServoMode(SERVO_MODE mode) override { servoMode = mode; }
  void setMotionSpace(MOTION_SPACE space) override { motionSpace = space; }
  void setCompForceStatus(COMPFORCE_STATUS status) override { compForce = status; }
  void setExpTimeStatus(MOTIONLIB_STATUS status) override { expTimeStatus = status; }
  void setJntPos_d(const Eigen::Vector6d& q) override {
    jntPosSent = q;
    ++jntPosCount;
  }
  void setJntVel_d(const Eigen::Vector6d& qd) override { jntVelSent = qd; }
  void setJntVel_d(double) override {}
  void setJntAcc_d(double) override {}
  void setJntTrq_d(const Eigen::Vector6d& tau) override {
    torqueSent = tau;
    ++torqueCount;
  }
  void setJntPosInit(const Eigen::Vector6d& q) override { jntPosInit = q; }
  void setTCPPose_d(Mota::TaskPosition pose) override {
    poseSent = pose;
    ++poseCount;
  }
  void setTCPPose_tg(Mota::TaskPosition) override {}
  void setTCPVel_d(Mota::TaskVelocity velocity) override {
    velSent = velocity;
    ++velCount;
  }
  void setTCPVel_d(double) override {}
  void setTCPAcc_d(double) override {}
  void setTCPVel_tg(double) override {}
  void setTCPAcc_tg(double) override {}
  void ReportError(RC_ERROR_LEVEL, RC_ERROR_CODE code, const char* text) override {
    ++errorCount;
    lastErrorCode = code;
    std::snprintf(lastError, sizeof lastError, "%s", text);
  }

 private:
  // The frames here are pure rotations.
  static Mota::TaskPosition Inverse(const Mota::TaskPosition& frame) {
    Mota::TaskPosition p;
    p.rotation = frame.rotation.transpose();
    return p;
  }
};
