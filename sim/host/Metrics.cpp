#include "Metrics.h"

#include <algorithm>
#include <cmath>

namespace hostsim {
namespace {

constexpr double kBand = 0.02;          // settling band, share of the step
constexpr double kSteadyWindow = 1.0;   // s, the last second of a phase
constexpr double kSteadyRipple = 0.10;  // peak-to-peak allowed in it, share of the target
constexpr double kMinForce = 1e-6;      // N: below this a force command presses nothing
constexpr double kMinMotion = 1e-4;     // m: a smaller motion is no step to judge
constexpr size_t kWindowSize = 1001;    // cycles of 1 ms in the steady window
constexpr size_t kTraceLimit = 20000;   // samples kept of one phase's course

double Max(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return std::max(a, b);
}

// Settling: the time from `start` after which the response stays within
// the band around `target` up to the end of the trace; NaN when the last
// sample is still outside.
template <typename Trace, typename Response>
double SettlingTime(const std::vector<Trace>& trace, double start, double target, double band,
                    Response response) {
  if (trace.empty()) return kNoValue;
  size_t settledFrom = 0;
  for (size_t i = 0; i < trace.size(); ++i)
    if (std::fabs(response(trace[i]) - target) > band) settledFrom = i + 1;
  if (settledFrom == trace.size()) return kNoValue;
  // Within the band from the start: settled at once.
  if (settledFrom == 0) return 0.0;
  return trace[settledFrom].time - start;
}

}  // namespace

MetricsRecorder::MetricsRecorder() = default;

void MetricsRecorder::BeginForcePhase(double now, const Vector6d& direction,
                                      const Vector6d& force) {
  EndPhase(now);
  Vector6d mask, f;
  for (int i = 0; i < 6; ++i) {
    mask[i] = direction[i] > 0.5 ? 1.0 : 0.0;
    f[i] = mask[i] * force[i];
  }
  if (!f.allFinite() || f.norm() < kMinForce) return;
  m_open.active = true;
  m_open.m.kind = PhaseMetrics::kForce;
  m_open.m.start = now;
  m_open.m.target = f.norm();
  m_open.force = f;
  m_open.mask = mask;
}

void MetricsRecorder::BeginMotionPhase(double now) {
  // A disturbance or a gain change during a press belongs to the press.
  if (m_open.active && m_open.m.kind == PhaseMetrics::kForce) return;
  EndPhase(now);
  m_open.active = true;
  m_open.m.kind = PhaseMetrics::kMotion;
  m_open.m.start = now;
}

void MetricsRecorder::EndPhase(double now) {
  if (m_open.active) Close(m_open, now, m_done);
  m_open = Open();
}

void MetricsRecorder::Add(const MetricSample& s) {
  m_finite = m_finite && s.finite;
  if (s.wrench.allFinite()) m_peakForce = std::max(m_peakForce, s.wrench.head<3>().norm());
  m_surface = m_surface || s.surface;
  if (std::isfinite(s.penetration)) m_maxPenetration = std::max(m_maxPenetration, s.penetration);

  // Set-point steps between two cycles the module drove in the same mode.
  if (s.running) {
    const bool same =
        m_haveLast && m_last.running && m_last.servo == s.servo && m_last.space == s.space;
    double* step;
    long* cycles;
    double size;
    if (s.servo == SERVO_TORQUE) {
      step = &m_torqueStep, cycles = &m_torqueCycles;
      size = (s.torqueSetpoint - m_last.torqueSetpoint).cwiseAbs().maxCoeff();
    } else if (s.space == SPACE_TASK) {
      step = &m_poseStep, cycles = &m_poseCycles;
      size = (s.poseSetpoint - m_last.poseSetpoint).norm() * 1e3;
    } else {
      step = &m_jointStep, cycles = &m_jointCycles;
      size = (s.jointSetpoint - m_last.jointSetpoint).cwiseAbs().maxCoeff();
    }
    ++*cycles;
    if (same && std::isfinite(size)) *step = std::max(*step, size);
  }
  m_last = s;
  m_haveLast = true;

  if (!m_open.active) return;
  Open& o = m_open;
  double response = 0.0;
  Vector6d error = Vector6d::Zero();
  if (o.m.kind == PhaseMetrics::kForce) {
    // The force the tool exerts is the opposite of what it receives.
    const Vector6d exerted = -s.wrench;
    response = exerted.dot(o.force) / o.m.target;
    error = o.mask.cwiseProduct(exerted) - o.force;
    o.m.peak = Max(o.m.peak, response);
    if (s.contact && !o.wasContact) {
      if (!o.touched) o.inFirstContact = true;
      o.touched = true;
    } else if (!s.contact && o.wasContact) {
      ++o.m.liftOffs;
      o.inFirstContact = false;
    }
    if (o.inFirstContact) o.m.firstImpactPeak = Max(o.m.firstImpactPeak, response);
    o.wasContact = s.contact;
  }
  if (!o.haveStart) {
    o.responseAtStart = response;
    o.haveStart = true;
  }
  if (o.window.empty()) o.window.resize(kWindowSize);
  o.window[o.head] = Window{s.time, response, error, s.contact};
  o.head = (o.head + 1) % kWindowSize;
  o.count = std::min(o.count + 1, kWindowSize);
  // A long phase keeps every second, then every fourth sample, ...
  if (++o.skipped >= o.stride) {
    o.skipped = 0;
    o.trace.push_back(Trace{s.time, s.position, response});
    if (o.trace.size() >= kTraceLimit) {
      size_t j = 0;
      for (size_t i = 0; i < o.trace.size(); i += 2) o.trace[j++] = o.trace[i];
      o.trace.resize(j);
      o.stride *= 2;
    }
  }
}

void MetricsRecorder::Close(Open& o, double now, std::vector<PhaseMetrics>& out) const {
  PhaseMetrics m = o.m;
  m.end = now;
  if (o.trace.empty()) return;
  // Make sure the last sample is in the trace, whatever the thinning.
  const Window& last = o.window[(o.head + kWindowSize - 1) % kWindowSize];
  if (o.trace.back().time != last.time) {
    o.trace.push_back(Trace{last.time, m_last.position, last.response});
  }
  const bool fullSecond = m.end - m.start >= kSteadyWindow - 1e-9;

  if (m.kind == PhaseMetrics::kForce) {
    m.judged = true;
    const double band = kBand * m.target;
    m.settlingTime =
        SettlingTime(o.trace, m.start, m.target, band, [](const Trace& t) { return t.response; });
    m.settled = !std::isnan(m.settlingTime);
    const double step = m.target - o.responseAtStart;
    if (std::fabs(step) > band) {
      double beyond = 0.0;
      for (const Trace& t : o.trace)
        beyond = std::max(beyond, step > 0 ? t.response - m.target : m.target - t.response);
      // The trace may be thinned; the peak is exact.
      if (step > 0) beyond = std::max(beyond, m.peak - m.target);
      m.overshootPct = 100.0 * beyond / std::fabs(step);
    }
    if (fullSecond) {
      Vector6d sum = Vector6d::Zero();
      double lo = 1e300, hi = -1e300;
      long n = 0;
      bool contactHeld = true;
      for (size_t i = 0; i < o.count; ++i) {
        const Window& w = o.window[i];
        if (w.time <= m.end - kSteadyWindow + 1e-9) continue;
        sum += w.error;
        lo = std::min(lo, w.response);
        hi = std::max(hi, w.response);
        contactHeld = contactHeld && w.contact;
        ++n;
      }
      if (n > 0) {
        m.steadyError = (sum / static_cast<double>(n)).norm();
        m.steady = contactHeld && hi - lo < kSteadyRipple * m.target;
      }
    }
  } else {
    const Eigen::Vector3d from = o.trace.front().position;
    const Eigen::Vector3d delta = o.trace.back().position - from;
    m.target = delta.norm();
    double peak = 0.0;
    if (m.target >= kMinMotion) {
      m.judged = true;
      const Eigen::Vector3d u = delta / m.target;
      auto along = [&](const Trace& t) { return (t.position - from).dot(u); };
      for (const Trace& t : o.trace) peak = std::max(peak, along(t));
      m.settlingTime = SettlingTime(o.trace, m.start, m.target, kBand * m.target, along);
      m.settled = !std::isnan(m.settlingTime);
      m.overshootPct = 100.0 * std::max(0.0, peak - m.target) / m.target;
    } else {
      for (const Trace& t : o.trace) peak = std::max(peak, (t.position - from).norm());
    }
    m.peak = peak;
    m.steady = true;
  }
  out.push_back(m);
}

RunMetrics MetricsRecorder::Compute() const {
  RunMetrics r;
  r.phases = m_done;
  if (m_open.active && m_haveLast) {
    Open copy = m_open;
    Close(copy, m_last.time, r.phases);
  }
  r.peakForce = m_peakForce;
  r.finite = m_finite;
  r.nonFiniteSetpoints = m_nonFinite;
  if (m_surface) r.maxPenetrationMm = m_maxPenetration * 1e3;

  bool anyForce = false;
  for (const PhaseMetrics& p : r.phases) anyForce = anyForce || p.kind == PhaseMetrics::kForce;
  bool judged = false, settled = true, steady = true;
  double lifts = 0.0;
  for (const PhaseMetrics& p : r.phases) {
    if (p.kind != (anyForce ? PhaseMetrics::kForce : PhaseMetrics::kMotion)) continue;
    if (p.kind == PhaseMetrics::kForce) {
      lifts += static_cast<double>(p.liftOffs);
      if (std::isnan(r.firstImpactPeak) && !std::isnan(p.firstImpactPeak)) {
        r.firstImpactPeak = p.firstImpactPeak;
        r.impactPeakRatio = p.firstImpactPeak / p.target;
      }
      r.steadyForceError = Max(r.steadyForceError, p.steadyError);
      if (p.end - p.start >= kSteadyWindow - 1e-9) steady = steady && p.steady;
    }
    if (!p.judged) continue;
    judged = true;
    settled = settled && p.settled;
    r.settlingTime = Max(r.settlingTime, p.settlingTime);
    r.overshootPct = Max(r.overshootPct, p.overshootPct);
  }
  if (anyForce) r.liftOffs = lifts;
  // One phase that never settled makes the run's settling time unknown.
  if (!settled) r.settlingTime = kNoValue;
  if (judged) r.stable = m_finite && settled && steady ? 1 : 0;

  if (m_poseCycles > 0 && m_poseStep >= 0) r.maxPoseStepMm = m_poseStep;
  if (m_jointCycles > 0 && m_jointStep >= 0) r.maxJointStepRad = m_jointStep;
  if (m_torqueCycles > 0 && m_torqueStep >= 0) r.maxTorqueStepNm = m_torqueStep;
  // The set-point the module spent most cycles sending.
  if (m_poseCycles >= m_jointCycles && m_poseCycles >= m_torqueCycles && m_poseCycles > 0)
    r.maxSetpointStep = r.maxPoseStepMm, r.maxSetpointStepUnit = "mm";
  else if (m_torqueCycles >= m_jointCycles && m_torqueCycles > 0)
    r.maxSetpointStep = r.maxTorqueStepNm, r.maxSetpointStepUnit = "Nm";
  else if (m_jointCycles > 0)
    r.maxSetpointStep = r.maxJointStepRad, r.maxSetpointStepUnit = "rad";
  return r;
}

namespace {

void Number(FILE* f, const char* key, double v, bool comma = true) {
  if (std::isfinite(v))
    std::fprintf(f, "\"%s\": %.6g", key, v);
  else
    std::fprintf(f, "\"%s\": null", key);
  if (comma) std::fputs(", ", f);
}

std::string Escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  return out;
}

}  // namespace

