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
//
// Conventions of every getter below, unless its comment says otherwise:
//   - units SI (m, rad, s, N, Nm, kg); 6-vectors (x, y, z, rx, ry, rz) or
//     joints 1..6; task quantities in the robot BASE frame, of the TCP
//     (the tool centre point at the end of the tool offset);
//   - freshness: the value of the present cycle, sampled by the host before
//     it calls DoControl. Commands (Start, UpdateControlGain, Pause, Resume,
//     Stop, CheckControlState) arrive between cycles and read the values of
//     the last sample; nothing a plug-in reads is expected to change during
//     one call;
//   - "A" / "I" / "base" after a getter name: read by the admittance
//     plug-in, the impedance plug-in, the shared base (both). A getter
//     marked "none" is not read by either plug-in today; implement it
//     anyway (the interface is shared with other modules).
// The plug-ins are called from the host's control thread only, one call at
// a time, and keep no pointer to what a getter returns.
class RobotControlContext {
 public:
  virtual ~RobotControlContext() = default;

  // ---- Joint state and dynamics -------------------------------------------
  // Measured joint positions, rad. A, I, base (output record at Start, the
  // position set-point FinControl leaves behind).
  virtual Eigen::Vector6d getJntPos() = 0;
  // Measured joint velocities, rad/s, unfiltered. I (Coriolis product).
  virtual Eigen::Vector6d getJntVel() = 0;
  // Joint velocities through a first-order 20 Hz low-pass. I (the quiet
  // test of a pause: sum of |qd| below 1 deg/s for 101 cycles).
  virtual Eigen::Vector6d getJntVel_lpf_20Hz() = 0;
  // The host's present joint position set-point, rad. A: at Start it is
  // handed back through setJntPosInit, so the host's interpolator starts
  // from where its last set-point was.
  virtual Eigen::Vector6d getJntPos_d() = 0;
  // Joint-space inertia of the links and payload (kg m^2), WITHOUT the
  // reflected rotor inertia: the impedance plug-in adds
  // gearratio^2 * motorinertia on the diagonal itself. I (inverse dynamics),
  // A (only the norm of its diagonal scales the virtual joint masses).
  virtual Eigen::Matrix6d getJntM() = 0;
  // Coriolis/centrifugal matrix C(q, qd). The plug-ins only use the product
  // getJntC() * getJntVel(); a host that only has the Coriolis vector c
  // returns any C with C * qd = c, e.g. c * qd^T / |qd|^2 (zero when qd = 0).
  // I.
  virtual Eigen::Matrix6d getJntC() = 0;
  // Gravity torque of the links and of the payload the host was told
  // about (the reported payload, not the true one), Nm: the torque that
  // holds the arm still. I (added to every torque set-point), base (the
  // torque set-point FinControl leaves behind). A payload the host does not
  // know shows up as external force in both plug-ins.
  virtual Eigen::Vector6d getJntTrqGrav() = 0;
  // Friction compensation feed-forward, Nm, added as it is to the impedance
  // torque: the torque that overcomes the joints' friction at the present
  // velocity, so it has the sign of the joint velocity (getJntVel). Zero is
  // a valid answer (no compensation). I.
  virtual Eigen::Vector6d getJntTrqFric_comp_fctrl() = 0;
  // External joint torques (Nm): the torque the external wrench produces at
  // the joints, tau_ext = J^T F_ext, with F_ext as in getFTS_comp_FCtrl_lpf
  // (the wrench the environment exerts on the tool).
  //   getJntTrqExt: the host's monitoring value; base screens it at Start
  //     (a joint strictly above CRobotInfo::Monitoring.extTorqueLimit
  //     refuses Start while monitoring is armed).
  //   getJntTrqExt_Fctrl: the force-control estimate, unfiltered; A drives
  //     its admittance with it every cycle.
  //   getJntExtTrq_Fctrl_lpf: the same through a 20 Hz low-pass; base reads
  //     it for a relative force command when no sensor is fitted.
  // A model-based estimate (measured motor torque minus the model's
  // inverse dynamics) holds J^T F_ext plus whatever the model gets wrong:
  // an unreported payload or a mass error reads as a force at the TCP and
  // the force loops press harder by it. Report what the estimate really
  // gives; do not hide model errors by filtering them out. The estimate and
  // the wrist sensor must agree within the force accuracy wanted: the
  // admittance takes a relative force's offset from the sensor (when
  // fitted) but its feedback from this estimate, so a bias between the two
  // (2 N, for example) is a standing force error that keeps a compliant
  // axis drifting by millimetres within seconds.
  virtual Eigen::Vector6d getJntTrqExt() = 0;
  virtual Eigen::Vector6d getJntTrqExt_Fctrl() = 0;
  virtual Eigen::Vector6d getJntExtTrq_Fctrl_lpf() = 0;

