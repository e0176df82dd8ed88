// ControlModule: the abstract base of every control plug-in. It holds the
// module's identity, the host context, the cycle's output record and the
// gain-ramp clock, and gives derived modules the shared steps: output by
// servo mode, gain ramps, safety checks, the return to a safe host state,
// frame conversions, error vectors and command-record decoding.
//
// Plug-in export contract
// -----------------------
// A plug-in library exports exactly one function, with C linkage:
//
//     extern "C" ControlModule* create(long id);
//
// It allocates the derived module with `new`, constructed with the id and a
// null context, and returns it; the host then calls SetRobotControlContext
// before Start and deletes the module through the virtual destructor.
// Write it with the macro, once, in one source file of the plug-in:
//
//     CONTROL_MODULE_CREATE(AdmittanceControlModule)
//
// which requires a constructor Derived(long id, RobotControlContext* ctx).
// Build the library with add_control_plugin() (control/CMakeLists.txt): it
// hides every other symbol.
#pragma once

#include <cstdint>

#include "ComplianceCommands.h"
#include "Mota.h"
#include "RobotControlContext.h"

// The output of one control cycle; SetOutput sends the part that matches the
// host's servo mode and motion space.
struct _ControlOutput {
  _ControlOutput()
      : acceleration(Eigen::Vector6d::Zero()),
        jointPosition(Eigen::Vector6d::Zero()),
        jointVelocity(Eigen::Vector6d::Zero()),
        jointTorque(Eigen::Vector6d::Zero()) {
    velocity.vector.setZero();
  }

  Mota::TaskPosition pose;        // position servo, task space
  Mota::TaskVelocity velocity;    // position servo, task space
  Eigen::Vector6d acceleration;   // not sent
  Eigen::Vector6d jointPosition;  // rad; position servo, joint space
  Eigen::Vector6d jointVelocity;  // rad/s; position servo, joint space
  Eigen::Vector6d jointTorque;    // Nm; torque servo
};

class ControlModule {
 public:
  // The control period the ramp clock assumes for every DoControl.
  static constexpr double kCyclePeriod = 0.001;

  ControlModule(long id, RobotControlContext* context);
  virtual ~ControlModule() = default;

  // The operations the host drives; all return 0 on success.
  virtual int Start(void* command) = 0;
  virtual int Stop(void* command) = 0;
  virtual int DoControl() = 0;
  virtual int UpdateControlGain(void* command) = 0;
  virtual int Pause(void* command) = 0;
  virtual int Resume(void* command) = 0;
  // 2 while a motion or a gain ramp is running, else 0.
  virtual int CheckControlState() = 0;
  virtual int CustomControlLaw(_ControlOutput& output) = 0;

  long GetControlModuleID() const { return m_id; }
  RobotControlContext* GetRobotControlContext() const { return m_context; }
  void SetRobotControlContext(RobotControlContext* context) { m_context = context; }

  // setServoMode, then setMotionSpace.
  void SetControlMode(SERVO_MODE mode, MOTION_SPACE space);
  // Writes the set-points that match the host's servo mode and motion space:
  // position/joint: joint position then velocity; position/task: pose then
  // velocity; torque/either: joint torque; any other pair: nothing.
  void SetOutput(_ControlOutput output);
  // out = start + (target - start) * m_gainElapsed / m_gainTime, or target
  // once m_gainElapsed exceeds m_gainTime; reports the ramp state to the
  // host (EXPTIME_RUNNING / EXPTIME_DONE). Raises m_gainTime to 0.001.
  void InterpolateControlGain(Eigen::Vector6d& out, Eigen::Vector6d target, Eigen::Vector6d start);
  // offset = the force present now (sensor wrench when a sensor is fitted,
  // else the filtered external joint torque) when relative, else zero.
  void SetRelativeMode(bool relative, Eigen::Vector6d& offset);
  void SetCompForceStatus(COMPFORCE_STATUS status);

  // Hands the host a quiet state: set-points equal to the measured state,
  // gravity torque as the torque set-point.
  void ResetControlVariables();
  // The common exit: ResetControlVariables, position servo in joint space,
  // compliance off.
  void FinControl();

