// The impedance control plug-in: makes the tool centre point behave like a
// spring-damper about the motion library's target pose, per axis in the
// compliance frame, presses with a commanded force on chosen axes and holds
// the arm where it comes to rest while paused. Commands joint torques.
#pragma once

#include <Eigen/Dense>
#include <cstdint>

#include "ControlModule.h"

class ImpedanceControlModule : public ControlModule {
 public:
  EIGEN_MAKE_ALIGNED_OPERATOR_NEW

  using Vector6 = Eigen::Vector6d;
  using Matrix6 = Eigen::Matrix6d;

  // Only the base is constructed against the host; the parameters take
  // their idle values here so that nothing is read uninitialised before
  // Start, and Start sets them again from the host.
  explicit ImpedanceControlModule(long id, RobotControlContext* context = nullptr);
  ~ImpedanceControlModule() override = default;

  // Start(start record): 0 when control runs; -1 after FinControl when the
  // external torque or the pre-update checks fail, when a value of the record
  // is NaN or infinite, or without a host context.
  int Start(void* command) override;
  // Stop(stop record): -1 and nothing changed when the record's first byte is
  // 1 (or without a host context); otherwise FinControl and 0.
  int Stop(void* command) override;
  // One 1 ms cycle: runs the law, sends the torque, advances the ramp clock.
  // Returns 0; -1 and nothing sent while control is not running.
  int DoControl() override;
  // Gain commands (stiffness 1, force 4, release 5): 0 when taken (also when
  // the check after it ended control); -1 and nothing changed for any other
  // type, for NaN or infinite values, or while control is not running.
  int UpdateControlGain(void* command) override;
  // Pause ramps to the pause stiffness with no force and holds the arm where
  // it comes to rest; Resume returns to the gains saved by Pause (and to any
  // gain command taken while paused). 0, or -1 while control is not running.
  int Pause(void* command) override;
  int Resume(void* command) override;
  // 2 while the host's motion library or the gain ramp is still running, 0
  // otherwise (also without a host context).
  int CheckControlState() override;
  int CustomControlLaw(_ControlOutput& output) override;

  void InitControlParameters();
  void PreProcessStiffnessGain(Vector6& stiffness);
  void SetComplianceParameters(Vector6 stiffness, Vector6 force, Vector6 direction, double time);
  // The decoding steps return false, with nothing changed, when the record
  // holds a value that is NaN or infinite.
  bool GetTarget(void* command);
  bool UpdateTaskComplianceControlGain(void* command);
  bool UpdateTaskForceControlGain(void* command);
  bool SetReleaseDesiredForce(void* command);
  void SetPause(double time);
  void SetResume();

  bool IsRunning() const { return m_running; }

 protected:
  Vector6 m_stiffnessTarget;
  Vector6 m_forceTarget;
  Vector6 m_forceDirection;
  Vector6 m_commandDirection;
  Vector6 m_savedStiffness;
  Vector6 m_savedForce;
  Vector6 m_savedDirection;
  Vector6 m_commandStiffness;
  Vector6 m_commandForce;
  double m_commandTime;
  Vector6 m_stiffnessMax;
  Vector6 m_pauseStiffness;
  double m_pauseTime;
  int32_t m_settleCount;
  Vector6 m_dampingMax;
  Vector6 m_stiffnessStart;
  Vector6 m_forceStart;
  Vector6 m_previousDirection;
  Vector6 m_stiffness;
  Vector6 m_force;
  Matrix6 m_frameRotation;
  bool m_relative;
  bool m_paused;
  bool m_pauseSettled;
  double m_dampingScale;
  Vector6 m_errorOffset;
  Vector6 m_pauseErrorOffset;

  // Not part of the law: whether control runs (between a successful Start
  // and FinControl), and the last torque handed to the host, the fallback
  // when a cycle's torque is not finite and gravity is not either.
  bool m_running;
  Vector6 m_lastTorque;

 private:
  void SetIdleValues();
  // Sets new ramp targets, or, while paused, keeps them for Resume.
  void ApplyParameters(const Vector6& stiffness, const Vector6& force, const Vector6& direction,
                       double time);
  // setRefCoord and the checks after every gain command; ends control when
  // a check fails.
  void FinishGainUpdate();
  void EndControl();
};
