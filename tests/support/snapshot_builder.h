// Host snapshots for the law tests: an arm at rest in the base frame with an
// identity Jacobian and inertia (joint torque equals wrench), changed one
// fact at a time, so each test states only the facts its claim rests on.
#pragma once

#include "HostSnapshot.h"

class SnapshotBuilder {
 public:
  // The Jacobian and its exact inverse.
  SnapshotBuilder& Jacobian(const Eigen::Matrix6d& j) {
    s_.jacobian = j;
    s_.jacobianInverse = j.inverse();
    return *this;
  }
  // The joint torque a wrench at the tool (base frame) produces.
  SnapshotBuilder& ExternalWrench(const Eigen::Vector6d& w) {
    s_.externalTorque = s_.jacobian.transpose() * w;
    return *this;
  }
  SnapshotBuilder& TargetPosition(double x, double y, double z) {
    s_.poseTarget.position << x, y, z;
    return *this;
  }
  SnapshotBuilder& Position(double x, double y, double z) {
    s_.pose.position << x, y, z;
    return *this;
  }
  SnapshotBuilder& JointInertia(const Eigen::Matrix6d& m) {
    s_.jointInertia = m;
    return *this;
  }
  SnapshotBuilder& TaskSpace(bool on) {
    s_.taskSpace = on;
    return *this;
  }
  // Anything else, on the record itself.
  HostSnapshot& Edit() { return s_; }
  const HostSnapshot& Build() const { return s_; }

 private:
  HostSnapshot s_;
};
