// GainRamp: one ramped 6-vector gain (start, target and the value reached),
// moved by the ramp clock of ControlModule. Every gain change of a control
// module is a linear ramp from the value the gain has reached to its new
// target; a command that arrives while a ramp runs continues from where the
// gain stands, so a gain never jumps.
#pragma once

#include <Eigen/Dense>

#include "Mota.h"

struct GainRamp {
  EIGEN_MAKE_ALIGNED_OPERATOR_NEW

  Eigen::Vector6d start = Eigen::Vector6d::Zero();
  Eigen::Vector6d target = Eigen::Vector6d::Zero();
  Eigen::Vector6d current = Eigen::Vector6d::Zero();

  // The value at `fraction` (0..1) of the ramp; the target from 1 on.
  Eigen::Vector6d At(double fraction) const {
    if (!(fraction < 1.0)) return target;
    return start + (target - start) * fraction;
  }
  // No ramp: start, target and current all `value`.
  void Reset(const Eigen::Vector6d& value) { start = target = current = value; }
  // A new ramp towards `to` that begins at the value reached at `fraction`
  // of the ramp now running.
  void Retarget(const Eigen::Vector6d& to, double fraction) {
    current = At(fraction);
    start = current;
    target = to;
  }
  void Advance(double fraction) { current = At(fraction); }
};
