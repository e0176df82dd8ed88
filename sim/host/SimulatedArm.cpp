#include "SimulatedArm.h"

#include <Eigen/LU>
#include <Eigen/SVD>
#include <cmath>
#include <kdl/jntarrayvel.hpp>

namespace hostsim {
const ArmLinkTable& ArmLinks() {
  // Base column to the shoulder, upper arm, forearm, and a spherical wrist.
  static const ArmLinkTable links{{
      {2, 0.195, 7.0, 0.08, -0.09},
      {1, 0.62, 10.0, 0.06, -0.31},
      {1, 0.40, 4.5, 0.05, -0.20},
      {2, 0.16, 2.0, 0.045, -0.08},
      {1, 0.12, 1.5, 0.04, -0.06},
      {2, 0.0, 0.4, 0.04, -0.015},
  }};
  return links;
}

double ArmReachScale(ArmSize size) {
  return size == ArmSize::kSmall ? 0.7 : size == ArmSize::kLarge ? 1.3 : 1.0;
}

double ArmMassScale(ArmSize size) {
  return size == ArmSize::kSmall ? 0.6 : size == ArmSize::kLarge ? 2.3 : 1.0;
}

bool ParseArmSize(const std::string& name, ArmSize* size) {
  if (name == "small")
    *size = ArmSize::kSmall;
  else if (name == "medium")
    *size = ArmSize::kMedium;
  else if (name == "large")
    *size = ArmSize::kLarge;
  else
    return false;
  return true;
}

void ApplyArmSize(ArmSize size, ArmParameters& arm) {
  const double l = ArmReachScale(size), m = ArmMassScale(size);
  const ArmParameters medium;
  arm.links = ArmLinks();
  for (LinkDescription& link : arm.links) {
    link.length *= l;
    link.cog *= l;
    link.radius *= std::sqrt(m / l);  // a longer, heavier tube is also thicker
    link.mass *= m;
  }
  // Rotor inertia grows with the torque a joint has to give (mass x reach).
  for (int i = 0; i < 6; ++i) arm.motorInertia[i] = medium.motorInertia[i] * m * l;
  arm.payload = size == ArmSize::kSmall ? 0.5 : size == ArmSize::kLarge ? 5.0 : 1.0;
}

Eigen::Vector3d LinkMoments(const LinkDescription& link) {
  // Solid cylinder of the link's length along z about its centre of mass;
  // the flange link (length 0) is a short disc of 3 cm.
  const double length = link.length > 0.0 ? link.length : 0.03;
  const double r2 = link.radius * link.radius;
  const double ixx = link.mass * (3.0 * r2 + length * length) / 12.0;
  return Eigen::Vector3d(ixx, ixx, 0.5 * link.mass * r2);
}

Eigen::Vector3d PayloadMoments(double mass) {
  return Eigen::Vector3d::Constant(1e-3 * mass);
}

SimulatedArm::SimulatedArm(const ArmParameters& parameters) : m_parameters(parameters) {
  Build();
}

void SimulatedArm::SetTool(const Eigen::Vector3d& tool, double payload) {
  m_parameters.tool = tool;
  m_parameters.payload = payload;
  Build();
}

void SimulatedArm::SetGravity(const Eigen::Vector3d& gravity) {
  m_parameters.gravity = gravity;
  Build();
}

void SimulatedArm::SetRotor(const std::array<double, 6>& motorInertia,
                            const std::array<double, 6>& gearRatio) {
  m_parameters.motorInertia = motorInertia;
  m_parameters.gearRatio = gearRatio;
}

void SimulatedArm::Build() {
  using KDL::Frame;
  using KDL::Joint;
  using KDL::Segment;
  using KDL::Vector;
  m_chain = KDL::Chain();
  // Each segment's tip frame sits at the next joint.
  for (const LinkDescription& link : m_parameters.links) {
    const Eigen::Vector3d i = LinkMoments(link);
    m_chain.addSegment(
        Segment(Joint(link.axis == 2 ? Joint::RotZ : Joint::RotY), Frame(Vector(0, 0, link.length)),
                KDL::RigidBodyInertia(link.mass, Vector(0, 0, link.cog),
                                      KDL::RotationalInertia(i[0], i[1], i[2], 0, 0, 0))));
  }
  const Eigen::Vector3d& t = m_parameters.tool;
  // The payload sits at the TCP; the tool itself is light.
  const Eigen::Vector3d pm = PayloadMoments(m_parameters.payload);
  KDL::RigidBodyInertia toolInertia(m_parameters.payload, Vector(0, 0, 0),
                                    KDL::RotationalInertia(pm[0], pm[1], pm[2], 0, 0, 0));
  m_chain.addSegment(Segment(Joint(Joint::Fixed), Frame(Vector(t[0], t[1], t[2])), toolInertia));

  const Eigen::Vector3d& g = m_parameters.gravity;
  m_fk = std::make_unique<KDL::ChainFkSolverPos_recursive>(m_chain);
  m_jac = std::make_unique<KDL::ChainJntToJacSolver>(m_chain);
  m_jacDot = std::make_unique<KDL::ChainJntToJacDotSolver>(m_chain);
  m_jacDot->setHybridRepresentation();
  m_dyn = std::make_unique<KDL::ChainDynParam>(m_chain, Vector(g[0], g[1], g[2]));
  m_q.resize(6);
  m_qd.resize(6);
  m_out.resize(6);
  m_J.resize(6);
  m_M.resize(6);
}

Eigen::Isometry3d SimulatedArm::Pose(const Vector6d& q) {
  m_q.data = q;
  KDL::Frame f;
  m_fk->JntToCart(m_q, f);
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  for (int r = 0; r < 3; ++r) {
    pose.translation()[r] = f.p[r];
    for (int c = 0; c < 3; ++c) pose.linear()(r, c) = f.M(r, c);
  }
  return pose;
}

Matrix6d SimulatedArm::Jacobian(const Vector6d& q) {
  m_q.data = q;
  m_jac->JntToJac(m_q, m_J);
  return m_J.data;
}

Matrix6d SimulatedArm::JacobianDot(const Vector6d& q, const Vector6d& qd) {
  KDL::JntArrayVel qv(6);
  qv.q.data = q;
  qv.qdot.data = qd;
  KDL::Jacobian jdot(6);
  m_jacDot->JntToJacDot(qv, jdot);
  return jdot.data;
}

Matrix6d SimulatedArm::LinkInertia(const Vector6d& q) {
  m_q.data = q;
  m_dyn->JntToMass(m_q, m_M);
  return m_M.data;
}

Vector6d SimulatedArm::RotorInertia() const {
  Vector6d r;
  for (int i = 0; i < 6; ++i)
    r[i] = m_parameters.gearRatio[i] * m_parameters.gearRatio[i] * m_parameters.motorInertia[i];
  return r;
}

Matrix6d SimulatedArm::Inertia(const Vector6d& q) {
  Matrix6d m = LinkInertia(q);
  m.diagonal() += RotorInertia();
  return m;
}

Vector6d SimulatedArm::CoriolisTorque(const Vector6d& q, const Vector6d& qd) {
  m_q.data = q;
  m_qd.data = qd;
  m_dyn->JntToCoriolis(m_q, m_qd, m_out);
  return m_out.data;
}

Matrix6d SimulatedArm::CoriolisMatrix(const Vector6d& q, const Vector6d& qd) {
  const double speed2 = qd.squaredNorm();
  if (speed2 < 1e-24) return Matrix6d::Zero();
  // dM/dq_k by forward differences (the residual below absorbs their error
  // in the product); C_ij = sum_k 0.5 (dM_ij/dq_k + dM_ik/dq_j - dM_jk/dq_i) qd_k.
  std::array<Matrix6d, 6> dM;
  const double h = 1e-7;
  const Matrix6d m0 = LinkInertia(q);
  for (int k = 0; k < 6; ++k) {
    Vector6d qp = q;
    qp[k] += h;
    dM[k] = (LinkInertia(qp) - m0) / h;
  }
  Matrix6d c = Matrix6d::Zero();
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j)
      for (int k = 0; k < 6; ++k)
        c(i, j) += 0.5 * (dM[k](i, j) + dM[j](i, k) - dM[i](j, k)) * qd[k];
  // Remove the finite-difference residual so the product is exact.
  const Vector6d residual = CoriolisTorque(q, qd) - c * qd;
  c += residual * qd.transpose() / speed2;
  return c;
}

