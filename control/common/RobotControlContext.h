// The control host's interface as the plug-ins see it: its enumerations,
// the reference-frame record, the static robot data (CRobotInfo) and the
// abstract context a host implements (RobotControlContext). Units are SI;
// 6-vectors are (x, y, z, rx, ry, rz) or joints 1..6.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "Mota.h"

enum SERVO_MODE : int32_t { SERVO_POSITION = 3, SERVO_TORQUE = 4 };
enum MOTION_SPACE : int32_t { SPACE_JOINT = 1, SPACE_TASK = 2 };
enum REF_COORD_MODE : int32_t { REF_MODE_COMPLIANCE = 1 };
enum COMPFORCE_STATUS : int32_t { COMPFORCE_OFF = 0, COMPFORCE_ON = 1 };
enum MOTIONLIB_STATUS : int32_t { EXPTIME_DONE = 0, EXPTIME_RUNNING = 2 };
enum REF_COORD_TYPE : int32_t { COORD_BASE = 0, COORD_TOOL = 1, COORD_WORLD = 2, COORD_USER = 3 };
enum RC_ERROR_LEVEL : int32_t {
  RC_ERROR_LEVEL_INFO = 0,
  RC_ERROR_LEVEL_WARNING = 1,
  RC_ERROR_LEVEL_ERROR = 2
};
// Error codes the control modules raise; the host may know others.
enum RC_ERROR_CODE : int32_t {
  RC_ERROR_TCP_TOO_LONG = 1104,
  RC_ERROR_COMPLIANCE_SINGULARITY = 3403,
  RC_ERROR_FORCE_DIRECTION = 9401,
};

// A reference frame chosen by the host: its type (REF_COORD_TYPE), the
// user-frame index for COORD_USER, and a word the modules pass through.
struct _REF_COORD {
  int32_t type;
  int32_t index;
  int32_t reserved;
};
static_assert(sizeof(_REF_COORD) == 12, "_REF_COORD is three 32-bit words");

// The host's monitoring limits; the control modules read the external
// joint torque limit (the second double).
struct CRobotMonitoring {
  double collisionSensitivity;
  double extTorqueLimit;  // Nm, per joint
  double reserved[6];
};
static_assert(offsetof(CRobotMonitoring, extTorqueLimit) == 8, "limit is the second double");

// Static data of the robot, owned and filled by the host. A plug-in only
// declares these symbols; they are defined once in the host program (for
// tests: link the `control_robot_info` library, which the simulator's
// library `host_sim` also carries and exports to the plug-ins it loads).
//
// A host that does not link the project's libraries defines them itself,
// in one source file of its executable:
//
//     CRobotMonitoring CRobotInfo::Monitoring = {};
//     bool CRobotInfo::fts = false;
//     double CRobotInfo::motorinertia[6] = {};
//     double CRobotInfo::gearratio[6] = {1, 1, 1, 1, 1, 1};
//
// and exports them to the plug-ins it opens with dlopen: link the
// executable with -rdynamic (or --dynamic-list naming the four symbols,
// see robot_info.dynlist). The plug-ins resolve them when loaded
// (RTLD_NOW fails on a host that does not export them).
class __attribute__((visibility("default"))) CRobotInfo {
 public:
  static CRobotMonitoring Monitoring;
  static bool fts;                // a force/torque sensor is fitted
  static double motorinertia[6];  // kg m^2 at the motor
  static double gearratio[6];     // motor turns per joint turn
};

// What the host offers a control module. A host implements every pure
// operation. Errors are raised with SetError (printf-style); its default
// implementation formats the text into a bounded buffer and hands it to
// ReportError, so a host or a test double only has to implement that.
class RobotControlContext {
 public:
  virtual ~RobotControlContext() = default;

  // Joint state and dynamics.
  virtual Eigen::Vector6d getJntPos() = 0;
  virtual Eigen::Vector6d getJntVel() = 0;
  virtual Eigen::Vector6d getJntVel_lpf_20Hz() = 0;
  virtual Eigen::Vector6d getJntPos_d() = 0;
  // Joint-space inertia of the links and payload (kg m^2), WITHOUT the
  // reflected rotor inertia: the impedance plug-in adds
  // gearratio^2 * motorinertia on the diagonal itself.
  virtual Eigen::Matrix6d getJntM() = 0;
  // Coriolis/centrifugal matrix C(q, qd). The plug-ins only use the product
  // getJntC() * getJntVel(); a host that only has the Coriolis vector c
  // returns any C with C * qd = c, e.g. c * qd^T / |qd|^2 (zero when qd = 0).
  virtual Eigen::Matrix6d getJntC() = 0;
  virtual Eigen::Vector6d getJntTrqGrav() = 0;             // Nm, holds the arm
  virtual Eigen::Vector6d getJntTrqFric_comp_fctrl() = 0;  // Nm, friction feed-forward
  // External joint torques (Nm): the torque the external wrench produces at
  // the joints, tau_ext = J^T F_ext, with F_ext as in getFTS_comp_FCtrl_lpf
  // (the wrench the environment exerts on the tool). Raw, force-control
  // variant, and 20 Hz low-pass filtered.
  virtual Eigen::Vector6d getJntTrqExt() = 0;
  virtual Eigen::Vector6d getJntTrqExt_Fctrl() = 0;
  virtual Eigen::Vector6d getJntExtTrq_Fctrl_lpf() = 0;

