#include "Metrics.h"

#include <algorithm>
#include <cmath>

namespace hostsim {
namespace {

constexpr double kBand = 0.02;           // settling band, share of the step
constexpr double kSteadyWindow = 1.0;    // s, the last second of a phase
constexpr double kSteadyRipple = 0.10;   // peak-to-peak allowed in it, share of the target
constexpr double kMinForce = 1e-6;       // N: below this a force command presses nothing
constexpr double kMinMotion = 1e-4;      // m: a smaller motion is no step to judge
constexpr size_t kWindowSize = 1001;     // cycles of 1 ms in the steady window
constexpr size_t kTraceLimit = 20000;    // samples kept of one phase's course
constexpr double kCycleSeconds = 0.001;  // one sample per 1 ms cycle
constexpr double kTrendShare = 0.1;      // last share of a motion phase checked for a trend
constexpr double kTrendMin = 0.1;        // s, at least this long

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
    const Eigen::Vector3d u = o.force.head<3>().norm() > kMinForce
                                  ? Eigen::Vector3d(o.force.head<3>().normalized())
                                  : Eigen::Vector3d::Zero();
    if (s.targetMoving) {
      const double e = response - o.m.target;
      o.errorSquares += e * e;
      ++o.movingSamples;
      o.m.forceErrorMax = Max(o.m.forceErrorMax, std::fabs(e));
      Eigen::Vector3d lag = s.targetPosition - s.position;
      lag -= lag.dot(u) * u;
      o.m.trackingLagMm = Max(o.m.trackingLagMm, 1e3 * lag.norm());
      if (std::isnan(o.m.contactLost)) o.m.contactLost = 0.0;
      if (o.touched && !s.contact) o.m.contactLost += kCycleSeconds;
    }
    if (o.touched && !s.contact) {
      if (!o.lost) {
        o.lost = true;
        o.lossPosition = s.position;
        o.lossSpeed = 0.0;
        o.lossTravel = 0.0;
      }
      o.lossSpeed = std::max(o.lossSpeed, s.velocity.dot(u));
      o.lossTravel = std::max(o.lossTravel, (s.position - o.lossPosition).dot(u));
    } else if (s.contact) {
      o.lost = false;
    }
    if (!std::isnan(s.insertedAt)) {
      if (o.m.inserted < 0) o.m.inserted = 0;
      if (o.m.inserted == 0 && s.insertion >= s.insertedAt) {
        o.m.inserted = 1;
        o.m.insertionTime = s.time - o.m.start;
      }
      Eigen::Vector3d lateral = -s.wrench.head<3>();
      lateral -= lateral.dot(u) * u;
      o.m.peakLateralForce = Max(o.m.peakLateralForce, lateral.norm());
    }
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
    if (o.movingSamples > 0)
      m.forceErrorRms = std::sqrt(o.errorSquares / static_cast<double>(o.movingSamples));
    if (o.lost) {
      m.speedAfterLossMmS = 1e3 * o.lossSpeed;
      m.travelAfterLossMm = 1e3 * o.lossTravel;
    }
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
      // The phase's end is only its rest value if the TCP stopped there: a
      // response still moving over the last part of the phase by more than
      // half the band has not settled, wherever it was cut off.
      const double from = m.end - std::max(kTrendMin, kTrendShare * (m.end - m.start));
      for (const Trace& t : o.trace) {
        if (t.time < from) continue;
        if (std::fabs(along(o.trace.back()) - along(t)) > 0.5 * kBand * m.target)
          m.settlingTime = kNoValue;
        break;
      }
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
      r.forceErrorRms = Max(r.forceErrorRms, p.forceErrorRms);
      r.forceErrorMax = Max(r.forceErrorMax, p.forceErrorMax);
      r.trackingLagMm = Max(r.trackingLagMm, p.trackingLagMm);
      r.contactLost = Max(r.contactLost, p.contactLost);
      r.speedAfterLossMmS = Max(r.speedAfterLossMmS, p.speedAfterLossMmS);
      r.travelAfterLossMm = Max(r.travelAfterLossMm, p.travelAfterLossMm);
      r.peakLateralForce = Max(r.peakLateralForce, p.peakLateralForce);
      if (p.inserted >= 0 && r.inserted < 1) r.inserted = p.inserted;
      if (p.inserted == 1 && std::isnan(r.insertionTime)) r.insertionTime = p.insertionTime;
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

const char* Bool(int v) {
  return v < 0 ? "null" : v ? "true" : "false";
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

bool MetricByKey(const RunMetrics& r, const std::string& key, double* value) {
  auto flag = [](int v) { return v < 0 ? kNoValue : v ? 1.0 : 0.0; };
  const struct {
    const char* key;
    double v;
  } table[] = {
      {"peak_force_N", r.peakForce},
      {"steady_force_error_N", r.steadyForceError},
      {"settling_time_s", r.settlingTime},
      {"overshoot_pct", r.overshootPct},
      {"lift_offs", r.liftOffs},
      {"max_penetration_mm", r.maxPenetrationMm},
      {"max_setpoint_step", r.maxSetpointStep},
      {"nonfinite_setpoints", static_cast<double>(r.nonFiniteSetpoints)},
      {"first_impact_peak_N", r.firstImpactPeak},
      {"impact_peak_ratio", r.impactPeakRatio},
      {"force_error_rms_N", r.forceErrorRms},
      {"force_error_max_N", r.forceErrorMax},
      {"tracking_lag_mm", r.trackingLagMm},
      {"contact_lost_s", r.contactLost},
      {"max_speed_after_contact_loss_mm_s", r.speedAfterLossMmS},
      {"travel_after_contact_loss_mm", r.travelAfterLossMm},
      {"inserted", flag(r.inserted)},
      {"insertion_time_s", r.insertionTime},
      {"peak_lateral_force_N", r.peakLateralForce},
      {"finite", r.finite ? 1.0 : 0.0},
      {"stable", flag(r.stable)},
  };
  for (const auto& e : table)
    if (key == e.key) return *value = e.v, true;
  return false;
}

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
  std::fputs("\n ", f);
  Number(f, "force_error_rms_N", r.forceErrorRms);
  Number(f, "force_error_max_N", r.forceErrorMax);
  Number(f, "tracking_lag_mm", r.trackingLagMm);
  Number(f, "contact_lost_s", r.contactLost);
  std::fputs("\n ", f);
  Number(f, "max_speed_after_contact_loss_mm_s", r.speedAfterLossMmS);
  Number(f, "travel_after_contact_loss_mm", r.travelAfterLossMm);
  std::fprintf(f, "\"inserted\": %s, ", Bool(r.inserted));
  Number(f, "insertion_time_s", r.insertionTime);
  Number(f, "peak_lateral_force_N", r.peakLateralForce);
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
    if (p.kind == PhaseMetrics::kForce) {
      Number(f, "force_error_rms_N", p.forceErrorRms);
      Number(f, "force_error_max_N", p.forceErrorMax);
      Number(f, "tracking_lag_mm", p.trackingLagMm);
      Number(f, "contact_lost_s", p.contactLost);
      Number(f, "max_speed_after_contact_loss_mm_s", p.speedAfterLossMmS);
      Number(f, "travel_after_contact_loss_mm", p.travelAfterLossMm);
      std::fprintf(f, "\"inserted\": %s, ", Bool(p.inserted));
      Number(f, "insertion_time_s", p.insertionTime);
      Number(f, "peak_lateral_force_N", p.peakLateralForce);
    }
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
  if (!std::isnan(r.forceErrorRms) || !std::isnan(r.travelAfterLossMm))
    std::fprintf(f,
                 "           moving target: force error RMS %s, max %s, tracking lag %s, "
                 "contact lost %s\n",
                 v(r.forceErrorRms, " N").c_str(), v(r.forceErrorMax, " N").c_str(),
                 v(r.trackingLagMm, " mm").c_str(), v(r.contactLost, " s").c_str());
  if (!std::isnan(r.travelAfterLossMm))
    std::fprintf(f, "           after contact loss: max speed %s, travel %s\n",
                 v(r.speedAfterLossMmS, " mm/s").c_str(), v(r.travelAfterLossMm, " mm").c_str());
  if (r.inserted >= 0)
    std::fprintf(f, "           insertion: inserted %s, time %s, peak lateral force %s\n",
                 r.inserted ? "yes" : "no", v(r.insertionTime, " s").c_str(),
                 v(r.peakLateralForce, " N").c_str());
}

}  // namespace hostsim
