// ControlModule: the abstract base of every control plug-in. It holds the
// module's identity, the host context, the cycle's output record, the
// commanded gains and the gain-ramp clock, and runs the one lifecycle every
// plug-in shares (docs/control.md tables it).
//
// Writing a plug-in
// -----------------
// A plug-in derives from ControlModule and writes only hooks and a law; it
// overrides none of the public operations, so every guard, limit and check
// of the lifecycle applies to it. The hooks, in the order the host's calls
// reach them:
//
//   Start(record)     InitControl()               reset the law from the host
//                     ControlServoMode()          the servo mode to drive
//                     ApplyStart(K, F, T)         default: K through
//                                                 PreProcessStiffnessGain, taken at
//                                                 once; ApplyComplianceTargets(K, F,
//                                                 no force axis, T)
//   DoControl()       CustomControlLaw(output)    the law, once per 1 ms cycle
//   UpdateControlGain TakesCommand(type)          default: stiffness, force, release
//                     ApplyGainCommand(command)   default: updates the commanded
//                                                 gains, then ApplyComplianceTargets
//   Pause / Resume    PauseLaw(decTime) / ResumeLaw()
//
// The first CustomControlLaw call comes in the first DoControl after a
// successful Start: the host is in the hook's servo mode (task space),
// compliance on, the ramps at the start of the start record's ramp. The law
// fills the part of `output` its servo mode sends and returns 0; any other
// result sends nothing that cycle. Control ends with Stop, a failed check
// after a gain command, or a failed Start; after that no hook runs until the
// next Start. A refused record (-1) reaches no hook.
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
#include "ControlConstants.h"
#include "Frames.h"
#include "GainRamp.h"
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

// A gain command decoded from its record, in the units of the record (N,
// Nm, N/m, Nm/rad, factors; seconds), ordered x, y, z, rx, ry, rz in the
// compliance frame.
struct GainCommand {
  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
  int type = 0;                                         // COMPLIANCE_COMMAND_TYPE
  Eigen::Vector6d values = Eigen::Vector6d::Zero();     // stiffness, force or factors
  Eigen::Vector6d direction = Eigen::Vector6d::Zero();  // CMD_FORCE: 1 on force axes
  double time = 0.0;                                    // ramp time as given
  bool relative = false;                                // CMD_FORCE: relative offset added
};

class ControlModule {
 public:
  // The control period the ramp clock assumes for every DoControl.
  static constexpr double kCyclePeriod = control::kCyclePeriod;
  // The shortest gain ramp; shorter or non-finite ramp times are raised to it.
  static constexpr double kMinRampTime = 0.001;
  // A selection entry (force direction, flag) counts as set above this.
  static constexpr double kSetThreshold = control::kSetThreshold;
  // The largest commanded force (N, each of x, y, z) and moment (Nm, each of
  // rx, ry, rz), after a relative offset is added. Start and force records
  // beyond them are refused.
  static constexpr double kMaxCommandForce = control::kMaxCommandForce;
  static constexpr double kMaxCommandMoment = control::kMaxCommandMoment;

  ControlModule(long id, RobotControlContext* context);
  virtual ~ControlModule() = default;

  // The operations the host drives, one lifecycle for every plug-in (the
  // rules are tabled in docs/control.md). All return 0 on success.
  //
  // Start(start record): 0 when control runs. -1 without a context or a
  // record, with nothing written to the host. -1 after ending control once
  // (FinControl) when a number of the record is not finite, when a force or
  // moment of the record is beyond the command maximum, when the external
  // torque is over its limit, or when the posture or the tool fails the
  // pre-update checks (their error raised).
  virtual int Start(void* command);
  // Stop(stop record): -1 and nothing changed when the record's first byte
  // is 1, or without a context. Otherwise ends control (FinControl once,
  // nothing when control has already ended) and returns 0; a null record
  // stops too.
  virtual int Stop(void* command);
  // One cycle: writes the ramp status to the host, runs CustomControlLaw,
  // sends its output with SetOutput when the law returned 0 (a non-zero
  // result sends nothing this cycle), advances the ramp clock by one period.
  // -1 and nothing sent or read while control is not running.
  virtual int DoControl();
  // Gain command (record type at offset 0): 0 when taken, also when the
  // check after it ended control. -1 with nothing changed while control is
  // not running, for a null record, a type the plug-in does not take, a
  // record holding NaN or infinity, a force or moment beyond the command
  // maximum, or a relative offset that cannot be measured.
  virtual int UpdateControlGain(void* command);
  // Pause / Resume the plug-in's law (the record is not read). 0, also
  // outside Start..Stop (then without effect).
  virtual int Pause(void* command);
  virtual int Resume(void* command);
  // 2 while the host's motion library runs or, while control runs, a gain
  // ramp runs; else 0 (also without a context).
  virtual int CheckControlState();
  virtual int CustomControlLaw(_ControlOutput& output) = 0;

  long GetControlModuleID() const { return m_id; }
  RobotControlContext* GetRobotControlContext() const { return m_context; }
  void SetRobotControlContext(RobotControlContext* context) { m_context = context; }
  // True between a successful Start and the end of control.
  bool IsRunning() const { return m_running; }

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
  // offset = the force present now, as a commanded force: the force the
  // tool exerts on the environment (minus the sensed wrench), in the
  // compliance frame, N and Nm. The sensed wrench is the sensor's when one
  // is fitted, else the filtered external joint torque mapped through the
  // damped inverse Jacobian. Zero when not relative.
  void SetRelativeMode(bool relative, Eigen::Vector6d& offset);
  void SetCompForceStatus(COMPFORCE_STATUS status);