  // ---- Task state ---------------------------------------------------------
  // Measured TCP pose: position (m) and rotation (TCP axes in base
  // columns), from the measured joint positions. A, I, base. `vector` is
  // not read.
  virtual Mota::TaskPosition getTCPPose() = 0;
  // The motion library's target pose of the TCP this cycle, same frame and
  // reference point as getTCPPose (base frame, TCP; not the flange, not the
  // motion command frame). Both plug-ins comply about it: A adds its
  // displacement to it, I springs towards it. While no motion runs it
  // holds still; after setTCPPose_tg it holds the pose given there.
  virtual Mota::TaskPosition getTCPPose_tg() = 0;
  // Measured TCP velocity (linear m/s in `linear`, angular rad/s in
  // `angular`, base frame; `vector` is not read): J * qd. I (damping on the
  // velocity error).
  virtual Mota::TaskVelocity getTCPVel() = 0;
  // The target's velocity, same layout and frame as getTCPVel: the time
  // derivative of getTCPPose_tg (angular: the angular velocity of its
  // rotation). A feeds it forward on axes with stiffness; I damps the
  // error against it and uses it in the feed-forward below. A host that
  // returns 0 while the target moves makes both plug-ins lag and damp
  // against the motion.
  virtual Mota::TaskVelocity getTCPVel_tg() = 0;
  // The target's acceleration (linear then angular, base frame): the time
  // derivative of getTCPVel_tg. I feeds it forward through the inverse
  // dynamics (M J+ (a - Jdot J+ v)); a host that returns 0 silently loses
  // that feed-forward and the impedance lags on accelerating targets.
  virtual Eigen::Vector6d getTCPAcc_tg() = 0;
  // Geometric Jacobian of the TCP in the base frame: rows 0-2 the linear
  // velocity of the TCP, rows 3-5 the angular velocity; columns joints
  // 1..6. A, I, base. getTCPJdot is its time derivative (I).
  virtual Eigen::Matrix6d getTCPJ() = 0;
  virtual Eigen::Matrix6d getTCPJdot() = 0;
  // Damped least-squares inverse of J with damping bound lambda:
  //   J+ = J^T (J J^T + mu^2 I)^-1, mu = 0 while the smallest singular
  //   value s of J is at least lambda, growing smoothly to lambda at s = 0
  //   (for example mu^2 = lambda^2 - s^2 below it).
  // Must always return finite values, and the exact inverse above the
  // bound. A (wrench estimate, bound getCompliance_sv_max), I (feed-forward,
  // bound 0.15 x getModelScale), base (relative force without sensor).
  virtual Eigen::Matrix6d getCalInverseJacobianDLS(const Eigen::Matrix6d& J, double lambda) = 0;
  // The force/torque sensor's wrench (N, Nm), read only when
  // CRobotInfo::fts is set: the wrench the environment exerts ON the tool,
  // acting at the TCP, expressed in the robot base frame, "compensated" =
  // with tool and payload gravity and the sensor bias removed, low-pass
  // filtered at 20 Hz. A hand pushing the tool down (-z) reads (0, 0, -F).
  // Filter order: compensate first, then filter (a filtered raw reading
  // compensated afterwards lags the gravity change as the tool turns).
  // base (the offset of a relative force command only; neither law reads
  // it every cycle).
  virtual Eigen::Vector6d getFTS_comp_FCtrl_lpf() = 0;
  // Tool offset from the flange to the TCP, metres, flange frame. base
  // (Start and every gain command refuse a tool longer than 0.3 m, 1104).
  virtual Eigen::Vector3d getTCPToolLength() = 0;
  // Must mirror the direction flags of the last force command the host sent
  // (1 on force-controlled axes, 0 elsewhere; all 0 after a release or
  // Start). The admittance plug-in sets the force factor of every axis
  // whose entry is 0 to 1: a host that reports 0 on a force axis loses that
  // axis' force factor, one that reports 1 on a position axis lets it take
  // one. What to report when:
  //   - a force command the plug-in took (0): its flags (byte > 0.5 -> 1);
  //   - a force command it refused (-1) or that selects no axis (9401):
  //     the previous flags stay (the plug-in changed nothing);
  //   - a release (5), Stop, a failed check, a refused Start, Start: all 0.
  // Read by A when a force-factor command arrives (not every cycle).
  virtual Eigen::Vector6d getTCPForce_dir() = 0;
  // Pose of the STCP (the tool-offset frame the host uses for four-axis
  // arms: its rotation's third column is the axis the fourth joint turns
  // the tool about), base frame. A, only for models 7 and 8 with singular
  // handling 3; others may return the TCP pose.
  virtual Mota::TaskPosition getSTCP() = 0;
  // Reported payload mass at the tool, kg (the figure the gravity model
  // uses). A (virtual joint masses).
  virtual double getTotalPayloadMass() = 0;

  // ---- Frames; of the transforms only the rotation is used ---------------
  // getR0: TCP orientation in base (the tool frame). getBaseToWorld: the
  // world frame's orientation in base; getWorldToBase its inverse.
  // getHT_base2ucart(i): user frame i's orientation in base;
  // getHT_ucart2base(i) its inverse. A, base (frame conversions).
  virtual Eigen::Matrix3d getR0() = 0;
  virtual Mota::TaskPosition getBaseToWorld() = 0;
  virtual Mota::TaskPosition getWorldToBase() = 0;
  virtual Mota::TaskPosition getHT_base2ucart(int index) = 0;
  virtual Mota::TaskPosition getHT_ucart2base(int index) = 0;

