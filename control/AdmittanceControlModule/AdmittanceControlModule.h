// The admittance control plug-in: makes the tool centre point behave like a
// mass-spring-damper about the motion library's target pose. The external
// wrench, estimated from the joint torques, drives a virtual second-order
// system whose displacement is added to the target pose (position servo,
// task space); on selected axes the spring gives way to a commanded contact
// force. The virtual mass and the damping are derived from the arm every
// cycle, and every gain change is a linear ramp.
#pragma once

#include <Eigen/Dense>

#include "AdmittanceLaw.h"
#include "ControlModule.h"

class AdmittanceControlModule : public ControlModule {
 public:
  EIGEN_MAKE_ALIGNED_OPERATOR_NEW

  using Vector6 = Eigen::Matrix<double, 6, 1>;
  using Matrix6 = Eigen::Matrix<double, 6, 6>;

  // Lower bounds of the stiffness the damping is designed for.
  static constexpr double kDampingStiffnessMinTrans = 529.0;
  static constexpr double kDampingStiffnessMinRot = 52.9;

  // Only the base is constructed against the host; every parameter takes an
  // idle value so nothing is read uninitialised, and Start sets them again.
  explicit AdmittanceControlModule(long id, RobotControlContext* context = nullptr);
  ~AdmittanceControlModule() override = default;

  // The lifecycle is ControlModule's; gain commands taken: stiffness (1),
  // force factor (2), damping factor (3), force (4) and release (5). Pause
  // freezes the admittance state, Resume lets it move again.
  //
  // The adapter: reads the host once into a snapshot, runs AdmittanceLaw and
  // writes out.pose and out.velocity. Returns 0 when it produced an output,
  // 1 when it left `out` as it was (host not in task space), so nothing is
  // sent that cycle.
  int CustomControlLaw(_ControlOutput& out) override;

  void SetComplianceParameters(Vector6 stiffness, Vector6 force, Vector6 forceAxes, double time);
  void SetForceDampingFactors(Vector6 forceFactor, Vector6 dampingFactor, double time);
  void PreProcessStiffnessGain(Vector6& stiffness) override;
  void PreProcessForceFactor(Vector6& factor);
  void PreProcessDampingFactor(Vector6& factor);

 protected:
  void InitControl() override;
  bool TakesCommand(int type) const override;
  // The factor commands (2, 3); the others as every plug-in takes them.
  void ApplyGainCommand(const GainCommand& command) override;
  void ApplyComplianceTargets(const Vector6& stiffness, const Vector6& force,
                              const Vector6& direction, double time) override;
  void PauseLaw(double decelerationTime) override;
  void ResumeLaw() override;

  // Ramped gains besides the stiffness. The force reference is the negated
  // commanded force (compliance frame), the form the wrench error uses.
  GainRamp m_dampingStiffnessRamp, m_forceRefRamp;
  GainRamp m_forceFactorRamp, m_dampingFactorRamp;
  Vector6 m_forceTarget;

  Vector6 m_forceAxes;
  double m_stiffnessDeadband;
  Vector6 m_stiffnessMax;
  // (trans, rot) limits of the two factors.
  Eigen::Vector2d m_forceFactorMin, m_forceFactorMax;
  Eigen::Vector2d m_dampingFactorMin, m_dampingFactorMax;
  bool m_isPaused;
  Matrix6 m_coordRot;
  int m_model;
  double m_modelScale;
  uint8_t m_singularHandling;

  AdmittanceLaw::State m_lawState;
  AdmittanceLaw::Params m_lawParams;
  HostSnapshot m_snapshot;

  // The law's parameters from the module's ramps and settings.
  void UpdateLawParams();

 private:
  void SetIdleValues();
};