  // Task state.
  virtual Mota::TaskPosition getTCPPose() = 0;
  virtual Mota::TaskPosition getTCPPose_tg() = 0;
  virtual Mota::TaskVelocity getTCPVel() = 0;
  virtual Mota::TaskVelocity getTCPVel_tg() = 0;
  virtual Eigen::Vector6d getTCPAcc_tg() = 0;
  virtual Eigen::Matrix6d getTCPJ() = 0;
  virtual Eigen::Matrix6d getTCPJdot() = 0;
  // Damped least-squares inverse of J with damping bound lambda.
  virtual Eigen::Matrix6d getCalInverseJacobianDLS(const Eigen::Matrix6d& J, double lambda) = 0;
  // The force/torque sensor's wrench (N, Nm), read only when
  // CRobotInfo::fts is set: the wrench the environment exerts ON the tool,
  // acting at the TCP, expressed in the robot base frame, "compensated" =
  // with tool and payload gravity and the sensor bias removed, low-pass
  // filtered at 20 Hz. A hand pushing the tool down (-z) reads (0, 0, -F).
  virtual Eigen::Vector6d getFTS_comp_FCtrl_lpf() = 0;
  virtual Eigen::Vector3d getTCPToolLength() = 0;  // tool offset, metres
  // Must mirror the direction flags of the last force command the host sent
  // (1 on force-controlled axes, 0 elsewhere; all 0 after a release or
  // Start). The admittance plug-in sets the force factor of every axis
  // whose entry is 0 to 1: a host that reports 0 on a force axis loses that
  // axis' force factor, one that reports 1 on a position axis lets it take
  // one.
  virtual Eigen::Vector6d getTCPForce_dir() = 0;
  virtual Mota::TaskPosition getSTCP() = 0;
  virtual double getTotalPayloadMass() = 0;

  // Frames; of the transforms only the rotation is used.
  virtual Eigen::Matrix3d getR0() = 0;
  virtual Mota::TaskPosition getBaseToWorld() = 0;
  virtual Mota::TaskPosition getWorldToBase() = 0;
  virtual Mota::TaskPosition getHT_base2ucart(int index) = 0;
  virtual Mota::TaskPosition getHT_ucart2base(int index) = 0;

  // Reference frame.
  virtual _REF_COORD getRefCoord(REF_COORD_MODE mode) = 0;
  virtual void setRefCoord(REF_COORD_MODE mode, _REF_COORD coord) = 0;
  virtual int getRefCoordIdx() = 0;
  virtual _REF_COORD getMotionCmdCoordinateClassidication(int index) = 0;

  // Status. The three words are 0 when idle (checks armed).
  virtual SERVO_MODE getServoMode() = 0;
  virtual MOTION_SPACE getMotionSpace() = 0;
  virtual int32_t& getMotionLibStatus() = 0;
  virtual int32_t& getExpTimeStatus() = 0;
  virtual int32_t& getForceControlMonitoring() = 0;
  virtual int getModel() = 0;
  virtual bool getFlagOnlineTracking() = 0;
  virtual double getMinSingularValue() = 0;
  virtual double getCompliance_sv_max() = 0;
  virtual double getModelScale() = 0;
  virtual double getCalculateDecTime_w_CurJvel() = 0;  // seconds
  virtual int getProgramStatus() = 0;
  virtual uint8_t getSingularHandlingStatus() = 0;

  // Modes and set-points.
  virtual void setServoMode(SERVO_MODE mode) = 0;
  virtual void setMotionSpace(MOTION_SPACE space) = 0;
  virtual void setCompForceStatus(COMPFORCE_STATUS status) = 0;
  virtual void setExpTimeStatus(MOTIONLIB_STATUS status) = 0;
  virtual void setJntPos_d(const Eigen::Vector6d& q) = 0;
  virtual void setJntVel_d(const Eigen::Vector6d& qd) = 0;
  virtual void setJntVel_d(double value) = 0;
  virtual void setJntAcc_d(double value) = 0;
  virtual void setJntTrq_d(const Eigen::Vector6d& tau) = 0;
  virtual void setJntPosInit(const Eigen::Vector6d& q) = 0;
  virtual void setTCPPose_d(Mota::TaskPosition pose) = 0;
  virtual void setTCPPose_tg(Mota::TaskPosition pose) = 0;
  virtual void setTCPVel_d(Mota::TaskVelocity velocity) = 0;
  virtual void setTCPVel_d(double value) = 0;
  virtual void setTCPAcc_d(double value) = 0;
  virtual void setTCPVel_tg(double value) = 0;
  virtual void setTCPAcc_tg(double value) = 0;

  // Raises an error to the host. The text is cut at 511 characters.
  virtual void SetError(RC_ERROR_LEVEL level, RC_ERROR_CODE code, const char* format, ...)
      __attribute__((format(printf, 4, 5))) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ReportError(level, code, text);
  }

  // Receives the formatted text of SetError.
  virtual void ReportError(RC_ERROR_LEVEL level, RC_ERROR_CODE code, const char* text) = 0;
};
