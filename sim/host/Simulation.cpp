#include "Simulation.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>

namespace hostsim {
namespace {

// Writes six floats into a field of a packed record (which may be
// unaligned, so never through a float reference).
template <typename Record>
void ToFloats(const Vector6d& v, Record& record, size_t offset) {
  float values[6];
  for (int i = 0; i < 6; ++i) values[i] = static_cast<float>(v[i]);
  std::memcpy(reinterpret_cast<unsigned char*>(&record) + offset, values, sizeof values);
}

}  // namespace

Simulation::Simulation(const HostParameters& parameters) : m_host(parameters) {
  m_reference = m_host.TcpPose();
}

Simulation::~Simulation() {
  if (m_owned) delete m_module;
  m_module = nullptr;
  m_library.reset();
}

bool Simulation::LoadPlugin(const std::string& path, std::string* error, long id) {
  std::unique_ptr<PluginLibrary> library = PluginLibrary::Open(path, error);
  if (!library) return false;
  ControlModule* module = library->Create(id, error);
  if (module == nullptr) return false;
  if (m_owned) delete m_module;
  m_library = std::move(library);
  m_module = module;
  m_owned = true;
  m_running = false;
  m_module->SetRobotControlContext(&m_host);
  return true;
}

void Simulation::Attach(ControlModule* module) {
  if (m_owned) delete m_module;
  m_library.reset();
  m_module = module;
  m_owned = false;
  m_running = false;
  if (m_module) m_module->SetRobotControlContext(&m_host);
}

void Simulation::Commanded(const Vector6d& stiffness, const Vector6d& force, double time) {
  if (m_paused) {
    // The module keeps its pause gains and applies these at Resume.
    m_savedStiffness = stiffness;
    m_savedForce = force;
    return;
  }
  m_stiffFrom = CommandedStiffness();
  m_forceFrom = CommandedForce();
  m_stiffTo = stiffness;
  m_forceTo = force;
  m_rampStart = m_host.Time();
  m_rampTime = std::max(time, kCycle);
}

Vector6d Simulation::CommandedStiffness() const {
  const double s = std::min(1.0, std::max(0.0, (m_host.Time() - m_rampStart) / m_rampTime));
  return m_stiffFrom + s * (m_stiffTo - m_stiffFrom);
}

void Simulation::MirrorPauseStiffness(const Vector6d& stiffness) {
  m_mirrorPause = true;
  m_pauseStiffness = stiffness;
}

Vector6d Simulation::SetpointDisplacement() {
  if (m_host.getServoMode() != SERVO_POSITION || m_host.getMotionSpace() != SPACE_TASK)
    return Vector6d::Constant(std::numeric_limits<double>::quiet_NaN());
  return Displacement(m_reference, m_host.CommandedPose());
}

Vector6d Simulation::CommandedForce() const {
  const double s = std::min(1.0, std::max(0.0, (m_host.Time() - m_rampStart) / m_rampTime));
  return m_forceFrom + s * (m_forceTo - m_forceFrom);
}

int Simulation::Start(const Vector6d& stiffness, const Vector6d& force, double time) {
  if (!m_module) return -1;
  StartComplianceRecord r{};
  ToFloats(stiffness, r, offsetof(StartComplianceRecord, stiffness));
  ToFloats(force, r, offsetof(StartComplianceRecord, force));
  r.time = static_cast<float>(time);
  m_host.SetForceDirection(Vector6d::Zero());
  m_direction.setZero();
  m_paused = false;
  m_lastStiffness = stiffness;
  m_stiffFrom = m_stiffTo = stiffness;
  m_forceFrom = m_forceTo = Vector6d::Zero();
  m_metrics.EndPhase(m_host.Time());
  const int result = m_module->Start(&r);
  m_running = result == 0 && m_host.ComplianceOn();
  return result;
}

int Simulation::Update(void* record) {
  if (!m_module) return -1;
  const int result = m_module->UpdateControlGain(record);
  if (!m_host.ComplianceOn()) m_running = false;
  return result;
}

int Simulation::SetStiffness(const Vector6d& stiffness, double time) {
  StiffnessCommandRecord r{};
  r.type = CMD_STIFFNESS;
  ToFloats(stiffness, r, offsetof(StiffnessCommandRecord, stiffness));
  r.time = static_cast<float>(time);
  m_lastStiffness = stiffness;
  Vector6d k = stiffness;
  for (int i = 0; i < 6; ++i)
    if (m_direction[i] > 0.5) k[i] = 0.0;
  Commanded(k, m_forceTo, time);
  const int result = Update(&r);
  if (result == 0) m_metrics.BeginMotionPhase(m_host.Time());
  return result;
}

int Simulation::SetForce(const Vector6d& direction, const Vector6d& force, double time,
                         bool relative) {
  ForceCommandRecord r{};
  r.type = CMD_FORCE;
  for (int i = 0; i < 6; ++i) r.direction[i] = direction[i] > 0.5 ? 1 : 0;
  ToFloats(force, r, offsetof(ForceCommandRecord, force));
  r.time = static_cast<float>(time);
  r.relative = relative ? 1 : 0;
  Vector6d dir, k = m_lastStiffness, f = Vector6d::Zero();
  for (int i = 0; i < 6; ++i) {
    dir[i] = r.direction[i] ? 1.0 : 0.0;
    if (r.direction[i]) k[i] = 0.0, f[i] = force[i];
  }
  m_direction = dir;
  m_host.SetForceDirection(dir);
  Commanded(k, f, time);
  const int result = Update(&r);
  if (result == 0) m_metrics.BeginForcePhase(m_host.Time(), dir, f);
  return result;
}

int Simulation::Release(double time) {
  ReleaseForceRecord r{};
  r.type = CMD_RELEASE_FORCE;
  r.time = static_cast<float>(time);
  m_direction.setZero();
  m_host.SetForceDirection(Vector6d::Zero());
  Commanded(m_lastStiffness, Vector6d::Zero(), time);
  const int result = Update(&r);
  if (result == 0) {
    m_metrics.EndPhase(m_host.Time());
    m_metrics.BeginMotionPhase(m_host.Time());
  }
  return result;
}

int Simulation::SetForceFactor(const Vector6d& factors, double time) {
  FactorCommandRecord r{};
  r.type = CMD_FORCE_FACTOR;
  ToFloats(factors, r, offsetof(FactorCommandRecord, factor));
  r.time = static_cast<float>(time);
  return Update(&r);
}

int Simulation::SetDampingFactor(const Vector6d& factors, double time) {
  FactorCommandRecord r{};
  r.type = CMD_DAMPING_FACTOR;
  ToFloats(factors, r, offsetof(FactorCommandRecord, factor));
  r.time = static_cast<float>(time);
  return Update(&r);
}

int Simulation::UpdateRaw(const unsigned char* record, size_t size) {
  // The module may read up to the end of the largest record; pad with zeros.
  unsigned char buffer[64] = {};
  std::memcpy(buffer, record, std::min(size, sizeof buffer));
  return Update(buffer);
}

int Simulation::StartRaw(const unsigned char* record, size_t size) {
  if (!m_module) return -1;
  unsigned char buffer[64] = {};
  std::memcpy(buffer, record, std::min(size, sizeof buffer));
  m_host.SetForceDirection(Vector6d::Zero());
  m_direction.setZero();
  m_metrics.EndPhase(m_host.Time());
  const int result = m_module->Start(buffer);
  m_running = result == 0 && m_host.ComplianceOn();
  return result;
}

int Simulation::Pause() {
  if (!m_module) return -1;
  unsigned char record[64] = {};
  const double deceleration = m_host.getCalculateDecTime_w_CurJvel();
  const int result = m_module->Pause(record);
  if (result == 0 && m_mirrorPause && m_running && !m_paused) {
    m_pauseRampTime = std::max(0.025, deceleration);
    m_savedStiffness = m_stiffTo;
    m_savedForce = m_forceTo;
    const Vector6d stiffness = m_pauseStiffness, direction = m_direction;
    Commanded(stiffness, Vector6d::Zero(), m_pauseRampTime);
    m_direction = direction;
    m_paused = true;
  }
  // A pause moves the rest point (the arm is held where it comes to rest).
  if (result == 0) m_metrics.BeginMotionPhase(m_host.Time());
  return result;
}

int Simulation::Resume() {
  if (!m_module) return -1;
  unsigned char record[64] = {};
  const int result = m_module->Resume(record);
  if (result == 0 && m_paused) {
    m_paused = false;
    const Vector6d direction = m_direction;
    Commanded(m_savedStiffness, m_savedForce, m_pauseRampTime);
    m_direction = direction;
  }
  if (result == 0) m_metrics.BeginMotionPhase(m_host.Time());
  return result;
}

int Simulation::Stop(bool refuse) {
  if (!m_module) return -1;
  StopComplianceRecord r{};
  r.refuse = refuse ? 1 : 0;
  const int result = m_module->Stop(&r);
  if (result == 0 || !m_host.ComplianceOn()) m_running = false;
  if (!m_running) m_paused = false;
  if (!m_running) m_metrics.EndPhase(m_host.Time());
  return result;
}

int Simulation::CheckControlState() {
  return m_module ? m_module->CheckControlState() : 0;
}

void Simulation::Step() {
  const bool drove = m_running && m_module;
  const int every = m_host.Parameters().overrunEvery;
  const bool missed = every > 0 && m_steps % every == every - 1;
  ++m_steps;
  if (drove && !missed) {
    // After a missed cycle the host makes up for it with a second call.
    for (int call = m_madeUp ? 2 : 1; call > 0 && m_running; --call) {
      m_module->DoControl();
      if (!m_host.ComplianceOn()) m_running = false;
    }
  }
  m_madeUp = missed;
  m_host.Actuate();
  Record(drove);
  if (drove && !m_running) m_metrics.EndPhase(m_host.Time());
}

void Simulation::Record(bool drove) {
  MetricSample s;
  s.time = m_host.Time();
  s.running = drove;
  s.wrench = m_host.AppliedWrench();
  s.surface = m_host.HasSurface();
  s.penetration = m_host.Penetration();
  s.contact = m_host.InContact();
  s.position = m_host.TcpPose().translation();
  s.servo = m_host.getServoMode();
  s.space = m_host.getMotionSpace();
  s.poseSetpoint = m_host.CommandedPose().translation();
  s.jointSetpoint = m_host.CommandedJoints();
  s.torqueSetpoint = m_host.CommandedTorque();
  s.finite = m_host.Joints().allFinite() && m_host.CommandedTorque().allFinite();
  s.targetMoving = m_host.getMotionLibStatus() != 0;
  s.targetPosition = m_host.TargetPose().translation();
  s.velocity = m_host.TcpVelocity().head<3>();
  const HostParameters& p = m_host.Parameters();
  if (p.holeDepth > 0.0) {
    s.insertion = p.holeMouth.z() - s.position.z();
    // Within 1 mm of the floor (or 80 % of a shallow hole) counts as in.
    s.insertedAt = std::max(0.8 * p.holeDepth, p.holeDepth - 0.001);
  }
  m_metrics.Add(s);
}

RunMetrics Simulation::ComputeMetrics() {
  m_metrics.SetNonFiniteSetpoints(m_host.NonFiniteSetpoints());
  return m_metrics.Compute();
}

void Simulation::Run(double seconds, const std::function<void()>& perCycle) {
  const long cycles = std::lround(seconds / kCycle);
  for (long i = 0; i < cycles; ++i) {
    Step();
    if (perCycle) perCycle();
  }
}

bool Simulation::RunUntil(const std::function<bool()>& done, double seconds) {
  const long cycles = std::lround(seconds / kCycle);
  for (long i = 0; i < cycles; ++i) {
    if (done()) return true;
    Step();
  }
  return done();
}

Vector6d Simulation::Displacement(const Eigen::Isometry3d& from, const Eigen::Isometry3d& to) {
  Vector6d d;
  d.head<3>() = to.translation() - from.translation();
  d.tail<3>() = SimulatedArm::RotationError(to.linear(), from.linear());
  return d;
}

Vector6d Simulation::TcpDisplacement() const {
  return Displacement(m_reference, m_host.TcpPose());
}

Vector6d Simulation::TargetDisplacement() const {
  return Displacement(m_reference, m_host.TargetPose());
}

void Simulation::ResetReference() {
  m_reference = m_host.TcpPose();
}

}  // namespace hostsim
