// Scenario files for the simulated host: settings of the arm and the host,
// then commands and wrenches scheduled in time. The format is described in
// docs/control.md; in short, one item per line, '#' starts a comment:
//
//   duration 4                     posture 0 30 60 0 90 0   (degrees)
//   tool 0 0 0.1 (m)   payload 1   model 0   sv_max 0.05   fts 0
//   at 0    start stiffness 3000 3000 3000 200 200 200 force 0 0 0 0 0 0 time 0.1
//   at 0.5  wrench 10 0 0 0 0 0          at 1.0 ramp 0.5 0 0 0 0 0 0
//   at 1.5  wall 0.87 0 0.49 0 0 1 20000 [damping 50]
//   at 2    force dir 0 0 1 0 0 0 value 0 0 -10 0 0 0 time 0.5 [relative]
//   at 3    release time 0.5     at 3.5 pause    at 3.8 resume    at 4 stop
//
// The plant (kdl by default) and what only the MuJoCo plant uses:
//   plant mujoco    servo_kp 25000 25000 12000 2500 2500 1500   servo_kd ...
//   substeps 2      friction_loss 0 0 0 0 0 0 (Nm)   unreported_payload 1 (kg)
//   mass_scale 1.1  contact plane 0.87 0 0.5 0 0 1 stiffness 1e5 [damping 50] [friction 0.5]
//   contact box 0.9 0 0.45 0 0 30 0.05 0.05 0.05 stiffness 2e4   (centre, degrees, half sizes)
// Sensor settings for either plant: fts_bias fx fy fz mx my mz, sensor_delay 0|1.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Simulation.h"

namespace hostsim {

struct ScenarioEvent {
  double time = 0.0;
  int line = 0;
  std::string kind;  // start, stiffness, force, release, force_factor, ...
  Vector6d a = Vector6d::Zero();
  Vector6d b = Vector6d::Zero();
  Eigen::Vector3d point = Eigen::Vector3d::Zero();
  double value = 0.0;                // ramp / move duration, wall stiffness, command time
  double damping = 0.0;              // wall damping
  bool flag = false;                 // relative force, refusing stop
  std::vector<unsigned char> bytes;  // raw records
  std::string text;                  // the command as written (after the time), for the log
};

// What a scenario promises of its run: `expect KEY < V`, `expect KEY > V`
// or `expect KEY = true|false|V` on a metric key (docs/control.md,
// "Metrics"). A metric without meaning (null) fails its expectation.
struct Expectation {
  std::string key;
  char op = '<';  // '<', '>' or '='
  double value = 0.0;
  int line = 0;
};

struct Scenario {
  std::string name;
  std::string plugin;  // optional default plug-in path
  double duration = 1.0;
  HostParameters host;
  std::vector<ScenarioEvent> events;  // sorted by time, stable
  std::vector<Expectation> expectations;
  // With `origin tcp`, the points of walls, contacts and holes are given
  // from the TCP's start position (base-frame axes), so a scenario serves
  // every arm size; by default they are base-frame positions.
  bool originAtTcp = false;

  // Where the TCP starts: the arm's pose at its start posture.
  static Eigen::Vector3d StartTcpPosition(const HostParameters& host);

  // Parses a scenario text. False with "<name>:<line>: <reason>" in *error.
  static bool Parse(const std::string& text, const std::string& name, Scenario* out,
                    std::string* error);
  static bool Load(const std::string& path, Scenario* out, std::string* error);
};

// What a scenario run saw.
struct RunSummary {
  long cycles = 0;
  double simulatedSeconds = 0.0;
  double wallSeconds = 0.0;
  double maxForce = 0.0;         // largest applied force, N
  double maxDisplacement = 0.0;  // largest TCP translation from the start, m
  Vector6d finalDisplacement = Vector6d::Zero();
  Vector6d finalWrench = Vector6d::Zero();
  bool finiteThroughout = true;  // every state and set-point stayed finite
  RunMetrics metrics;
  // Whether the run met every expectation of the scenario (true without
  // any); `verdict` lists each one with the value reached.
  bool expectationsMet = true;
  std::string verdict;
};

struct RunOptions {
  bool realtime = false;  // pace cycles at 1 ms of wall time
  int logEvery = 1;       // one CSV row per this many cycles
  FILE* csv = nullptr;    // CSV log (header and rows), or null
  FILE* story = nullptr;  // one readable line per event, or null
  // Every scenario event as it fired, for plot markers, or null: CSV with
  // t,kind,result,text (result empty for wrenches, walls and moves).
  FILE* events = nullptr;
};

// Runs the scenario's events on `sim` (whose module is loaded) for the
// scenario's duration.
RunSummary RunScenario(const Scenario& scenario, Simulation& sim, const RunOptions& options);

}  // namespace hostsim
