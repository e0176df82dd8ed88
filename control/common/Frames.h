// Error vectors and gain matrices in task space, free of any host: the laws
// and ControlModule compute them the same way.
#pragma once

#include <Eigen/Dense>

#include "Mota.h"

namespace control {

// Position difference a - b (m) and the rotation vector (rad, base frame)
// that turns b's orientation into a's.
inline Eigen::Vector6d PoseError(const Mota::TaskPosition& a, const Mota::TaskPosition& b) {
  Eigen::Vector6d e;
  e.head<3>() = a.position - b.position;
  const Eigen::Matrix3d& ra = a.rotation;
  const Eigen::Matrix3d rel = ra.transpose() * static_cast<const Eigen::Matrix3d&>(b.rotation);
  const Eigen::AngleAxisd aa{Eigen::Quaterniond(rel)};
  e.tail<3>() = -(ra * (aa.angle() * aa.axis()));
  return e;
}

// Linear and angular velocity difference a - b.
inline Eigen::Vector6d VelocityError(const Mota::TaskVelocity& a, const Mota::TaskVelocity& b) {
  Eigen::Vector6d e;
  e.head<3>() = a.linear - b.linear;
  e.tail<3>() = a.angular - b.angular;
  return e;
}

// The diagonal matrix of `d`.
inline Eigen::Matrix6d DiagonalMatrix(const Eigen::Vector6d& d) {
  Eigen::Matrix6d m = Eigen::Matrix6d::Zero();
  m.diagonal() = d;
  return m;
}

}  // namespace control