Vector6d SimulatedArm::GravityTorque(const Vector6d& q) {
  m_q.data = q;
  m_dyn->JntToGravity(m_q, m_out);
  return m_out.data;
}

double SimulatedArm::PotentialEnergy(const Vector6d& q) {
  m_q.data = q;
  const KDL::Vector g(m_parameters.gravity[0], m_parameters.gravity[1], m_parameters.gravity[2]);
  double v = 0.0;
  for (unsigned int s = 0; s < m_chain.getNrOfSegments(); ++s) {
    KDL::Frame f;
    m_fk->JntToCart(m_q, f, static_cast<int>(s) + 1);
    const KDL::RigidBodyInertia& inertia = m_chain.getSegment(s).getInertia();
    const KDL::Vector com = f * inertia.getCOG();
    v -= inertia.getMass() * KDL::dot(g, com);
  }
  return v;
}

double SimulatedArm::KineticEnergy(const Vector6d& q, const Vector6d& qd) {
  return 0.5 * qd.dot(Inertia(q) * qd);
}

Vector6d SimulatedArm::ForwardDynamics(const Vector6d& q, const Vector6d& qd, const Vector6d& tau) {
  const Matrix6d m = Inertia(q);
  const Vector6d rhs =
      tau - CoriolisTorque(q, qd) - GravityTorque(q) - m_parameters.viscousFriction * qd;
  return m.ldlt().solve(rhs);
}

