// KdlPlant: the host's own arm model as the plant. The position servo puts
// the arm exactly on the reference every cycle; torque servo integrates the
// model's forward dynamics (RK4) under the commanded torque and the
// external wrench; the wall is a massless spring wrench on the TCP and the
// force sensor reads exactly the applied wrench.
#pragma once

#include "Plant.h"
#include "SimulatedArm.h"
#include "WrenchSources.h"

namespace hostsim {

class KdlPlant : public Plant {
 public:
  // Shares the host's model and wrench sources (both must outlive it).
  KdlPlant(SimulatedArm& arm, const WrenchSources& wrench) : m_arm(arm), m_wrench(wrench) {}

  PlantKind Kind() const override { return PlantKind::kKdl; }
  void Place(const Vector6d& q, const Vector6d& qd) override;
  bool Advance(double t, const ServoCommand& command, const ModelSnapshot& model) override;
  const Vector6d& Joints() const override { return m_q; }
  const Vector6d& JointVelocities() const override { return m_qd; }
  ExternalLoad Sense(double t, const Eigen::Isometry3d& pose, const Matrix6d& J) override;

 private:
  SimulatedArm& m_arm;
  const WrenchSources& m_wrench;
  Vector6d m_q = Vector6d::Zero(), m_qd = Vector6d::Zero();
};

}  // namespace hostsim
