// Metrics of a closed-loop run: how hard the tool hit, how well it held the
// commanded force, how fast and how cleanly it settled, how far it went
// into a surface and how large the module's set-point jumps were. The
// definitions are in docs/control.md ("Metrics"); in short:
//
//   A run is cut into phases by the commands and scripted wrenches. A force
//   phase starts with a force command that asks for a non-zero force on its
//   selected axes; a motion phase starts with a scripted wrench (step or
//   ramp), a stiffness command, a release, a pause or a resume. A phase ends where the next one
//   starts, at a start or stop command, when control ends, or at the end of
//   the run.
//   Force phase, target F (the commanded force on the selected axes): the
//   response is the force the tool exerts on its surroundings along F,
//   f = -w . F/|F| (w: the wrench the surroundings apply to the TCP).
//   Motion phase: the response is the TCP translation from where the phase
//   started, along the direction to where it ended; its target is that
//   final distance.
//
// The recorder is fed once per cycle and keeps a bounded amount of state
// (one second of samples), so a run of any length costs fixed memory.
#pragma once

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "RobotControlContext.h"

namespace hostsim {

using Eigen::Vector6d;

// A metric without meaning for the run (null in JSON).
constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// What the plant and the host show after one cycle.
struct MetricSample {
  double time = 0.0;                                   // s, end of the cycle
  bool running = false;                                // the module drove this cycle
  Vector6d wrench = Vector6d::Zero();                  // applied by the surroundings, base frame
  bool contact = false;                                // touching a declared surface
  double penetration = 0.0;                            // m, deepest point inside a surface
  bool surface = false;                                // a surface is declared
  Eigen::Vector3d position = Eigen::Vector3d::Zero();  // TCP, m
  int servo = 0;                                       // SERVO_MODE
  int space = 0;                                       // MOTION_SPACE
  Eigen::Vector3d poseSetpoint = Eigen::Vector3d::Zero();  // task set-point position, m
  Vector6d jointSetpoint = Vector6d::Zero();               // rad
  Vector6d torqueSetpoint = Vector6d::Zero();              // Nm
  bool finite = true;                                      // state and set-points finite
  // The trajectory target: moving (motion library status non-zero) and
  // where it is (m); the TCP's linear velocity (m/s, base frame).
  bool targetMoving = false;
  Eigen::Vector3d targetPosition = Eigen::Vector3d::Zero();
  Eigen::Vector3d velocity = Eigen::Vector3d::Zero();
  // How far the TCP is inside a declared hole (m below its mouth along its
  // axis) and the depth that counts as inserted; NaN without a hole.
  double insertion = kNoValue;
  double insertedAt = kNoValue;
};

// One phase's figures; a NaN field has no meaning for the phase.
struct PhaseMetrics {
  enum Kind { kForce, kMotion } kind = kForce;
  double start = 0.0, end = 0.0;      // s
  double target = kNoValue;           // N (force) or m (motion)
  double peak = kNoValue;             // largest response, N or m
  double firstImpactPeak = kNoValue;  // N: largest force of the first contact in the phase
  double steadyError = kNoValue;      // N: |mean force error| over the phase's last second
  double settlingTime = kNoValue;     // s from the phase start; NaN when it never settled
  double overshootPct = kNoValue;     // % of the step
  long liftOffs = 0;                  // contact lost after it was made
  bool judged = false;                // the phase made a step worth judging
  bool settled = false;
  bool steady = false;  // last second: no contact loss, peak-to-peak under 10 % of the target
  // Force phases while the trajectory target moves (NaN when it does not):
  double forceErrorRms = kNoValue;  // N, of (force along the command - command)
  double forceErrorMax = kNoValue;  // N, largest |error|
  double trackingLagMm = kNoValue;  // largest TCP-target distance across the command
  double contactLost = kNoValue;    // s out of contact after the first touch
  // Force phases that lost contact for good (NaN otherwise): largest TCP
  // speed along the command and travel along it from the point of loss.
  double speedAfterLossMmS = kNoValue;
  double travelAfterLossMm = kNoValue;
  // Force phases with a hole declared (inserted < 0: no hole).
  int inserted = -1;
  double insertionTime = kNoValue;     // s from the phase start
  double peakLateralForce = kNoValue;  // N, largest force across the command
};

struct RunMetrics {
  // NaN: no meaning for this run (written as null).
  double peakForce = 0.0;                     // N, largest |force| the surroundings applied
  double firstImpactPeak = kNoValue;          // N, first force phase
  double impactPeakRatio = kNoValue;          // first-impact peak over the commanded force
  double steadyForceError = kNoValue;         // N, worst force phase
  double settlingTime = kNoValue;             // s, worst phase (force phases if any, else motion)
  double overshootPct = kNoValue;             // %, worst phase, same choice
  double liftOffs = kNoValue;                 // force phases; NaN when there is none
  double maxPenetrationMm = kNoValue;         // NaN without a surface
  double maxSetpointStep = kNoValue;          // in maxSetpointStepUnit
  const char* maxSetpointStepUnit = nullptr;  // "mm", "rad" or "Nm"
  double maxPoseStepMm = kNoValue;            // task-space position set-point
  double maxJointStepRad = kNoValue;          // joint position set-point
  double maxTorqueStepNm = kNoValue;          // torque set-point
  long nonFiniteSetpoints = 0;
  bool finite = true;
  int stable = -1;  // 1, 0, or -1 when there is no phase to judge
  // Worst force phase (NaN: no force phase had a meaning for it).
  double forceErrorRms = kNoValue, forceErrorMax = kNoValue, trackingLagMm = kNoValue;
  double contactLost = kNoValue;
  double speedAfterLossMmS = kNoValue, travelAfterLossMm = kNoValue;
  int inserted = -1;                // 1 when a force phase inserted, -1 without a hole
  double insertionTime = kNoValue;  // first phase that inserted
  double peakLateralForce = kNoValue;
  std::vector<PhaseMetrics> phases;
};

class MetricsRecorder {
 public:
  MetricsRecorder();