Matrix6d SimulatedArm::DampedInverse(const Matrix6d& J, double bound) {
  Eigen::JacobiSVD<Matrix6d> svd(J, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const Vector6d s = svd.singularValues();
  const double smin = s[5];
  double lambda2 = 0.0;
  if (std::isfinite(bound) && bound > 0.0 && smin < bound) {
    const double ratio = smin / bound;
    lambda2 = (1.0 - ratio * ratio) * bound * bound;
  }
  Vector6d inv;
  for (int i = 0; i < 6; ++i) {
    const double d = s[i] * s[i] + lambda2;
    inv[i] = d > 1e-300 ? s[i] / d : 0.0;
  }
  return svd.matrixV() * inv.asDiagonal() * svd.matrixU().transpose();
}

double SimulatedArm::MinSingularValue(const Matrix6d& J) {
  Eigen::JacobiSVD<Matrix6d> svd(J);
  return svd.singularValues()[5];
}

Eigen::Vector3d SimulatedArm::RotationError(const Eigen::Matrix3d& to,
                                            const Eigen::Matrix3d& from) {
  const Eigen::AngleAxisd aa(Eigen::Quaterniond(to * from.transpose()).normalized());
  return aa.angle() * aa.axis();
}

bool SimulatedArm::SolveIk(const Eigen::Isometry3d& target, Vector6d& q, int maxIterations) {
  for (int it = 0; it < maxIterations; ++it) {
    const Eigen::Isometry3d now = Pose(q);
    Vector6d e;
    e.head<3>() = target.translation() - now.translation();
    e.tail<3>() = RotationError(target.linear(), now.linear());
    if (e.norm() < 1e-9) return true;
    q += DampedInverse(Jacobian(q), 1e-3) * e;
  }
  const Eigen::Isometry3d now = Pose(q);
  Vector6d e;
  e.head<3>() = target.translation() - now.translation();
  e.tail<3>() = RotationError(target.linear(), now.linear());
  return e.norm() < 1e-9;
}

}  // namespace hostsim
