// The impedance control plug-in: makes the tool centre point behave like a
// spring-damper about the motion library's target pose, per axis in the
// compliance frame, presses with a commanded force on chosen axes and holds
// the arm where it comes to rest while paused. Commands joint torques.
#pragma once

#include <Eigen/Dense>
#include <cstdint>

#include "ControlModule.h"
#include "ImpedanceLaw.h"

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

  // The lifecycle is ControlModule's; gain commands taken: stiffness (1),
  // force (4) and release (5). Pause ramps to the pause stiffness with no
  // force and holds the arm where it comes to rest; Resume returns to the
  // gains saved by Pause (and to any gain command taken while paused).
  //
  // The adapter: reads the host once into a snapshot, runs ImpedanceLaw and
  // hands its torque to the host. Always returns 0.
  int CustomControlLaw(_ControlOutput& output) override;

  void PreProcessStiffnessGain(Vector6& stiffness) override;
  void SetComplianceParameters(Vector6 stiffness, Vector6 force, Vector6 direction, double time);

 protected:
  void InitControl() override;
  SERVO_MODE ControlServoMode() const override { return SERVO_TORQUE; }
  // Sets new ramp targets, or, while paused, keeps them for Resume.
  void ApplyComplianceTargets(const Vector6& stiffness, const Vector6& force,
                              const Vector6& direction, double time) override;
  void PauseLaw(double decelerationTime) override;
  void ResumeLaw() override;

  // Ramped force besides the stiffness (compliance frame).
  GainRamp m_forceRamp;
  Vector6 m_forceDirection;
  Vector6 m_savedStiffness;
  Vector6 m_savedForce;
  Vector6 m_savedDirection;
  Vector6 m_stiffnessMax;
  Vector6 m_pauseStiffness;
  double m_pauseTime;
  Vector6 m_dampingMax;
  Matrix6 m_frameRotation;
  bool m_paused;
  double m_dampingScale;
  ImpedanceLaw::State m_lawState;
  HostSnapshot m_snapshot;
  ImpedanceLaw::Params m_lawParams;

 private:
  void SetIdleValues();
};
