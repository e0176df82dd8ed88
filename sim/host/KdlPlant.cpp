#include "KdlPlant.h"

namespace hostsim {

bool ParsePlantKind(const std::string& text, PlantKind* out) {
  if (text == "kdl") return *out = PlantKind::kKdl, true;
  if (text == "mujoco") return *out = PlantKind::kMujoco, true;
  return false;
}

const char* PlantName(PlantKind kind) {
  return kind == PlantKind::kMujoco ? "mujoco" : "kdl";
}

void KdlPlant::Place(const Vector6d& q, const Vector6d& qd) {
  m_q = q;
  m_qd = qd;
}

bool KdlPlant::Advance(double t, const ServoCommand& command, const ModelSnapshot& model) {
  if (command.servo != SERVO_TORQUE) {
    m_q = command.qRef;
    m_qd = command.qdRef;
    return false;
  }
  const Vector6d& tau = command.tau;
  const double friction = m_arm.Parameters().viscousFriction;
  // Classical Runge-Kutta on (q, qd); the external wrench is evaluated at
  // each stage, the commanded torque is held over the cycle.
  auto accel = [&](const Vector6d& q, const Vector6d& qd) {
    Vector6d total = tau;
    if (m_wrench.HasWall() || m_wrench.Constant(t).squaredNorm() > 0.0) {
      const Matrix6d J = m_arm.Jacobian(q);
      const Eigen::Isometry3d pose = m_arm.Pose(q);
      const Vector6d v = J * qd;
      total += J.transpose() * m_wrench.Evaluate(t, pose.translation(), v.head<3>());
    }
    return m_arm.ForwardDynamics(q, qd, total);
  };
  const double h = kCycle;
  const Vector6d q0 = m_q, v0 = m_qd;
  // The first stage is the present state, whose dynamics the host computed.
  Matrix6d inertia = model.linkInertia;
  inertia.diagonal() += m_arm.RotorInertia();
  const Vector6d a1 = inertia.ldlt().solve(tau + model.extTorque - model.coriolis * v0 -
                                           model.gravity - friction * v0);
  const Vector6d v1 = v0 + 0.5 * h * a1;
  const Vector6d a2 = accel(q0 + 0.5 * h * v0, v1);
  const Vector6d v2 = v0 + 0.5 * h * a2;
  const Vector6d a3 = accel(q0 + 0.5 * h * v1, v2);
  const Vector6d v3 = v0 + h * a3;
  const Vector6d a4 = accel(q0 + h * v2, v3);
  m_q = q0 + h / 6.0 * (v0 + 2.0 * v1 + 2.0 * v2 + v3);
  m_qd = v0 + h / 6.0 * (a1 + 2.0 * a2 + 2.0 * a3 + a4);
  if (!m_q.allFinite() || !m_qd.allFinite()) {
    // Never let the model itself go non-finite: stop the arm where it was.
    m_q = q0;
    m_qd.setZero();
  }
  return false;
}

ExternalLoad KdlPlant::Sense(double t, const Eigen::Isometry3d& pose, const Matrix6d& J) {
  ExternalLoad load;
  const Vector6d v = J * m_qd;
  load.toolWrench = m_wrench.Evaluate(t, pose.translation(), v.head<3>());
  load.jointTorque = J.transpose() * load.toolWrench;
  load.jointTorqueSensed = load.jointTorque;
  load.wristWrench = load.toolWrench;
  load.penetration = m_wrench.WallDepth(pose.translation());
  return load;
}

}  // namespace hostsim