  // Phase boundaries, at simulated time `now`. `direction` selects the
  // force axes (entries above 0.5), `force` is the commanded force on them;
  // a command with no force on its axes only ends the phase in force.
  void BeginForcePhase(double now, const Vector6d& direction, const Vector6d& force);
  // A motion phase does not cut a force phase short: end that first.
  void BeginMotionPhase(double now);
  void EndPhase(double now);

  void Add(const MetricSample& sample);
  // Refused set-points, counted by the host.
  void SetNonFiniteSetpoints(long count) { m_nonFinite = count; }

  // Closes the open phase (without changing the recorder) and computes.
  RunMetrics Compute() const;

 private:
  struct Window {  // one cycle of a phase's last second
    double time;
    double response;
    Vector6d error;
    bool contact;
  };
  struct Trace {  // the phase's course, thinned out when long
    double time;
    Eigen::Vector3d position;
    double response;
  };
  struct Open {
    PhaseMetrics m;
    bool active = false;
    Vector6d force = Vector6d::Zero(), mask = Vector6d::Zero();
    double responseAtStart = 0.0;
    bool haveStart = false;
    bool touched = false, inFirstContact = false, wasContact = false;
    std::vector<Window> window;  // ring of one second
    size_t head = 0, count = 0;
    std::vector<Trace> trace;
    int stride = 1, skipped = 0;
    // Sliding, contact loss and insertion accumulators.
    double errorSquares = 0.0;
    long movingSamples = 0;
    bool lost = false;  // out of contact since `lossPosition`
    Eigen::Vector3d lossPosition = Eigen::Vector3d::Zero();
    double lossSpeed = 0.0, lossTravel = 0.0;
  };

  void Close(Open& open, double now, std::vector<PhaseMetrics>& out) const;

  Open m_open;
  std::vector<PhaseMetrics> m_done;
  MetricSample m_last;
  bool m_haveLast = false;
  double m_peakForce = 0.0;
  double m_maxPenetration = 0.0;
  bool m_surface = false;
  double m_poseStep = -1.0, m_jointStep = -1.0, m_torqueStep = -1.0;
  long m_poseCycles = 0, m_jointCycles = 0, m_torqueCycles = 0;
  long m_nonFinite = 0;
  bool m_finite = true;
};

// A run metric by its JSON key (booleans as 1 / 0); NaN when it has no
// meaning for the run; false for an unknown key.
bool MetricByKey(const RunMetrics& metrics, const std::string& key, double* value);

// The metrics as one JSON object (null for NaN), and as readable lines.
void WriteMetricsJson(FILE* out, const RunMetrics& metrics, const std::string& name,
                      const std::string& plant);
void PrintMetrics(FILE* out, const RunMetrics& metrics);

}  // namespace hostsim