  // ---- Reference frame ----------------------------------------------------
  // getRefCoord(REF_MODE_COMPLIANCE) returns what setRefCoord stored last
  // (the plug-ins store the motion command's frame at Start and after every
  // gain command and read it every cycle). getRefCoordIdx is the index of
  // the running motion command; getMotionCmdCoordinateClassidication(i)
  // its frame. A, base.
  virtual _REF_COORD getRefCoord(REF_COORD_MODE mode) = 0;
  virtual void setRefCoord(REF_COORD_MODE mode, _REF_COORD coord) = 0;
  virtual int getRefCoordIdx() = 0;
  virtual _REF_COORD getMotionCmdCoordinateClassidication(int index) = 0;

  // ---- Status -------------------------------------------------------------
  // Servo mode and motion space the host runs now (set by the plug-in
  // through setServoMode / setMotionSpace). base (which set-points
  // SetOutput writes), A (no output unless task space).
  virtual SERVO_MODE getServoMode() = 0;
  virtual MOTION_SPACE getMotionSpace() = 0;
  // The motion library's word: non-zero (1) while a motion of the
  // trajectory runs, 0 when the target holds. It only decides what
  // CheckControlState reports (2 while non-zero); it disarms no check.
  virtual int32_t& getMotionLibStatus() = 0;
  // The ramp word the plug-in writes with setExpTimeStatus
  // (EXPTIME_RUNNING while a gain ramp runs, EXPTIME_DONE after): return
  // what was written last. base (CheckControlState).
  virtual int32_t& getExpTimeStatus() = 0;
  // Monitoring word: 0 arms the checks (external torque at Start, the
  // singularity check at Start and after every gain command); any other
  // value disarms both. base.
  virtual int32_t& getForceControlMonitoring() = 0;
  // Robot model index (selects the admittance's virtual mass table and
  // damping ratio; 7 and 8 are four-axis arms). A, base.
  virtual int getModel() = 0;
  // Online tracking: with models 7 and 8 the external torque limit becomes
  // 20 Nm. base.
  virtual bool getFlagOnlineTracking() = 0;
  // Smallest singular value of getTCPJ (m and rad mixed, so it scales
  // with the arm's reach), and the host's limit below it: Start and gain
  // commands refuse (3403) while monitoring is armed, and A uses the limit
  // as its damped-inverse bound. Choose the limit per arm: the smallest
  // singular value of the default posture is 0.16 on a 0.9 m arm,
  // 0.23 on a 1.3 m arm and 0.29 on a 1.7 m arm (the simulated arms at
  // 0, 30, 60, 0, 90, 0 degrees); a limit of about a fifth of the working
  // postures' smallest value (0.05 for the 1.3 m arm) keeps the check
  // equally strict across sizes. base.
  virtual double getMinSingularValue() = 0;
  virtual double getCompliance_sv_max() = 0;
  // Model scale: A scales its base damping ratio with it for models 4 and
  // above; I multiplies the 0.15 bound of its feed-forward inverse by it.
  // 1 for a standard arm.
  virtual double getModelScale() = 0;
  // Time (s) the arm needs to stop from its present joint speeds at the
  // host's deceleration limits. I: a pause ramps the gains to the pause
  // stiffness within that time (at least 25 ms).
  virtual double getCalculateDecTime_w_CurJvel() = 0;  // seconds
  // The robot program's state word. none.
  virtual int getProgramStatus() = 0;
  // Singular-handling mode of the host's motion (3: four-axis handling,
  // with models 7 and 8 A computes its wrench from x, y, z and the rotation
  // about the STCP axis). A, read at Start.
  virtual uint8_t getSingularHandlingStatus() = 0;

  // ---- Modes and set-points -----------------------------------------------
  // What the plug-ins write. The host applies the set-points of its present
  // servo mode and motion space at the next servo tick:
  //   position / joint: setJntPos_d, setJntVel_d;
  //   position / task:  setTCPPose_d, setTCPVel_d (A every cycle: the
  //                     target shifted by the compliance, base frame);
  //   torque:           setJntTrq_d (I every cycle: the whole joint torque,
  //                     gravity included; the host adds nothing). I also
  //                     writes setJntPos_d / setJntVel_d = the measured
  //                     state every cycle so a switch back to position
  //                     servo starts where the arm is.
  // setJntPosInit (A at Start): the joint position the host's interpolator
  // starts from. setCompForceStatus: compliance on while a plug-in runs.
  // setExpTimeStatus: the ramp word (see getExpTimeStatus).
  // setTCPPose_tg (FinControl, when control ends): the motion library's
  // target must hold that pose (the measured one) from now on, so the
  // trajectory does not pull the arm back to where the target was;
  // setTCPVel_tg / setTCPAcc_tg (0) stop the target's motion with it.
  // The scalar overloads set every element to that value.
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
