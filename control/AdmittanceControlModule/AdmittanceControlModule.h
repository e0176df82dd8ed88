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

  // The control period used for the ramps and the integration.
  static constexpr double kPeriod = 0.001;
  // A posture whose smallest singular value (read at Start) is at or below
  // this bound gets no external wrench estimate.
  static constexpr double kSingularBound = 0.1;
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

  // Start(start record): 0 when control runs. -1 without a host context;
  // -1 after FinControl when a number of the record is NaN or infinite, when
  // the external torque is over its limit, or when the posture or the tool
  // fails the pre-update checks.
  int Start(void* command) override;
  // Stop(stop record): -1 and nothing changed when the record's first byte is
  // 1, or without a host context; otherwise FinControl and 0.
  int Stop(void* command) override;
  // One 1 ms cycle: runs the law, sends pose and velocity, advances the ramp
  // clock. Returns 0. Sends nothing while control is not running (before
  // Start, after FinControl) or while the host is not in task space.
  int DoControl() override;
  // Gain commands 1 (stiffness), 2 (force factor), 3 (damping factor),
  // 4 (force) and 5 (release): 0 when taken, also when the check after it
  // ended control. -1 with nothing changed for any other type, for a record
  // holding NaN or infinity, and while control is not running.
  int UpdateControlGain(void* command) override;
  // Freeze / continue the admittance state; the command is ignored. 0.
  int Pause(void* command) override;
  int Resume(void* command) override;
  // 2 while the host's motion library or a gain ramp runs, else 0 (also
  // without a host context).
  int CheckControlState() override;
  // The admittance law; writes out.pose and out.velocity. Returns 0 when it
  // produced an output, 1 when it left `out` as it was (host not in task
  // space).
  int CustomControlLaw(_ControlOutput& out) override;

  void InitControlParameters();
  // Decodes the start record and applies it. False, with nothing applied,
  // when the record holds NaN or infinity.
  bool GetTarget(void* command);
  void SetComplianceParameters(Vector6 stiffness, Vector6 force, Vector6 forceAxes, double time);
  void SetForceDampingFactors(Vector6 forceFactor, Vector6 dampingFactor, double time);
  void PreProcessStiffnessGain(Vector6& stiffness);
  void PreProcessForceFactor(Vector6& factor);
  void PreProcessDampingFactor(Vector6& factor);
  // The command handlers; false, with nothing changed, for a record holding
  // NaN or infinity.
  bool UpdateTaskComplianceControlGain(void* command);
  bool UpdateTaskForceControl_ForceFactor(void* command);
  bool UpdateTaskForceControl_DampingFactor(void* command);
  bool UpdateTaskForceControlGain(void* command);
  bool SetReleaseDesiredForce(void* command);

  // Base damping ratio of a robot model.
  double UpdateModelDamping(int model, double scale);
  // Virtual joint masses from the model's table, the payload and the joint
  // inertia; fills m_virtualMass (through `mass`) and m_virtualMassMatrix.
  void UpdateModelParameter(int model, Vector6& baseMass, double& payloadTerm, double payload,
                            Vector6& mass, const Matrix6& jointInertia, const Vector6& inertiaNorm);

  bool IsRunning() const { return m_running; }

 protected:
  // Ramped gains: current, start and end value of each.
  Vector6 m_stiffness, m_stiffnessFrom, m_stiffnessTo;
  Vector6 m_dampingStiffness, m_dampingStiffnessFrom, m_dampingStiffnessTo;
  Vector6 m_forceRef, m_forceFrom, m_forceTarget;
  Vector6 m_forceFactor, m_forceFactorFrom, m_forceFactorTo;
  Vector6 m_dampingFactor, m_dampingFactorFrom, m_dampingFactorTo;

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
  double m_minSingularValue;

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

  // Whether the ramps' current values have been computed since Start (a
  // command may then restart a ramp from where it stands).
  bool m_haveCurrent;
  // Whether control runs: set by a successful Start, cleared by FinControl.
  bool m_running;

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
  // True between the first and the last cycle of a gain ramp.
  bool RampInProgress() const;
  // setRefCoord from the host's motion command frame.
  void RefreshReferenceCoordinate();
  // The pre-update checks; on failure they have run FinControl.
  void CheckAfterUpdate();
  void EndControl();

  Eigen::EigenSolver<Matrix6> m_eigenSolver;
};
