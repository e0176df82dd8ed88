// The admittance control plug-in: makes the tool centre point behave like a
// mass-spring-damper about the motion library's target pose. The external
// wrench, estimated from the joint torques, drives a virtual second-order
// system whose displacement is added to the target pose (position servo,
// task space); on selected axes the spring gives way to a commanded contact
// force. The virtual mass and the damping are derived from the arm every
// cycle, and every gain change is a linear ramp.
#pragma once

#include <Eigen/Dense>

#include "ControlModule.h"

class AdmittanceControlModule : public ControlModule {
 public:
  EIGEN_MAKE_ALIGNED_OPERATOR_NEW

  using Vector6 = Eigen::Matrix<double, 6, 1>;
  using Matrix6 = Eigen::Matrix<double, 6, 6>;

  // Largest speed of the compliance motion about the target (m/s, rad/s):
  // the pose set-point moves at most 0.5 mm and 1 mrad per cycle away from
  // the motion library's own target motion.
  static constexpr double kMaxComplianceSpeed = 0.5;
  static constexpr double kMaxComplianceAngularSpeed = 1.0;
  // Lower bounds of the stiffness the damping is designed for.
  static constexpr double kDampingStiffnessMinTrans = 529.0;
  static constexpr double kDampingStiffnessMinRot = 52.9;
  // Rotational offsets below 1e-6 degree leave the orientation untouched.
  static constexpr double kMinRotationAngle = 1.7453292519943295e-08;
  // Reciprocal condition number below which the modal damping design is
  // replaced by the per-axis design (see UpdateDamping).
  static constexpr double kMinEigenvectorRcond = 1e-9;
  // Share of the explicit integration step's stability bound the gains may
  // use before the step is taken implicitly (see AdmittanceAcceleration).
  static constexpr double kExplicitStepMargin = 0.9;

  // Only the base is constructed against the host; every parameter takes an
  // idle value so nothing is read uninitialised, and Start sets them again.
  explicit AdmittanceControlModule(long id, RobotControlContext* context = nullptr);
  ~AdmittanceControlModule() override = default;

  // The lifecycle is ControlModule's; gain commands taken: stiffness (1),
  // force factor (2), damping factor (3), force (4) and release (5). Pause
  // freezes the admittance state, Resume lets it move again.
  //
  // The admittance law; writes out.pose and out.velocity. Returns 0 when it
  // produced an output, 1 when it left `out` as it was (host not in task
  // space), so nothing is sent that cycle.
  int CustomControlLaw(_ControlOutput& out) override;

  void SetComplianceParameters(Vector6 stiffness, Vector6 force, Vector6 forceAxes, double time);
  void SetForceDampingFactors(Vector6 forceFactor, Vector6 dampingFactor, double time);
  void PreProcessStiffnessGain(Vector6& stiffness);
  void PreProcessForceFactor(Vector6& factor);
  void PreProcessDampingFactor(Vector6& factor);

  // Base damping ratio of a robot model.
  double UpdateModelDamping(int model, double scale);
  // Virtual joint masses from the model's table, the payload and the joint
  // inertia; fills m_virtualMass (through `mass`) and m_virtualMassMatrix.
  void UpdateModelParameter(int model, Vector6& baseMass, double& payloadTerm, double payload,
                            Vector6& mass, const Matrix6& jointInertia, const Vector6& inertiaNorm);

 protected:
  void InitControl() override;
  SERVO_MODE ControlServoMode() const override { return SERVO_POSITION; }
  void ApplyStart(const Vector6& stiffness, const Vector6& force, double time) override;
  bool TakesCommand(int type) const override;
  void ApplyGainCommand(const GainCommand& command) override;
  void PauseLaw(double decelerationTime) override;
  void ResumeLaw() override;

  // Ramped gains. The force reference is the negated commanded force
  // (compliance frame), the form the wrench error uses.
  GainRamp m_stiffnessRamp, m_dampingStiffnessRamp, m_forceRefRamp;
  GainRamp m_forceFactorRamp, m_dampingFactorRamp;
  Vector6 m_forceTarget;

  Vector6 m_forceAxes;
  Vector6 m_cmdStiffness, m_cmdForce, m_cmdForceAxes;
  double m_cmdTime;
  bool m_relativeForce;
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

  // Admittance state (base frame) and the wrench estimate.
  Vector6 m_admAcc, m_admVel, m_admDisp;
  Vector6 m_releasedOffset, m_releasedStep;
  Vector6 m_extTorque, m_extTorqueNet, m_extWrench;
  Vector6 m_forceRefBase;
  Matrix6 m_stiffnessMatrix;
  Mota::TaskVelocity m_cmdVel;

  // Virtual inertia and damping model.
  Vector6 m_virtualMass;
  Matrix6 m_virtualMassMatrix;
  Vector6 m_dampingRatio;
  Vector6 m_taskMass;         // diagonal task mass M in the reference frame
  Matrix6 m_taskMassBase;     // M_b = R M R^T
  Matrix6 m_taskMassInvBase;  // M_b^-1
  Matrix6 m_dampingMatrix;    // D
  // Cycles in which the modal damping design fell back to the per-axis one.
  long m_dampingFallbacks;

  // Whether this cycle's step was taken implicitly, and how many were.
  bool m_implicitStep;
  long m_implicitSteps;

  // The wrench error J+^T (tau_ext - tau_ref) of this cycle (base frame).
  Vector6 EstimateWrenchError(const Matrix6& J);
  // M, M^-1 and M_b, M_b^-1 from the virtual joint masses.
  void UpdateTaskMass(const Matrix6& J);
  // D from the modal decomposition of M_b^-1 K_dm.
  void UpdateDamping(const Matrix6& dampingStiffnessBase, const Vector6& dampingStiffness);
  // The admittance acceleration M_b^-1 (F_err - D v - K x) of this cycle.
  Vector6 AdmittanceAcceleration(const Vector6& wrenchError);

 private:
  void SetIdleValues();

  Eigen::EigenSolver<Matrix6> m_eigenSolver;
};
