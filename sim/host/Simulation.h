// Simulation: the control host's cycle around one module and one simulated
// arm. This is the C++ API for closed-loop tests:
//
//   hostsim::Simulation sim;                        // default arm and posture
//   std::string error;
//   ASSERT_TRUE(sim.LoadPlugin(PLUGIN_PATH, &error)) << error;
//   ASSERT_EQ(0, sim.Start(k, Vector6d::Zero(), 0.1));
//   sim.Host().Wrench().Step(wrench);               // push the TCP
//   sim.Run(2.0);                                   // 2000 cycles of 1 ms
//   sim.TcpDisplacement();                          // where the TCP went
//   sim.Host().CommandedTorque();                   // what the module sent
//
// Each command is encoded into its record exactly as the host does and
// handed to the module; the result is the module's return value. Every
// Step: the module's DoControl (while control runs), then the arm moves by
// the servo mode and the measurements are refreshed. Control runs from a
// Start that returned 0 until a Stop that returned 0 or until the module
// switches compliance off (FinControl).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ComplianceCommands.h"
#include "ControlModule.h"
#include "Metrics.h"
#include "PluginLibrary.h"
#include "SimulatedHost.h"

namespace hostsim {

class Simulation {
 public:
  explicit Simulation(const HostParameters& parameters = HostParameters());
  ~Simulation();
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  SimulatedHost& Host() { return m_host; }
  // Opens a plug-in library, creates its module with `id` and hands it the
  // host context. False with *error on failure (no module then).
  bool LoadPlugin(const std::string& path, std::string* error, long id = 1);
  // Drives a module built into the test instead (not owned).
  void Attach(ControlModule* module);
  ControlModule* Module() { return m_module; }

  // Commands, as the host sends them.
  int Start(const Vector6d& stiffness, const Vector6d& force, double time);
  int SetStiffness(const Vector6d& stiffness, double time);
  // Direction entries above 0.5 become flag bytes of 1.
  int SetForce(const Vector6d& direction, const Vector6d& force, double time, bool relative);
  int Release(double time);
  int SetForceFactor(const Vector6d& factors, double time);
  int SetDampingFactor(const Vector6d& factors, double time);
  int Pause();
  int Resume();
  int Stop(bool refuse = false);
  // Any bytes as a gain-update or a start record (zero-padded to 64 bytes,
  // more than any record the module reads).
  int UpdateRaw(const unsigned char* record, size_t size);
  int StartRaw(const unsigned char* record, size_t size);
  int CheckControlState();

  // True while the module is driven every cycle.
  bool Running() const { return m_running; }
  void Step();
  // Runs whole cycles for `seconds`; `perCycle` (if given) runs after each.
  void Run(double seconds, const std::function<void()>& perCycle = {});
  // Runs until `done` holds or `seconds` pass; true when it held.
  bool RunUntil(const std::function<bool()>& done, double seconds);

  // TCP displacement from the pose at construction (or the last
  // ResetReference): translation, then rotation vector, base frame.
  Vector6d TcpDisplacement() const;
  Vector6d TargetDisplacement() const;
  // The module's pose set-point as a displacement like TcpDisplacement,
  // while the host runs position servo in task space; NaN otherwise (a
  // torque-servo module has no pose set-point).
  Vector6d SetpointDisplacement();
  void ResetReference();

  // The host's view of what it commanded: stiffness and force per axis,
  // moving linearly over each command's ramp time.
  Vector6d CommandedStiffness() const;
  Vector6d CommandedForce() const;
  // A module that holds with gains of its own while paused (the impedance
  // plug-in: every axis ramps to these, without force, over the host's
  // deceleration time, at least 0.025 s, and back on Resume): the host's
  // view above then follows it. Commands received while paused take effect
  // at Resume, as they do in the module.
  void MirrorPauseStiffness(const Vector6d& stiffness);

  // Metrics of the run so far. Commands mark the phases; a scripted wrench
  // step marks one through Metrics().BeginMotionPhase(Host().Time()).
  MetricsRecorder& Metrics() { return m_metrics; }
  RunMetrics ComputeMetrics();

 private:
  int Update(void* record);
  void Record(bool drove);
  void Commanded(const Vector6d& stiffness, const Vector6d& force, double time);
  static Vector6d Displacement(const Eigen::Isometry3d& from, const Eigen::Isometry3d& to);

  SimulatedHost m_host;
  std::unique_ptr<PluginLibrary> m_library;
  ControlModule* m_module = nullptr;
  bool m_owned = false;
  bool m_running = false;
  long m_steps = 0;       // cycles stepped, for the host's missed cycles
  bool m_madeUp = false;  // the last cycle was missed: call twice now
  Eigen::Isometry3d m_reference;
  // Host-side command ramps (for logs and plots).
  Vector6d m_stiffFrom = Vector6d::Zero(), m_stiffTo = Vector6d::Zero();
  Vector6d m_forceFrom = Vector6d::Zero(), m_forceTo = Vector6d::Zero();
  Vector6d m_lastStiffness = Vector6d::Zero(), m_direction = Vector6d::Zero();
  double m_rampStart = 0.0, m_rampTime = 0.0;
  bool m_mirrorPause = false, m_paused = false;
  Vector6d m_pauseStiffness = Vector6d::Zero();
  Vector6d m_savedStiffness = Vector6d::Zero(), m_savedForce = Vector6d::Zero();
  double m_pauseRampTime = 0.0;
  MetricsRecorder m_metrics;
};

}  // namespace hostsim