  // Hands the host a quiet state: set-points equal to the measured state,
  // gravity torque as the torque set-point.
  void ResetControlVariables();
  // The common exit: ResetControlVariables, position servo in joint space,
  // compliance off, ramp status done. Control is no longer running.
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
  static Eigen::Vector6d CalPoseError(const Mota::TaskPosition& a, const Mota::TaskPosition& b) {
    return control::PoseError(a, b);
  }
  static Eigen::Vector6d CalVelError(const Mota::TaskVelocity& a, const Mota::TaskVelocity& b) {
    return control::VelocityError(a, b);
  }
  static Eigen::Matrix6d DiagonalVectoMat6D(const Eigen::Vector6d& d) {
    return control::DiagonalMatrix(d);
  }

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

  // True when every force (x, y, z) and moment (rx, ry, rz) of `wrench` is
  // finite and within the command maximum.
  static bool WithinCommandLimits(const Eigen::Vector6d& wrench);

 protected:
  // Hooks of a plug-in, called by the lifecycle above with a context set:
  // InitControl, ControlServoMode and ApplyStart (with the two hooks the
  // default ApplyStart calls) by Start, the others only while control runs.
  // Resets the law's state from the host before a Start.
  virtual void InitControl() {}
  // The servo mode the law drives (Start switches the host to it, in task
  // space).
  virtual SERVO_MODE ControlServoMode() const { return SERVO_POSITION; }
  // Applies the decoded start record (finite, forces within limits).
  virtual void ApplyStart(const Eigen::Vector6d& stiffness, const Eigen::Vector6d& force,
                          double time);
  // Whether the plug-in takes gain commands of `type`.
  virtual bool TakesCommand(int type) const;
  // Applies a decoded, checked gain command; a force command arrives with
  // its directions normalised and its relative offset already added.
  virtual void ApplyGainCommand(const GainCommand& command);
  // Pause with the host's deceleration time (s, as the host gives it), and
  // Resume; called only while control runs.
  virtual void PauseLaw(double /*decelerationTime*/) {}
  virtual void ResumeLaw() {}
  // Folds and caps a commanded stiffness in place (N/m, Nm/rad).
  virtual void PreProcessStiffnessGain(Eigen::Vector6d& /*stiffness*/) {}
  // The new targets of a command: stiffness (0 on force axes), force,
  // force axes (1.0 / 0.0) and ramp time, compliance frame. The ramps start
  // from the values they have reached (RetargetRamp, RestartRamps).
  virtual void ApplyComplianceTargets(const Eigen::Vector6d& /*stiffness*/,
                                      const Eigen::Vector6d& /*force*/,
                                      const Eigen::Vector6d& /*direction*/, double /*time*/) {}

  // The ramp clock: every ramp restarts together with `time` (raised to
  // kMinRampTime; NaN too). The ramp status reads running at once.
  void RestartRamps(double time);
  // How far the ramps have come, 0..1.
  double RampFraction() const;
  // True until the cycle after the ramps reached their targets.
  bool RampRunning() const { return m_gainElapsed <= m_gainTime; }
  // The value a ramp reaches this cycle.
  void AdvanceRamp(GainRamp& ramp) const { ramp.Advance(RampFraction()); }
  // A ramp towards `target` from the value reached now.
  void RetargetRamp(GainRamp& ramp, const Eigen::Vector6d& target) const {
    ramp.Retarget(target, RampFraction());
  }
  // Ends control once: FinControl unless control has ended already.
  void EndControl();

  double m_gainTime = kMinRampTime;
  double m_gainElapsed = 2 * kMinRampTime;
  _ControlOutput m_output;
  Eigen::Vector6d m_forceOffset = Eigen::Vector6d::Zero();
  int32_t m_id;
  RobotControlContext* m_context;
  // Control runs (between a successful Start and the end of control).
  bool m_running = false;
  // The host is switched to the module (from Start's mode switch until
  // FinControl); ending control resets the host only then.
  bool m_engaged = false;
  // Declared after the members above, whose offsets a host built against
  // an earlier base still reads.
  // The gains the commands asked for (compliance frame): the stiffness
  // after PreProcessStiffnessGain, the force, its axes and the ramp time.
  // Start clears them; the default ApplyStart and ApplyGainCommand keep them.
  Eigen::Vector6d m_commandStiffness = Eigen::Vector6d::Zero();
  Eigen::Vector6d m_commandForce = Eigen::Vector6d::Zero();
  Eigen::Vector6d m_commandDirection = Eigen::Vector6d::Zero();
  double m_commandTime = 0.0;
  // The stiffness ramp, which the default ApplyStart resets to the command.
  GainRamp m_stiffnessRamp;

  // Rotation of a reference frame (tool, world or user `userIndex`).
  Eigen::Matrix3d FrameRotation(int type, int userIndex);
  // The same for a gain or vector frame; false for the base frame.
  bool GainFrameRotation(const _REF_COORD& coord, Eigen::Matrix3d& r);

 private:
  // Decodes a start record; false when it holds NaN or infinity.
  static bool DecodeStartRecord(const void* record, Eigen::Vector6d& stiffness,
                                Eigen::Vector6d& force, double& time);
  // Decodes a gain record of `type`; false when it holds NaN or infinity.
  static bool DecodeGainCommand(int type, const void* record, GainCommand& command);
  // setRefCoord from the host's motion command frame, then the pre-update
  // checks (which end control on failure).
  void FinishGainCommand();
};

#define CONTROL_MODULE_CREATE(ModuleClass)                                           \
  extern "C" __attribute__((visibility("default"))) ControlModule* create(long id) { \
    return new ModuleClass(id, static_cast<RobotControlContext*>(nullptr));          \
  }
