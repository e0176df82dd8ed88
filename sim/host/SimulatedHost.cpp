#include "SimulatedHost.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "KdlPlant.h"
#include "MujocoPlant.h"

namespace hostsim {
namespace {

constexpr double kPi = 3.141592653589793;
// First-order low-pass at 20 Hz, sampled every cycle.
const double kFilterGain = (kCycle * 2.0 * kPi * 20.0) / (1.0 + kCycle * 2.0 * kPi * 20.0);
constexpr size_t kMaxErrors = 1024;

bool Finite(const Vector6d& v) {
  return v.allFinite();
}

// A pose a servo can take: finite, and a rotation close to orthonormal.
bool Usable(const Mota::TaskPosition& pose) {
  if (!pose.position.allFinite() || !pose.rotation.allFinite()) return false;
  const Eigen::Matrix3d& r = pose.rotation;
  return (r.transpose() * r - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff() < 0.1;
}

}  // namespace

// ---------------------------------------------------------------------------

void WrenchSources::Step(const Vector6d& wrench) {
  m_from = m_to = wrench;
  m_rampStart = m_rampEnd = 0.0;
}

void WrenchSources::Ramp(double now, double duration, const Vector6d& wrench) {
  m_from = Constant(now);
  m_to = wrench;
  m_rampStart = now;
  m_rampEnd = now + std::max(duration, 0.0);
}

void WrenchSources::SetWall(const Eigen::Vector3d& point, const Eigen::Vector3d& normal,
                            double stiffness, double damping) {
  m_wall = true;
  m_wallPoint = point;
  m_wallNormal = normal.norm() > 0.0 ? normal.normalized() : Eigen::Vector3d::UnitZ();
  m_wallStiffness = stiffness;
  m_wallDamping = damping;
}

void WrenchSources::ClearWall() {
  m_wall = false;
}

double WrenchSources::WallDepth(const Eigen::Vector3d& p) const {
  if (!m_wall) return 0.0;
  return std::max(0.0, -(p - m_wallPoint).dot(m_wallNormal));
}

Vector6d WrenchSources::Constant(double t) const {
  if (t >= m_rampEnd || m_rampEnd <= m_rampStart) return m_to;
  if (t <= m_rampStart) return m_from;
  const double s = (t - m_rampStart) / (m_rampEnd - m_rampStart);
  return m_from + s * (m_to - m_from);
}

Vector6d WrenchSources::Evaluate(double t, const Eigen::Vector3d& p,
                                 const Eigen::Vector3d& v) const {
  Vector6d w = Constant(t);
  if (m_wall) {
    const double depth = -(p - m_wallPoint).dot(m_wallNormal);
    if (depth > 0.0) {
      const double inward = -v.dot(m_wallNormal);
      const double push = std::max(0.0, m_wallStiffness * depth + m_wallDamping * inward);
      w.head<3>() += push * m_wallNormal;
    }
  }
  return w;
}

// ---------------------------------------------------------------------------

void TrajectoryTarget::Hold(const Eigen::Isometry3d& pose) {
  m_hold = pose;
  m_moving = false;
}

void TrajectoryTarget::Begin(double start, double duration, Profile profile) {
  if (m_moving) Halt(start);  // start from where the running move is now
  m_start = start;
  m_duration = std::max(duration, kCycle);
  m_profile = profile;
  m_moving = true;
}

void TrajectoryTarget::Move(double start, double duration, const Vector6d& displacement) {
  Begin(start, duration, kQuintic);
  m_delta = displacement;
}

void TrajectoryTarget::Line(double start, double duration, const Vector6d& displacement,
                            double blend) {
  Begin(start, duration, kLine);
  m_delta = displacement;
  m_blend = std::min(std::max(blend, kCycle), 0.5 * m_duration);
}

void TrajectoryTarget::Spiral(double start, double duration, double radius, double turns) {
  Begin(start, duration, kSpiral);
  m_delta.setZero();
  m_radius = radius;
  m_turns = turns;
}

void TrajectoryTarget::Halt(double t) {
  Eigen::Isometry3d pose;
  Vector6d v, a;
  int32_t status;
  Evaluate(t, pose, v, a, status);
  Hold(pose);
}

Eigen::Isometry3d TrajectoryTarget::End() const {
  Eigen::Isometry3d end = m_hold;
  if (m_profile == kSpiral) {
    const double angle = 2.0 * 3.141592653589793 * m_turns;
    end.translation() += m_radius * Eigen::Vector3d(std::cos(angle), std::sin(angle), 0.0);
    return end;
  }
  end.translation() += m_delta.head<3>();
  const double angle = m_delta.tail<3>().norm();
  if (angle > 0.0)
    end.linear() = Eigen::AngleAxisd(angle, m_delta.tail<3>() / angle) * m_hold.linear();
  return end;
}

void TrajectoryTarget::Evaluate(double t, Eigen::Isometry3d& pose, Vector6d& velocity,
                                Vector6d& acceleration, int32_t& status) {
  if (m_moving && t >= m_start + m_duration) {
    m_hold = End();
    m_moving = false;
  }
  if (!m_moving || t < m_start) {
    pose = m_hold;
    velocity.setZero();
    acceleration.setZero();
    status = m_moving ? 1 : 0;
    return;
  }
  const double T = m_duration;
  const double tau = t - m_start;
  pose = m_hold;
  status = 1;
  if (m_profile == kSpiral) {
    const double u = tau / T, w = 2.0 * 3.141592653589793 * m_turns;
    const double c = std::cos(w * u), sn = std::sin(w * u), R = m_radius;
    pose.translation() += R * u * Eigen::Vector3d(c, sn, 0.0);
    velocity.setZero();
    acceleration.setZero();
    velocity.head<2>() = (R / T) * Eigen::Vector2d(c - u * w * sn, sn + u * w * c);
    acceleration.head<2>() = (R / (T * T)) * Eigen::Vector2d(-2.0 * w * sn - u * w * w * c,
                                                             2.0 * w * c - u * w * w * sn);
    return;
  }
  double s, sd, sdd;
  if (m_profile == kLine) {
    // Trapezoidal speed: accelerate over the blend, cruise, decelerate.
    const double tb = m_blend, v = 1.0 / (T - tb), a = v / tb;
    if (tau < tb) {
      s = 0.5 * a * tau * tau, sd = a * tau, sdd = a;
    } else if (tau < T - tb) {
      s = v * (tau - 0.5 * tb), sd = v, sdd = 0.0;
    } else {
      const double r = T - tau;
      s = 1.0 - 0.5 * a * r * r, sd = a * r, sdd = -a;
    }
  } else {
    const double x = tau / T;
    s = x * x * x * (10.0 - 15.0 * x + 6.0 * x * x);
    sd = 30.0 * x * x * (1.0 - x) * (1.0 - x) / T;
    sdd = 60.0 * x * (1.0 - x) * (1.0 - 2.0 * x) / (T * T);
  }
  pose.translation() += s * m_delta.head<3>();
  const double angle = m_delta.tail<3>().norm();
  if (angle > 0.0)
    pose.linear() = Eigen::AngleAxisd(s * angle, m_delta.tail<3>() / angle) * m_hold.linear();
  velocity = sd * m_delta;
  acceleration = sdd * m_delta;
}

// ---------------------------------------------------------------------------

SimulatedHost::SimulatedHost(const HostParameters& parameters)
    : m_p(parameters), m_arm(parameters.arm), m_rng(parameters.seed) {
  m_errors.reserve(kMaxErrors);
  Reset();
}

SimulatedHost::~SimulatedHost() = default;

void SimulatedHost::MakePlant() {
  m_plant.reset();
  m_plantError.clear();
  if (m_p.plant == PlantKind::kMujoco) {
    auto plant = std::make_unique<MujocoPlant>(m_p.arm, m_p.mujoco, m_p.torqueLimit, m_wrench);
    if (plant->Ok())
      m_plant = std::move(plant);
    else
      m_plantError = plant->Error();
  } else {
    m_plant = std::make_unique<KdlPlant>(m_arm, m_wrench);
  }
}

void SimulatedHost::Reset() {
  m_arm.SetTool(m_p.arm.tool, m_p.arm.payload);
  m_arm.SetGravity(m_p.arm.gravity);
  m_arm.SetRotor(m_p.arm.motorInertia, m_p.arm.gearRatio);
  CRobotInfo::Monitoring.extTorqueLimit = m_p.extTorqueLimit;
  CRobotInfo::fts = m_p.fts;
  for (int i = 0; i < 6; ++i) {
    CRobotInfo::motorinertia[i] = m_p.arm.motorInertia[i];
    CRobotInfo::gearratio[i] = m_p.arm.gearRatio[i];
  }
  m_rng.seed(m_p.seed);
  m_t = 0.0;
  m_servo = SERVO_POSITION;
  m_space = SPACE_JOINT;
  m_compForce = COMPFORCE_OFF;
  m_expTime = 0;
  m_refCoord = m_p.frame;
  m_forceDir.setZero();
  m_wrench = WrenchSources();
  MakePlant();
  m_errors.clear();
  m_nonFinite = m_speedLimited = m_torqueLimited = 0;
  Vector6d q;
  for (int i = 0; i < 6; ++i) q[i] = m_p.postureDeg[i] * kPi / 180.0;
  SetJoints(q);
}

void SimulatedHost::SetJoints(const Vector6d& q, const Vector6d& qd) {
  m_q = q;
  m_qd = qd;
  m_qRef = q;
  m_qdRef = qd;
  if (m_plant) m_plant->Place(q, qd);
  m_qdFiltered = qd;
  m_extTorqueFiltered.setZero();
  m_wrenchFiltered.setZero();
  m_wrenchPrevious.setZero();
  m_extTorquePrevious.setZero();
  m_qD = m_qInit = q;
  m_qdD.setZero();
  m_velD.setZero();
  m_pose = m_arm.Pose(q);
  m_poseD = m_pose;
  m_trajectory.Hold(m_pose);
  m_g = m_arm.GravityTorque(q);
  m_trqD = m_g;
  Sense();
}

void SimulatedHost::Sense() {
  m_pose = m_arm.Pose(m_q);
  m_J = m_arm.Jacobian(m_q);
  m_Jdot = m_arm.JacobianDot(m_q, m_qd);
  m_M = m_arm.LinkInertia(m_q);
  m_C = m_arm.CoriolisMatrix(m_q, m_qd);
  m_g = m_arm.GravityTorque(m_q);
  m_minSingular = SimulatedArm::MinSingularValue(m_J);
  ExternalLoad load;
  if (m_plant) load = m_plant->Sense(m_t, m_pose, m_J);
  m_extWrench = load.toolWrench;
  m_extTorque = load.jointTorque;
  m_penetration = load.penetration;
  Vector6d torqueMeasured, wrenchMeasured = load.wristWrench + m_p.wrenchBias;
  for (int i = 0; i < 6; ++i) {
    torqueMeasured[i] = load.jointTorqueSensed[i] + Noise(m_p.torqueNoise);
    wrenchMeasured[i] += Noise(m_p.wrenchNoise);
  }
  if (m_p.sensorDelay) {
    std::swap(torqueMeasured, m_extTorquePrevious);
    std::swap(wrenchMeasured, m_wrenchPrevious);
  }
  const long every = m_p.staleSensorEvery;
  const bool stale =
      every > 0 && m_senses >= every && m_senses % every < std::max(0, m_p.staleSensorCycles);
  ++m_senses;
  if (!stale) {
    m_extTorqueMeasured = torqueMeasured;
    m_extTorqueFiltered += kFilterGain * (m_extTorqueMeasured - m_extTorqueFiltered);
    m_wrenchFiltered += kFilterGain * (wrenchMeasured - m_wrenchFiltered);
  }
  m_trajectory.Evaluate(m_t, m_targetPose, m_targetVel, m_targetAcc, m_motionStatus);
}

double SimulatedHost::Noise(double sigma) {
  if (sigma <= 0.0) return 0.0;
  std::normal_distribution<double> n(0.0, sigma);
  return n(m_rng);
}

void SimulatedHost::MoveTowards(const Vector6d& qTarget) {
  Vector6d step = qTarget - m_qRef;
  const double maxStep = m_p.maxJointSpeed * kCycle;
  const double largest = step.cwiseAbs().maxCoeff();
  if (largest > maxStep) {
    step *= maxStep / largest;
    ++m_speedLimited;
  }
  m_qRef += step;
  m_qdRef = step / kCycle;
}

void SimulatedHost::Actuate() {
  ServoCommand command;
  command.servo = m_servo;
  if (m_servo == SERVO_TORQUE) {
    command.tau = m_trqD;
    bool limited = false;
    for (int i = 0; i < 6; ++i) {
      const double lim = m_p.torqueLimit[i];
      if (command.tau[i] > lim) command.tau[i] = lim, limited = true;
      if (command.tau[i] < -lim) command.tau[i] = -lim, limited = true;
    }
    if (limited) ++m_torqueLimited;
  } else if (m_space == SPACE_TASK) {
    // The reference goes towards the joint position of the task set-point.
    Vector6d q = m_qRef;
    m_arm.SolveIk(m_poseD, q, 5);
    MoveTowards(Finite(q) ? q : m_qRef);
    command.qRef = m_qRef;
    command.qdRef = m_qdRef;
  } else {
    MoveTowards(m_qD);
    command.qRef = m_qRef;
    command.qdRef = m_qdRef;
  }
  if (m_plant) {
    const ModelSnapshot model{m_M, m_C, m_g, m_extTorque};
    if (m_plant->Advance(m_t, command, model)) ++m_torqueLimited;
    m_q = m_plant->Joints();
    m_qd = m_plant->JointVelocities();
  }
  if (m_servo == SERVO_TORQUE) {
    // The position servo takes over from wherever the arm is.
    m_qRef = m_q;
    m_qdRef.setZero();
  } else if (m_space == SPACE_TASK) {
    // The host's joint set-point is the joint position the task set-point
    // led to.
    m_qD = m_qRef;
  }
  m_t += kCycle;
  m_qdFiltered += kFilterGain * (m_qd - m_qdFiltered);
  Sense();
}

// ---------------------------------------------------------------------------
// Set-points: NaN or infinity is refused and counted, the previous set-point
// stays.

void SimulatedHost::setJntPos_d(const Vector6d& q) {
  if (!Finite(q)) return void(++m_nonFinite);
  m_qD = q;
}

void SimulatedHost::setJntVel_d(const Vector6d& qd) {
  if (!Finite(qd)) return void(++m_nonFinite);
  m_qdD = qd;
}

void SimulatedHost::setJntVel_d(double value) {
  if (!std::isfinite(value)) return void(++m_nonFinite);
  m_qdD.setConstant(value);
}

void SimulatedHost::setJntTrq_d(const Vector6d& tau) {
  if (!Finite(tau)) return void(++m_nonFinite);
  m_trqD = tau;
}

void SimulatedHost::setJntPosInit(const Vector6d& q) {
  if (!Finite(q)) return void(++m_nonFinite);
  m_qInit = q;
}

void SimulatedHost::setTCPPose_d(Mota::TaskPosition pose) {
  if (!Usable(pose)) return void(++m_nonFinite);
  m_poseD = ToIsometry(pose);
}

void SimulatedHost::setTCPPose_tg(Mota::TaskPosition pose) {
  if (!Usable(pose)) return void(++m_nonFinite);
  m_trajectory.Hold(ToIsometry(pose));
  m_trajectory.Evaluate(m_t, m_targetPose, m_targetVel, m_targetAcc, m_motionStatus);
}

void SimulatedHost::setTCPVel_d(Mota::TaskVelocity velocity) {
  if (!velocity.linear.allFinite() || !velocity.angular.allFinite()) return void(++m_nonFinite);
  m_velD << velocity.linear, velocity.angular;
}

void SimulatedHost::setTCPVel_d(double value) {
  if (!std::isfinite(value)) return void(++m_nonFinite);
  m_velD.setConstant(value);
}

void SimulatedHost::setTCPVel_tg(double value) {
  if (!std::isfinite(value)) return void(++m_nonFinite);
  m_targetVel.setConstant(value);
}

void SimulatedHost::setTCPAcc_tg(double value) {
  if (!std::isfinite(value)) return void(++m_nonFinite);
  m_targetAcc.setConstant(value);
}

void SimulatedHost::ReportError(RC_ERROR_LEVEL level, RC_ERROR_CODE code, const char* text) {
  if (m_errors.size() >= kMaxErrors) return;
  ErrorRecord r;
  r.time = m_t;
  r.level = level;
  r.code = code;
  std::snprintf(r.text, sizeof r.text, "%s", text);
  m_errors.push_back(r);
}

// ---------------------------------------------------------------------------

Mota::TaskPosition SimulatedHost::ToTaskPosition(const Eigen::Isometry3d& pose) {
  Mota::TaskPosition p;
  p.position = pose.translation();
  p.rotation = pose.linear();
  return p;
}

Eigen::Isometry3d SimulatedHost::ToIsometry(const Mota::TaskPosition& pose) {
  Eigen::Isometry3d t = Eigen::Isometry3d::Identity();
  t.translation() = pose.position;
  // Re-orthonormalise: a module may hand over a slightly skewed matrix.
  const Eigen::Quaterniond q(static_cast<const Eigen::Matrix3d&>(pose.rotation));
  t.linear() = q.normalized().toRotationMatrix();
  return t;
}

Mota::TaskVelocity SimulatedHost::ToTaskVelocity(const Vector6d& v) {
  Mota::TaskVelocity t;
  t.linear = v.head<3>();
  t.angular = v.tail<3>();
  t.vector = v;
  return t;
}

Mota::TaskPosition SimulatedHost::Frame(const Eigen::Matrix3d& rotation) {
  Mota::TaskPosition p;
  p.rotation = rotation;
  return p;
}

const Eigen::Matrix3d& SimulatedHost::UserFrame(int index) const {
  static const Eigen::Matrix3d identity = Eigen::Matrix3d::Identity();
  if (index < 0 || index >= static_cast<int>(m_p.userFrames.size())) return identity;
  return m_p.userFrames[index];
}

}  // namespace hostsim
