#include "ImpedanceLaw.h"

#include <algorithm>
#include <cmath>

#include "Frames.h"

double ImpedanceLaw::AxisDamping(int axis, double stiffness, double force, double scale,
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

ImpedanceLaw::Vector6 ImpedanceLaw::Step(const HostSnapshot& host, const Params& p, State& s) {
  constexpr double kHalfPi = 1.5707963267948966;
  constexpr double kRadToDeg = 57.29577951308232;
  const Matrix6& rotation = host.frameRotation;
  const Vector6 poseError = rotation.transpose() * control::PoseError(host.poseTarget, host.pose);

  // A position axis whose force is still ramping out follows the robot,
  // so it holds the place where its force reaches zero.
  for (int i = 0; i < 6; ++i) {
    if (!(p.forceDirection[i] > control::kSetThreshold) &&
        std::abs(p.force[i]) > control::kForceRampedOut && std::isfinite(poseError[i])) {
      s.errorOffset[i] = poseError[i];
    }
  }

  Vector6 damping;
  for (int i = 0; i < 6; ++i) {
    damping[i] =
        AxisDamping(i, p.commandStiffness[i], p.commandForce[i], p.dampingScale, p.dampingMax[i]);
  }

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
      rotation.transpose() * control::VelocityError(host.velocityTarget, host.velocity);

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

  // A linear force axis out of contact moves at a bounded speed and stops
  // after a bounded free travel: its commanded force fades out beyond them
  // and the damping brakes it. The force the tool exerts comes from the
  // external torque through the transposed inverse (compliance frame).
  Vector6 force = p.force;
  const Eigen::Vector3d exerted = -(rotation.topLeftCorner<3, 3>().transpose() *
                                    (inverseJacobian.transpose() * host.externalTorque).head<3>());
  for (int i = 0; i < 3; ++i) {
    if (!(p.forceDirection[i] > control::kSetThreshold)) {
      s.freeFlight.travel[i] = 0.0;
      continue;
    }
    const double speed = -velocityError[i];  // the tool's motion relative to the target
    const double share =
        s.freeFlight.Update(i, p.force[i], exerted[i], speed, control::kCyclePeriod);
    const double along = p.force[i] > 0.0 ? speed : -speed;
    force[i] *= FreeFlightGuard::ForceShare(along, share);
  }

  // The gains are diagonal: per-axis products.
  Vector6 wrench = p.stiffness.cwiseProduct(springError) + damping.cwiseProduct(velocityError) +
                   force + orientationLimit;
  for (int i = 0; i < 6; ++i) {
    const double limit = i < 3 ? kMaxWrenchForce : kMaxWrenchMoment;
    if (wrench[i] > limit) wrench[i] = limit;
    if (wrench[i] < -limit) wrench[i] = -limit;  // NaN stays NaN: see the fallback below
  }
  Vector6 torque = inertia * jointAcceleration + host.jacobian.transpose() * (rotation * wrench) +
                   host.coriolis * host.jointVelocity + host.gravityTorque + host.frictionTorque;

  if (!torque.allFinite()) {
    torque = host.gravityTorque.allFinite() ? host.gravityTorque : s.lastTorque;
  }
  s.lastTorque = torque;
  return torque;
}