  // 1 when no joint's external torque exceeds the limit, else -1.
  int CheckTorqueExtMonitoring();
  // True when the external torque is over the limit and monitoring is armed.
  bool CheckExternalTorque();
  // True (error 3403 raised, control ended) when the posture is too close to
  // a singularity and monitoring is armed.
  bool CheckComplianceSingularity();
  // True (error 1104 raised, control ended) when the tool is longer than
  // `limit` metres.
  bool CheckTCPLength(double limit);
  // The singularity check, then (only if it passed) the 0.3 m tool check.
  bool CheckStatusBeforeUpdate();

  // Frames and error vectors.
  void UpdateCoordRot(Eigen::Matrix6d& rotation, REF_COORD_MODE mode);
  void ChangeCoordinate(_REF_COORD coord, const Eigen::Vector6d& in, Eigen::Vector6d& out);
  void ChangeCoordinate(_REF_COORD coord, const Eigen::Vector6d& diagonal, Eigen::Matrix6d& out);
  void Base2UserCoordinate(_REF_COORD coord, const Mota::TaskVelocity& in, Mota::TaskVelocity& out);
  void User2BaseCoordniate(_REF_COORD coord, const Mota::TaskVelocity& in, Mota::TaskVelocity& out);
  // Position difference a - b and the rotation vector (base frame) that
  // turns b's orientation into a's.
  Eigen::Vector6d CalPoseError(const Mota::TaskPosition& a, const Mota::TaskPosition& b);
  Eigen::Vector6d CalVelError(const Mota::TaskVelocity& a, const Mota::TaskVelocity& b);
  static Eigen::Matrix6d DiagonalVectoMat6D(const Eigen::Vector6d& d);

  // Command records (see ComplianceCommands.h for the layouts). The record
  // is only read. A null record reads as type 0 / stop flag clear and leaves
  // every output unchanged; a NaN or infinite float leaves its output
  // element (or time) unchanged, so it never becomes a set-point.
  static int CheckCommandType(const void* record);
  static void GetStartComplianceControlEvent(const void* record, Eigen::Vector6d& stiffness,
                                             Eigen::Vector6d& force, double& time);
  static void GetTargetStiffness(const void* record, Eigen::Vector6d& stiffness, double& time);
  static void GetTargetForce(const void* record, Eigen::Vector6d& force, Eigen::Vector6d& direction,
                             double& time, bool& relative);
  static void GetReleaseForce(const void* record, Eigen::Vector6d& stiffness,
                              Eigen::Vector6d& force, Eigen::Vector6d& direction, double& time);
  static void GetTargetForceFactor(const void* record, Eigen::Vector6d& factors, double& time);
  static void GetTargetDampingFactor(const void* record, Eigen::Vector6d& factors, double& time);
  static bool GetStopComplianceControlEvent(const void* record);

  static void ChangeIndexTransOri(Eigen::Vector6d& out, const float (&in)[6], bool absolute);
  static void ChangeIndexTransOri(float (&out)[6], const Eigen::Vector6d& in, bool absolute);
  static void ChangeIndexTransOri(Eigen::Vector6d& out, const unsigned char (&in)[6],
                                  bool absolute);
  // Truncates toward zero; NaN becomes 0 and values beyond the int32 range
  // saturate.
  static void ChangeIndexTransOri(int (&out)[6], const Eigen::Vector6d& in, bool absolute);

  // Each flag becomes 1.0 when |d| > 0.5, else 0.0; error 9401 when none is
  // set.
  void CheckForceDirection(Eigen::Vector6d& direction);

 protected:
  double m_gainTime = 0.0;
  double m_gainElapsed = 0.0;
  _ControlOutput m_output;
  Eigen::Vector6d m_forceOffset = Eigen::Vector6d::Zero();
  int32_t m_id;
  RobotControlContext* m_context;

 private:
  Eigen::Matrix3d FrameRotation(int type, int userIndex);
};

#define CONTROL_MODULE_CREATE(ModuleClass)                                           \
  extern "C" __attribute__((visibility("default"))) ControlModule* create(long id) { \
    return new ModuleClass(id, static_cast<RobotControlContext*>(nullptr));          \
  }
