// The free-flight guard of a force-controlled axis. A force command on an
// axis that loses its contact (the tool falls into a hole, slides off an
// edge, or was commanded far from any surface) drives the tool with
// nothing to push back: it would reach the speed the damping allows
// (F/D, about 128 mm/s at 20 N for the impedance law) and never stop.
// The guard bounds that motion, per linear force axis:
//
//   - speed: the axis moves in the direction of its commanded force at
//     most kMaxSpeed (50 mm/s, about 60 mm/s with the band of the torque
//     law) relative to the trajectory target;
//   - travel: while the force the tool exerts along the command is below
//     kContactShare (25 %) of the command, the distance it moves in the
//     command's direction counts as free travel; at kMaxTravel (25 mm) of
//     free travel the axis stops, fading over the last kFadeTravel (5 mm).
//     Contact (the force back above the share) or a new force command
//     clears the count.
//
// The guard acts only beyond those bounds: an axis pressing on a surface,
// following a slope or approached within the approach rule never meets
// them. Plug-in-private (control laws only), no allocation.
#pragma once

#include <algorithm>
#include <cmath>

struct FreeFlightGuard {
  static constexpr double kMaxSpeed = 0.05;      // m/s along the command
  static constexpr double kSpeedBand = 0.01;     // m/s over which a torque law fades the force
  static constexpr double kMaxTravel = 0.025;    // m of free travel
  static constexpr double kFadeTravel = 0.005;   // m before it where the motion fades out
  static constexpr double kContactShare = 0.25;  // of the command: in contact above it
  static constexpr double kMinForce = 1e-3;      // N: below it the axis presses nothing

  double travel[3] = {0.0, 0.0, 0.0};  // free travel per linear axis, m

  void Reset() { travel[0] = travel[1] = travel[2] = 0.0; }

  // One cycle of axis i: `force` the commanded force (what the tool
  // exerts, compliance frame), `exerted` the force the tool exerts along
  // the same axis now, `speed` the axis speed relative to the target
  // (m/s, compliance frame). Returns the travel share left, 1 (free to
  // move) to 0 (stop).
  double Update(int i, double force, double exerted, double speed, double dt) {
    if (!(std::fabs(force) > kMinForce) || !std::isfinite(exerted) || !std::isfinite(speed)) {
      travel[i] = 0.0;
      return 1.0;
    }
    const double sign = force > 0.0 ? 1.0 : -1.0;
    if (sign * exerted >= kContactShare * std::fabs(force))
      travel[i] = 0.0;
    else
      travel[i] += std::max(0.0, sign * speed) * dt;
    return std::clamp((kMaxTravel - travel[i]) / kFadeTravel, 0.0, 1.0);
  }

  // Speed along the command allowed with `share` of the travel left.
  static double AllowedSpeed(double share) { return kMaxSpeed * share; }
  // The share of the commanded force a torque law applies at `speed` along
  // the command (m/s) with `share` of the travel left.
  static double ForceShare(double speed, double share) {
    const double bySpeed = std::clamp(1.0 - (speed - kMaxSpeed) / kSpeedBand, 0.0, 1.0);
    return std::min(bySpeed, share);
  }
};