void WriteMetricsJson(FILE* f, const RunMetrics& r, const std::string& name,
                      const std::string& plant) {
  std::fprintf(f, "{\"name\": \"%s\", \"plant\": \"%s\",\n ", Escaped(name).c_str(),
               Escaped(plant).c_str());
  Number(f, "peak_force_N", r.peakForce);
  Number(f, "steady_force_error_N", r.steadyForceError);
  Number(f, "settling_time_s", r.settlingTime);
  Number(f, "overshoot_pct", r.overshootPct);
  std::fputs("\n ", f);
  Number(f, "lift_offs", r.liftOffs);
  Number(f, "max_penetration_mm", r.maxPenetrationMm);
  Number(f, "max_setpoint_step", r.maxSetpointStep);
  if (r.maxSetpointStepUnit)
    std::fprintf(f, "\"max_setpoint_step_unit\": \"%s\", ", r.maxSetpointStepUnit);
  else
    std::fputs("\"max_setpoint_step_unit\": null, ", f);
  std::fprintf(f, "\"nonfinite_setpoints\": %ld,\n ", r.nonFiniteSetpoints);
  Number(f, "first_impact_peak_N", r.firstImpactPeak);
  Number(f, "impact_peak_ratio", r.impactPeakRatio);
  Number(f, "max_tcp_setpoint_step_mm", r.maxPoseStepMm);
  Number(f, "max_joint_setpoint_step_rad", r.maxJointStepRad);
  Number(f, "max_torque_setpoint_step_Nm", r.maxTorqueStepNm);
  std::fprintf(f, "\n \"finite\": %s, \"stable\": %s,\n \"phases\": [", r.finite ? "true" : "false",
               r.stable < 0 ? "null"
               : r.stable   ? "true"
                            : "false");
  for (size_t i = 0; i < r.phases.size(); ++i) {
    const PhaseMetrics& p = r.phases[i];
    std::fprintf(f, "%s\n  {\"kind\": \"%s\", ", i ? "," : "",
                 p.kind == PhaseMetrics::kForce ? "force" : "motion");
    Number(f, "start_s", p.start);
    Number(f, "end_s", p.end);
    Number(f, p.kind == PhaseMetrics::kForce ? "target_N" : "target_m", p.target);
    Number(f, p.kind == PhaseMetrics::kForce ? "peak_N" : "peak_m", p.peak);
    Number(f, "first_impact_peak_N", p.firstImpactPeak);
    Number(f, "steady_force_error_N", p.steadyError);
    Number(f, "settling_time_s", p.settlingTime);
    Number(f, "overshoot_pct", p.overshootPct);
    std::fprintf(f, "\"lift_offs\": %ld, \"settled\": %s}", p.liftOffs,
                 !p.judged   ? "null"
                 : p.settled ? "true"
                             : "false");
  }
  std::fputs("\n ]}\n", f);
}

void PrintMetrics(FILE* f, const RunMetrics& r) {
  auto v = [](double x, const char* unit) {
    char text[48];
    if (std::isfinite(x))
      std::snprintf(text, sizeof text, "%.3g%s", x, unit);
    else
      std::snprintf(text, sizeof text, "-");
    return std::string(text);
  };
  std::fprintf(f,
               "  metrics: peak force %s, steady force error %s, settling %s, overshoot %s, "
               "lift-offs %s\n",
               v(r.peakForce, " N").c_str(), v(r.steadyForceError, " N").c_str(),
               v(r.settlingTime, " s").c_str(), v(r.overshootPct, " %").c_str(),
               v(r.liftOffs, "").c_str());
  std::fprintf(f,
               "           max penetration %s, largest set-point step %s, non-finite "
               "set-points %ld, stable %s\n",
               v(r.maxPenetrationMm, " mm").c_str(),
               v(r.maxSetpointStep,
                 r.maxSetpointStepUnit ? (std::string(" ") + r.maxSetpointStepUnit).c_str() : "")
                   .c_str(),
               r.nonFiniteSetpoints,
               r.stable < 0 ? "-"
               : r.stable   ? "yes"
                            : "no");
}

}  // namespace hostsim
