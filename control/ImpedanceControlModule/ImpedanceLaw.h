// The impedance law: a spring-damper about the motion library's target pose,
// per axis in the compliance frame, plus a commanded force, turned into joint
// torques with the arm's inverse dynamics along the target motion. A pure
// step: one cycle's host snapshot, the cycle's gains and the law's own state
// in, the joint torque out. No host, no allocation.
#pragma once

#include <Eigen/Dense>
#include <cstdint>

#include "ControlConstants.h"
#include "FreeFlightGuard.h"
#include "HostSnapshot.h"

struct ImpedanceLaw {
  using Vector6 = Eigen::Vector6d;
  using Matrix6 = Eigen::Matrix6d;

  // Bound of each axis of the compliance wrench (spring, damper, commanded
  // force, orientation limit; compliance frame) before it becomes joint
  // torque: N for x, y, z and Nm for rx, ry, rz. Twice the command maximum.
  static constexpr double kMaxWrenchForce = 2 * control::kMaxCommandForce;
  static constexpr double kMaxWrenchMoment = 2 * control::kMaxCommandMoment;
  // Sum of the filtered joint speeds below which a paused arm counts as
  // quiet (1 degree per second, in rad/s), and the quiet cycles it takes to
  // settle.
  static constexpr double kQuietJointSpeed = 0.017453292519943295;
  static constexpr int32_t kSettleCycles = 100;

  struct Params {
    EIGEN_MAKE_ALIGNED_OPERATOR_NEW
    Vector6 stiffness = Vector6::Zero();       // this cycle's ramped value, N/m and Nm/rad
    Vector6 force = Vector6::Zero();           // this cycle's ramped commanded force
    Vector6 forceDirection = Vector6::Zero();  // flags of the force axes (> 0.5)
    // The commanded stiffness and force the damping is designed from.
    Vector6 commandStiffness = Vector6::Zero();
    Vector6 commandForce = Vector6::Zero();
    double dampingScale = 1.0;
    Vector6 dampingMax = Vector6::Constant(1e300);
    // Reflected rotor inertia per joint, added to the host's joint inertia.
    Vector6 rotorInertia = Vector6::Zero();
    bool paused = false;
  };

  struct State {
    EIGEN_MAKE_ALIGNED_OPERATOR_NEW
    Vector6 errorOffset = Vector6::Zero();       // held error of axes leaving force control
    Vector6 pauseErrorOffset = Vector6::Zero();  // rest pose of a settled pause
    int32_t settleCount = 0;
    bool pauseSettled = false;
    // The last torque handed to the host, the fallback when a cycle's
    // torque is not finite and gravity is not either.
    Vector6 lastTorque = Vector6::Zero();
    // Free travel of the force axes out of contact (FreeFlightGuard.h).
    FreeFlightGuard freeFlight;
  };

  // Damping of one axis from the commanded stiffness and force. A commanded
  // force replaces the stiffness rule and is not scaled; both are capped.
  static double AxisDamping(int axis, double stiffness, double force, double scale, double ceiling);

  // The cycle's joint torque:
  //   tau = (M + rotors) qdd_ref + J^T R w + C qdot + gravity + friction,
  // with qdd_ref = J+ (xdd_target - Jdot J+ xd_target) and the compliance
  // wrench w = K e + D edot + g F + orientation limit (compliance frame,
  // each axis bounded); g in [0, 1] is the free-flight guard's share of the
  // commanded force on a linear force axis out of contact (1 in contact
  // and below its speed bound). Never returns a torque that is not finite: it falls back
  // to gravity, then to the last torque.
  static Vector6 Step(const HostSnapshot& host, const Params& p, State& s);
};
