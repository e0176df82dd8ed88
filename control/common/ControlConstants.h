// The numbers every control module and law shares, each defined once here.
#pragma once

namespace control {

// The control period: one DoControl, the step every law integrates over (s).
constexpr double kCyclePeriod = 0.001;
// A selection entry (force direction, flag) counts as set above this.
constexpr double kSetThreshold = 0.5;
// Below this a gain, factor or direction entry counts as zero.
constexpr double kTiny = 1e-10;
// A force reference (N, Nm) still above this on an axis that has left force
// control is ramping out.
constexpr double kForceRampedOut = 1e-6;
// The largest commanded force (N, each of x, y, z) and moment (Nm, each of
// rx, ry, rz), after a relative offset is added.
constexpr double kMaxCommandForce = 500.0;
constexpr double kMaxCommandMoment = 50.0;

}  // namespace control
