// The impedance law: a spring-damper about the motion library's target pose,
// per axis in the compliance frame, plus a commanded force, turned into joint
// torques with the arm's inverse dynamics along the target motion. A pure
// step: one cycle's host snapshot, the cycle's gains and the law's own state
// in, the joint torque out. No host, no allocation.
#pragma once

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "ControlModule.h"
#include "HostSnapshot.h"

struct ImpedanceLaw {
  using Vector6 = Eigen::Vector6d;
  using Matrix6 = Eigen::Matrix6d;

  // Bound of each axis of the compliance wrench (spring, damper, commanded
  // force, orientation limit; compliance frame) before it becomes joint
  // torque: N for x, y, z and Nm for rx, ry, rz. Twice the command maximum.
  static constexpr double kMaxWrenchForce = 2 * ControlModule::kMaxCommandForce;
  static constexpr double kMaxWrenchMoment = 2 * ControlModule::kMaxCommandMoment;
  // Sum of the filtered joint speeds below which a paused arm counts as
  // quiet (1 degree per second, in rad/s), and the quiet cycles it takes to
  // settle.
  static constexpr double kQuietJointSpeed = 0.017453292519943295;
  static constexpr int32_t kSettleCycles = 100;
  // A position axis whose force is still above this is ramping its force out.
  static constexpr double kForceRampedOut = 1e-6;

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
  };

  // Damping of one axis from the commanded stiffness and force. A commanded
  // force replaces the stiffness rule and is not scaled; both are capped.
  static double AxisDamping(int axis, double stiffness, double force, double scale,
                            double ceiling) {
    double damping;
    if (axis < 3) {
      damping = std::abs(stiffness) >= 976.5625 ? 4.0 * scale * std::sqrt(std::abs(stiffness))
                                                : 4.0 * scale * 31.25;
      if (std::abs(force) >= 9.9999999999) damping = 3.125 * std::abs(force) + 93.75;
    } else {
      damping = std::abs(stiffness) >= 25.0 ? 1.25 * scale * std::sqrt(std::abs(stiffness))
                                            : 1.25 * scale * 5.0;
      if (std::abs(force) >= 0.9999999999) damping = 5.0 * std::abs(force);
    }
    return std::min(damping, ceiling);
  }

  // The cycle's joint torque:
  //   tau = (M + rotors) qdd_ref + J^T R w + C qdot + gravity + friction,
  // with qdd_ref = J+ (xdd_target - Jdot J+ xd_target) and the compliance
  // wrench w = K e + D edot + F + orientation limit (compliance frame, each
  // axis bounded). Never returns a torque that is not finite: it falls back
  // to gravity, then to the last torque.
  static Vector6 Step(const HostSnapshot& host, const Params& p, State& s) {
    constexpr double kHalfPi = 1.5707963267948966;
    constexpr double kRadToDeg = 57.29577951308232;
    const Matrix6& rotation = host.frameRotation;
    const Vector6 poseError =
        rotation.transpose() * ControlModule::CalPoseError(host.poseTarget, host.pose);

    // A position axis whose force is still ramping out follows the robot,
    // so it holds the place where its force reaches zero.
    for (int i = 0; i < 6; ++i) {
      if (!(p.forceDirection[i] > 0.5) && std::abs(p.force[i]) > kForceRampedOut &&
          std::isfinite(poseError[i])) {
        s.errorOffset[i] = poseError[i];
      }
    }

    Vector6 damping;
    for (int i = 0; i < 6; ++i) {
      damping[i] =
          AxisDamping(i, p.commandStiffness[i], p.commandForce[i], p.dampingScale, p.dampingMax[i]);
    }
    const Matrix6 stiffnessMatrix = ControlModule::DiagonalVectoMat6D(p.stiffness);
    const Matrix6 dampingMatrix = ControlModule::DiagonalVectoMat6D(damping);

    Matrix6 inertia = host.jointInertia;
    for (int i = 0; i < 6; ++i) inertia(i, i) += p.rotorInertia[i];

    Vector6 springError;
    if (!p.paused) {
      springError = poseError - s.errorOffset;
    } else if (!s.pauseSettled) {
      springError = poseError - s.errorOffset;
      double speed = 0.0;
      for (int i = 0; i < 6; ++i) speed += std::abs(host.jointVelocityFiltered[i]);
      // A speed that is not a number does not count as quiet.
      if (!(speed < kQuietJointSpeed)) {
        s.settleCount = 0;
      } else if (++s.settleCount > kSettleCycles) {
        if (poseError.allFinite()) {
          s.pauseErrorOffset = poseError;
          s.pauseSettled = true;
        } else {
          s.settleCount = 0;
        }
      }
    } else {
      springError = poseError - s.pauseErrorOffset;
    }

    const Vector6 velocityError =
        rotation.transpose() * ControlModule::CalVelError(host.velocityTarget, host.velocity);

    const Matrix6& inverseJacobian = host.jacobianInverse;
    Vector6 velocity;
    velocity << host.velocityTarget.linear, host.velocityTarget.angular;
    const Vector6 jointAcceleration =
        inverseJacobian * (host.accelerationTarget - host.jacobianDot * inverseJacobian * velocity);

    // Beyond +-90 degrees of orientation error, 1 Nm per degree more.
    Vector6 orientationLimit = Vector6::Zero();
    for (int i = 3; i < 6; ++i) {
      if (springError[i] > kHalfPi) {
        orientationLimit[i] = (springError[i] - kHalfPi) * kRadToDeg;
      } else if (springError[i] < -kHalfPi) {
        orientationLimit[i] = (springError[i] + kHalfPi) * kRadToDeg;
      }
    }

    Vector6 wrench =
        stiffnessMatrix * springError + dampingMatrix * velocityError + p.force + orientationLimit;
    for (int i = 0; i < 6; ++i) {
      const double limit = i < 3 ? kMaxWrenchForce : kMaxWrenchMoment;
      if (wrench[i] > limit) wrench[i] = limit;
      if (wrench[i] < -limit) wrench[i] = -limit;  // NaN stays NaN: see the fallback below
    }
    Vector6 torque = inertia * jointAcceleration + (host.jacobian.transpose() * rotation) * wrench +
                     host.coriolis * host.jointVelocity + host.gravityTorque + host.frictionTorque;

    if (!torque.allFinite()) {
      torque = host.gravityTorque.allFinite() ? host.gravityTorque : s.lastTorque;
    }
    s.lastTorque = torque;
    return torque;
  }
};
