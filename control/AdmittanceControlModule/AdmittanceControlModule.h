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

  // Largest speed of the compliance motion about the target (m/s, rad/s):
  // the pose set-point moves at most 0.5 mm and 1 mrad per cycle away from
  // the motion library's own target motion.
  static constexpr double kMaxComplianceSpeed = AdmittanceLaw::kMaxComplianceSpeed;
  static constexpr double kMaxComplianceAngularSpeed = AdmittanceLaw::kMaxComplianceAngularSpeed;
  // Lower bounds of the stiffness the damping is designed for.
  static constexpr double kDampingStiffnessMinTrans = 529.0;
  static constexpr double kDampingStiffnessMinRot = 52.9;
  // Rotational offsets below 1e-6 degree leave the orientation untouched.
  static constexpr double kMinRotationAngle = AdmittanceLaw::kMinRotationAngle;
  // Reciprocal condition number below which the modal damping design is
  // replaced by the per-axis design (see UpdateDamping).
  static constexpr double kMinEigenvectorRcond = AdmittanceLaw::kMinEigenvectorRcond;
  // Share of the explicit integration step's stability bound the gains may
  // use before the step is taken implicitly (see AdmittanceAcceleration).
  static constexpr double kExplicitStepMargin = AdmittanceLaw::kExplicitStepMargin;

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

  // The law's state, and names for its parts.
  AdmittanceLaw::State m_lawState;
  Vector6& m_admAcc = m_lawState.admAcc;
  Vector6& m_admVel = m_lawState.admVel;
  Vector6& m_admDisp = m_lawState.admDisp;
  Vector6& m_releasedOffset = m_lawState.releasedOffset;
  Vector6& m_releasedStep = m_lawState.releasedStep;
  Vector6& m_extTorque = m_lawState.extTorque;
  Vector6& m_extTorqueNet = m_lawState.extTorqueNet;
  Vector6& m_extWrench = m_lawState.extWrench;
  Vector6& m_forceRefBase = m_lawState.forceRefBase;
  Matrix6& m_stiffnessMatrix = m_lawState.stiffnessMatrix;
  Vector6& m_virtualMass = m_lawState.virtualMass;
  Matrix6& m_virtualMassMatrix = m_lawState.virtualMassMatrix;
  Vector6& m_dampingRatio = m_lawState.dampingRatio;
  Vector6& m_taskMass = m_lawState.taskMass;
  Matrix6& m_taskMassBase = m_lawState.taskMassBase;
  Matrix6& m_taskMassInvBase = m_lawState.taskMassInvBase;
  Matrix6& m_dampingMatrix = m_lawState.dampingMatrix;
  long& m_dampingFallbacks = m_lawState.dampingFallbacks;
  bool& m_implicitStep = m_lawState.implicitStep;
  long& m_implicitSteps = m_lawState.implicitSteps;
  AdmittanceLaw::Params m_lawParams;
  HostSnapshot m_snapshot;

  // M, M^-1 and M_b, M_b^-1 from the virtual joint masses.
  void UpdateTaskMass(const Matrix6& J);
  // D from the modal decomposition of M_b^-1 K_dm.
  void UpdateDamping(const Matrix6& dampingStiffnessBase, const Vector6& dampingStiffness);
  // The law's parameters from the module's ramps and settings.
  void UpdateLawParams();

 private:
  void SetIdleValues();
};
