// WrenchSources: what the surroundings apply to the tool in a scenario.
#pragma once

#include <Eigen/Geometry>

#include "Mota.h"

namespace hostsim {

using Eigen::Vector6d;

constexpr double kCycle = 0.001;  // s

// Wrenches applied to the TCP by the surroundings, in the base frame
// (force in N, moment in Nm, about the TCP): a step or ramped constant part
// and an optional spring wall (a half-space the TCP can press into).
class WrenchSources {
 public:
  // From time `now` the constant part is `wrench`.
  void Step(const Vector6d& wrench);
  // The constant part moves linearly from its present value to `wrench`
  // over [now, now + duration].
  void Ramp(double now, double duration, const Vector6d& wrench);
  // A wall through `point` whose free side is along `normal`: a TCP that
  // goes in by depth d feels stiffness * d (+ damping * inward speed) along
  // the normal, never pulling.
  void SetWall(const Eigen::Vector3d& point, const Eigen::Vector3d& normal, double stiffness,
               double damping);
  void ClearWall();
  bool HasWall() const { return m_wall; }
  const Eigen::Vector3d& WallPoint() const { return m_wallPoint; }
  const Eigen::Vector3d& WallNormal() const { return m_wallNormal; }
  double WallStiffness() const { return m_wallStiffness; }
  double WallDamping() const { return m_wallDamping; }
  // How deep the TCP at p is in the wall (0 outside or without a wall).
  double WallDepth(const Eigen::Vector3d& p) const;

  // The constant part at time t.
  Vector6d Constant(double t) const;
  // The whole wrench at time t for a TCP at p moving with linear velocity v.
  Vector6d Evaluate(double t, const Eigen::Vector3d& p, const Eigen::Vector3d& v) const;

 private:
  Vector6d m_from = Vector6d::Zero();
  Vector6d m_to = Vector6d::Zero();
  double m_rampStart = 0.0;
  double m_rampEnd = 0.0;
  bool m_wall = false;
  Eigen::Vector3d m_wallPoint = Eigen::Vector3d::Zero();
  Eigen::Vector3d m_wallNormal = Eigen::Vector3d::UnitZ();
  double m_wallStiffness = 0.0;
  double m_wallDamping = 0.0;
};

}  // namespace hostsim
