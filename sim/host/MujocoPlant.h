// MujocoPlant: the arm on the MuJoCo physics engine (Debian's libmujoco).
//
// The model is generated (MJCF) from the same link table as the host's KDL
// model: same joints, lengths, masses, centres of mass and inertias, the
// payload at the TCP, plus what a real arm has and the model does not say:
// viscous joint damping and Coulomb friction loss, the rotors as armature
// (gear ratio^2 * motor inertia, the same figure the host model adds to its
// inertia), an unreported payload and a mass scale error.
//
// Servo (one 1 ms cycle = `substeps` engine steps, 0.5 ms by default):
//   position: tau = g_model(q) + kp (q_ref - q) + kd (qd_ref - qd), where
//             g_model is the host model's gravity torque (so an unreported
//             payload or a mass error sags the arm) and the reference moves
//             linearly over the cycle; limited to the torque limits;
//   torque:   the commanded torque as it is (the host has limited it); the
//             engine adds no gravity compensation.
//
// Contacts: only the tool tip (a sphere whose lowest point along the tool
// axis is the TCP, or a square peg) touches the declared surfaces and the
// host's wall. The engine carries the normal force; Coulomb friction
// against the sliding velocity is applied by the plant on the tool.
// Stiffness and damping in N/m and N s/m are set so that the realised
// static force over penetration is the declared stiffness (see
// docs/simulator.md for the conversion).
//
// Sensing: the external wrench on the tool (contacts and applied wrench, at
// the TCP, base frame), its joint torque J^T F, and the wrist
// force/torque sensor of the engine at the flange, moved to the TCP and
// turned into the wrench the environment exerts on the tool, with the
// modelled tool weight (reported payload) removed.
#pragma once

#include <array>
#include <string>

#include "Plant.h"
#include "SimulatedArm.h"
#include "WrenchSources.h"

struct mjModel_;
struct mjData_;

namespace hostsim {

class MujocoPlant : public Plant {
 public:
  // The host's wrench sources provide the applied wrench and the wall; they
  // must outlive the plant. On failure (the model does not compile) Ok()
  // is false and Error() says why.
  MujocoPlant(const ArmParameters& arm, const MujocoParameters& parameters,
              const std::array<double, 6>& torqueLimit, const WrenchSources& wrench);
  ~MujocoPlant() override;
  MujocoPlant(const MujocoPlant&) = delete;
  MujocoPlant& operator=(const MujocoPlant&) = delete;

  bool Ok() const { return m_model != nullptr; }
  const std::string& Error() const { return m_error; }

  PlantKind Kind() const override { return PlantKind::kMujoco; }
  void Place(const Vector6d& q, const Vector6d& qd) override;
  bool Advance(double t, const ServoCommand& command, const ModelSnapshot& model) override;
  const Vector6d& Joints() const override { return m_q; }
  const Vector6d& JointVelocities() const override { return m_qd; }
  ExternalLoad Sense(double t, const Eigen::Isometry3d& pose, const Matrix6d& J) override;

  // The MJCF text of an arm with these surfaces (contact parameters are
  // placeholders until the model is compiled, see SetContactParameters).
  static std::string Mjcf(const ArmParameters& arm, const MujocoParameters& parameters,
                          const std::vector<ContactSurface>& surfaces);

  // Engine quantities at posture q (at rest), for cross-checks against the
  // host model: inertia with armature, gravity torque, TCP Jacobian (linear
  // rows first, base frame) and TCP pose.
  Matrix6d EngineInertia(const Vector6d& q);
  Vector6d EngineGravity(const Vector6d& q);
  Matrix6d EngineJacobian(const Vector6d& q);
  Eigen::Isometry3d EngineTcpPose(const Vector6d& q);
  // Surfaces in the present model (declared ones, then the wall if any).
  const std::vector<ContactSurface>& Surfaces() const { return m_surfaces; }
  // Engine steps that went unstable and were reset to the last good state.
  long Resets() const { return m_resets; }

 private:
  bool Build();
  void SyncWall();
  void SetContactParameters();
  void ApplyWrench(double t);
  void ApplyFriction();
  void ForwardAt(const Vector6d& q);

  ArmParameters m_arm;
  MujocoParameters m_p;
  std::array<double, 6> m_torqueLimit;
  const WrenchSources& m_wrench;
  std::string m_error;
  mjModel_* m_model = nullptr;
  mjData_* m_data = nullptr;
  std::vector<ContactSurface> m_surfaces;
  bool m_wallShown = false;
  ContactSurface m_wall;
  int m_toolBody = -1, m_tcpSite = -1, m_flangeSite = -1;
  int m_forceAdr = -1, m_torqueAdr = -1;
  Vector6d m_q = Vector6d::Zero(), m_qd = Vector6d::Zero();
  long m_resets = 0;
  std::vector<int> m_surfaceOfGeom;        // geom id -> index in m_surfaces, or -1
  Vector6d m_friction = Vector6d::Zero();  // friction wrench at the TCP, base frame
};

}  // namespace hostsim
