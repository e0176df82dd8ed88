// What a control law reads from the host in one cycle, taken once at the
// start of the cycle by the plug-in, so a law is a pure function of this
// record, its parameters and its own state, and is tested without a host.
// Each plug-in fills the fields its law uses; the others keep their values.
#pragma once

#include <Eigen/Dense>

#include "Mota.h"

struct HostSnapshot {
  EIGEN_MAKE_ALIGNED_OPERATOR_NEW

  // Rotation from the compliance frame to the base frame, per 3x3 block.
  Eigen::Matrix6d frameRotation = Eigen::Matrix6d::Identity();

  // Tool pose, velocity and acceleration: measured and motion-library target.
  Mota::TaskPosition pose, poseTarget;
  Mota::TaskVelocity velocity, velocityTarget;
  Eigen::Vector6d accelerationTarget = Eigen::Vector6d::Zero();

  // Joint space.
  Eigen::Vector6d jointVelocity = Eigen::Vector6d::Zero();
  Eigen::Vector6d jointVelocityFiltered = Eigen::Vector6d::Zero();
  Eigen::Matrix6d jointInertia = Eigen::Matrix6d::Identity();  // rotors excluded
  Eigen::Matrix6d coriolis = Eigen::Matrix6d::Zero();          // C, used as C * qdot
  Eigen::Vector6d gravityTorque = Eigen::Vector6d::Zero();
  Eigen::Vector6d frictionTorque = Eigen::Vector6d::Zero();

  // Tool Jacobian, its time derivative and the host's damped inverse at the
  // plug-in's singular-value limit.
  Eigen::Matrix6d jacobian = Eigen::Matrix6d::Identity();
  Eigen::Matrix6d jacobianDot = Eigen::Matrix6d::Zero();
  Eigen::Matrix6d jacobianInverse = Eigen::Matrix6d::Identity();

  // Estimated external joint torque, whether the motion runs in task space,
  // the payload mass (kg), and the STCP and R0 rotations.
  Eigen::Vector6d externalTorque = Eigen::Vector6d::Zero();
  bool taskSpace = true;
  double payloadMass = 0.0;
  Eigen::Matrix3d stcpRotation = Eigen::Matrix3d::Identity();
  Eigen::Matrix3d r0Rotation = Eigen::Matrix3d::Identity();
};
