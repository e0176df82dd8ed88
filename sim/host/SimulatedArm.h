// A six-axis arm model on KDL: forward kinematics, Jacobian and its time
// derivative, joint-space inertia (with the reflected rotor inertia),
// Coriolis and gravity, forward dynamics, a damped least-squares inverse and
// an inverse-kinematics step. Plausible parameters of a 1.3 m, 10 kg-class
// arm with a spherical wrist; the tool is a fixed segment after the flange.
#pragma once

#include <array>
#include <kdl/chain.hpp>
#include <kdl/chaindynparam.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainjnttojacdotsolver.hpp>
#include <kdl/chainjnttojacsolver.hpp>
#include <memory>
#include <string>

#include "Mota.h"

namespace hostsim {

using Eigen::Matrix6d;
using Eigen::Vector6d;

// One link of the arm: a revolute joint about `axis` of its own frame
// (2 = z, 1 = y), then a straight segment of `length` along z to the next
// joint; the link is a solid cylinder of `mass` and `radius` whose centre
// of mass sits `cog` below the next joint. Both engines build the arm
// from this table (KDL here, MuJoCo's MJCF in MujocoPlant).
struct LinkDescription {
  int axis;
  double length;  // m
  double mass;    // kg
  double radius;  // m
  double cog;     // m, along z from the next joint (negative: towards this joint)
};

using ArmLinkTable = std::array<LinkDescription, 6>;

// The six links, base to flange, of the default (medium) arm.
const ArmLinkTable& ArmLinks();

// Principal moments of inertia (about the centre of mass) of a link:
// a solid cylinder along z.
Eigen::Vector3d LinkMoments(const LinkDescription& link);
// Principal moments of the payload at the TCP (a small compact body).
Eigen::Vector3d PayloadMoments(double mass);

struct ArmParameters {
  // The links, base to flange; both engines build the arm from them.
  ArmLinkTable links = ArmLinks();
  // Tool offset from the flange (flange frame, metres) and the payload at
  // its tip (kg).
  Eigen::Vector3d tool{0.0, 0.0, 0.1};
  double payload = 1.0;
  Eigen::Vector3d gravity{0.0, 0.0, -9.81};
  // Rotor inertia at the motor (kg m^2) and gear ratio; the joint sees
  // gearratio^2 * motorinertia on the diagonal of its inertia.
  std::array<double, 6> motorInertia{{6e-5, 6e-5, 3e-5, 1e-5, 1e-5, 1e-5}};
  std::array<double, 6> gearRatio{{100.0, 100.0, 100.0, 80.0, 80.0, 80.0}};
  // Viscous joint friction (Nm s/rad) applied in torque servo.
  double viscousFriction = 0.0;
};

// Arms of three sizes with plausible public figures of collaborative arms
// (reach from the shoulder axis to the flange, rated payload, arm mass):
//   small   0.9 m,  6 kg class, 15 kg arm
//   medium  1.3 m, 10 kg class, 25 kg arm (the default ArmParameters)
//   large   1.7 m, 20 kg class, 59 kg arm
// Lengths scale with the reach; masses, rotor inertia and the torque a
// joint needs with the class. `scale` returns the reach over the medium
// arm's (1 for medium), so a caller can scale what depends on it.
enum class ArmSize { kSmall, kMedium, kLarge };
bool ParseArmSize(const std::string& name, ArmSize* size);
// The arm's links, rotors and payload (small 0.5 kg, medium 1 kg, large
// 5 kg at the TCP); the tool and gravity stay as they are.
void ApplyArmSize(ArmSize size, ArmParameters& arm);
// Factors of the size over the medium arm: reach, and mass.
double ArmReachScale(ArmSize size);
double ArmMassScale(ArmSize size);

class SimulatedArm {
 public:
  explicit SimulatedArm(const ArmParameters& parameters = ArmParameters());

  const ArmParameters& Parameters() const { return m_parameters; }
  // Rebuilds the chain with another tool offset and payload.
  void SetTool(const Eigen::Vector3d& tool, double payload);
  void SetGravity(const Eigen::Vector3d& gravity);
  void SetRotor(const std::array<double, 6>& motorInertia, const std::array<double, 6>& gearRatio);

  // TCP pose in the base frame.
  Eigen::Isometry3d Pose(const Vector6d& q);
  // Geometric Jacobian of the TCP: rows 0-2 linear velocity of the TCP,
  // rows 3-5 angular velocity, both in the base frame.
  Matrix6d Jacobian(const Vector6d& q);
  Matrix6d JacobianDot(const Vector6d& q, const Vector6d& qd);
  // Inertia of the links alone, and with the reflected rotor inertia.
  Matrix6d LinkInertia(const Vector6d& q);
  Matrix6d Inertia(const Vector6d& q);
  Vector6d RotorInertia() const;
  // Coriolis and centrifugal torque C(q, qd) qd.
  Vector6d CoriolisTorque(const Vector6d& q, const Vector6d& qd);
  // A Coriolis matrix from the Christoffel symbols of the inertia, adjusted
  // so that CoriolisMatrix(q, qd) * qd equals CoriolisTorque(q, qd).
  Matrix6d CoriolisMatrix(const Vector6d& q, const Vector6d& qd);
  Vector6d GravityTorque(const Vector6d& q);
  // Energies computed from the link frames (independent of the dynamics
  // algorithms): potential from the centres of mass, kinetic from the
  // inertia including the rotors.
  double PotentialEnergy(const Vector6d& q);
  double KineticEnergy(const Vector6d& q, const Vector6d& qd);

  // qdd = Inertia^-1 (tau - C qd - g - friction qd).
  Vector6d ForwardDynamics(const Vector6d& q, const Vector6d& qd, const Vector6d& tau);

  // Damped least-squares inverse: the exact inverse while the smallest
  // singular value is at least `bound`; below it damping grows smoothly to
  // bound^2 at a singular value of 0. Always finite. Allocation-free.
  static Matrix6d DampedInverse(const Matrix6d& J, double bound);
  static double MinSingularValue(const Matrix6d& J);
  // Rotation vector (base frame) turning `from` into `to`.
  static Eigen::Vector3d RotationError(const Eigen::Matrix3d& to, const Eigen::Matrix3d& from);

  // Moves q towards the joint position whose TCP is `target` with damped
  // Newton steps; true when the remaining error is below 1e-9.
  bool SolveIk(const Eigen::Isometry3d& target, Vector6d& q, int maxIterations = 5);

 private:
  void Build();

  ArmParameters m_parameters;
  KDL::Chain m_chain;
  std::unique_ptr<KDL::ChainFkSolverPos_recursive> m_fk;
  std::unique_ptr<KDL::ChainJntToJacSolver> m_jac;
  std::unique_ptr<KDL::ChainJntToJacDotSolver> m_jacDot;
  std::unique_ptr<KDL::ChainDynParam> m_dyn;
  KDL::JntArray m_q, m_qd, m_out;
  KDL::Jacobian m_J;
  KDL::JntSpaceInertiaMatrix m_M;
};

}  // namespace hostsim
