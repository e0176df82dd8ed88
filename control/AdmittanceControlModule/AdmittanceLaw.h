// The admittance law: the external wrench, estimated from the joint
// torques, drives a virtual mass-spring-damper whose displacement shifts
// the motion library's target pose. A pure step: one cycle's host
// snapshot, the cycle's gains and the law's own state in, the pose and
// velocity set-point out. No host, no allocation.
#pragma once

#include <Eigen/Dense>
#include <cmath>
#include <cstdint>

#include "FreeFlightGuard.h"
#include "HostSnapshot.h"

struct AdmittanceLaw {
  using Vector6 = Eigen::Matrix<double, 6, 1>;
  using Matrix6 = Eigen::Matrix<double, 6, 6>;

  static constexpr double kMaxComplianceSpeed = 0.5;
  static constexpr double kMaxComplianceAngularSpeed = 1.0;
  static constexpr double kMinRotationAngle = 1.7453292519943295e-08;
  static constexpr double kMinEigenvectorRcond = 1e-9;
  static constexpr double kExplicitStepMargin = 0.9;
  // Smallest virtual joint mass (kg) and largest diagonal task mass the
  // model accepts; outside them the previous cycle's value is kept.
  static constexpr double kMinJointMass = 1e-6;
  static constexpr double kMinInverseTaskInertia = 1e-9;

  struct Params {
    EIGEN_MAKE_ALIGNED_OPERATOR_NEW
    // This cycle's ramped gains (compliance frame): stiffness, force
    // reference (the negated commanded force), the stiffness the damping is
    // designed for, force factor and damping factor; and the stiffness target.
    Vector6 stiffness = Vector6::Zero();
    Vector6 forceRef = Vector6::Zero();
    Vector6 dampingStiffness = Vector6::Zero();
    Vector6 forceFactor = Vector6::Ones();
    Vector6 dampingFactor = Vector6::Ones();
    Vector6 stiffnessTarget = Vector6::Zero();
    Vector6 forceAxes = Vector6::Zero();  // flags of the force axes (> 0.5)
    // Compliance frame to base frame, per 3x3 block.
    Matrix6 coordRot = Matrix6::Identity();
    // Rotation the reference frame's gains and velocities go through; used
    // only when `userFrame` is set (otherwise the frame is the base frame).
    bool userFrame = false;
    Eigen::Matrix3d gainRotation = Eigen::Matrix3d::Identity();
    Eigen::Matrix3d baseToUser = Eigen::Matrix3d::Identity();
    Eigen::Matrix3d userToBase = Eigen::Matrix3d::Identity();
    int model = 0;
    double modelScale = 1.0;
    bool fourAxis = false;  // four-axis arm: x, y, z and rotation about z
    bool forceSensor = false;
    bool paused = false;
  };

  struct State {
    EIGEN_MAKE_ALIGNED_OPERATOR_NEW
    Vector6 admAcc = Vector6::Zero(), admVel = Vector6::Zero(), admDisp = Vector6::Zero();
    Vector6 releasedOffset = Vector6::Zero(), releasedStep = Vector6::Zero();
    Vector6 extTorque = Vector6::Zero(), extTorqueNet = Vector6::Zero();
    Vector6 extWrench = Vector6::Zero();
    Vector6 forceRefBase = Vector6::Zero();
    Matrix6 stiffnessMatrix = Matrix6::Zero();
    Vector6 cmdVel = Vector6::Zero();
    Vector6 virtualMass = Vector6::Constant(5.0);
    Matrix6 virtualMassMatrix = Matrix6::Identity();
    Vector6 dampingRatio = Vector6::Ones();
    Vector6 taskMass = Vector6::Ones();             // diagonal M, reference frame
    Matrix6 taskMassBase = Matrix6::Identity();     // M_b = R M R^T
    Matrix6 taskMassInvBase = Matrix6::Identity();  // M_b^-1
    Matrix6 dampingMatrix = Matrix6::Zero();        // D
    long dampingFallbacks = 0;                      // cycles the modal damping design fell back
    bool implicitStep = false;
    long implicitSteps = 0;
    FreeFlightGuard freeFlight;               // force axes out of contact
    Eigen::EigenSolver<Matrix6> eigenSolver;  // workspace
  };

  struct Output {
    EIGEN_MAKE_ALIGNED_OPERATOR_NEW
    // 1: no output this cycle (host not in task space); 0 otherwise.
    int result = 1;
    // Whether position, rotation and velocity hold a set-point to send; a
    // target the host cannot give keeps the last output.
    bool valid = false;
    Eigen::Vector3d position = Eigen::Vector3d::Zero();
    Eigen::Matrix3d rotation = Eigen::Matrix3d::Identity();
    Vector6 velocity = Vector6::Zero();
  };

  // Base damping ratio of a robot model.
  static double ModelDamping(int model, double scale, bool forceSensor);
  // Virtual joint masses from the model's table, the payload and the joint
  // inertia norm; fills `mass` and s.virtualMassMatrix.
  static void ModelParameter(int model, bool forceSensor, Vector6& a, double& c, double payload,
                             Vector6& mass, const Vector6& f, State& s);
  static Vector6 EstimateWrenchError(const HostSnapshot& host, const Params& p, State& s);
  static void UpdateTaskMass(const Matrix6& J, const Params& p, State& s);
  static void UpdateDamping(const Matrix6& Kdm, const Vector6& Kd, const Params& p, State& s);
  static Vector6 AdmittanceAcceleration(const Vector6& wrenchError, State& s);

  static Output Step(const HostSnapshot& host, const Params& p, State& s);
};
