// Run metrics on small synthetic traces whose figures are known by hand.
#include "Metrics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

using hostsim::MetricSample;
using hostsim::MetricsRecorder;
using hostsim::RunMetrics;
using hostsim::Vector6d;

namespace {

constexpr double kDt = 0.001;

// Feeds cycles (kDt each) from `from` to `to` seconds; `fill` sets the sample.
void Feed(MetricsRecorder& r, double from, double to,
          const std::function<void(double, MetricSample&)>& fill) {
  const long n = std::lround((to - from) / kDt);
  for (long i = 1; i <= n; ++i) {
    MetricSample s;
    s.time = from + i * kDt;
    s.running = true;
    s.servo = SERVO_POSITION;
    s.space = SPACE_TASK;
    fill(s.time, s);
    r.Add(s);
  }
}

// A force phase from `start` pressing down with `newtons` along z.
void BeginPress(MetricsRecorder& r, double start, double newtons) {
  Vector6d dir = Vector6d::Zero(), force = Vector6d::Zero();
  dir[2] = 1;
  force[2] = -newtons;
  r.BeginForcePhase(start, dir, force);
}

// The tool presses down along -z: the surface pushes back along +z.
void Pressing(MetricSample& s, double force, bool contact, double depth) {
  s.wrench[2] = force;
  s.contact = contact;
  s.surface = true;
  s.penetration = depth;
}

}  // namespace

// A 20 N press: free flight, an impact to 26 N, a bounce off the surface,
// a linear decay into the band and a steady 0.3 N shortfall.
TEST(Metrics, ForcePhaseFiguresFromAKnownTrace) {
  MetricsRecorder r;
  BeginPress(r, 0.0, 20);
  Feed(r, 0.0, 0.1, [](double, MetricSample& s) { Pressing(s, 0.0, false, 0.0); });
  Feed(r, 0.1, 0.12, [](double, MetricSample& s) { Pressing(s, 26.0, true, 0.0013); });
  Feed(r, 0.12, 0.13, [](double, MetricSample& s) { Pressing(s, 0.0, false, 0.0); });
  // Back in contact: 24 N falling to 19.7 N at 0.5 s, then steady.
  Feed(r, 0.13, 0.5, [](double t, MetricSample& s) {
    Pressing(s, 24.0 + (19.7 - 24.0) * (t - 0.13) / 0.37, true, 0.001);
  });
  Feed(r, 0.5, 2.0, [](double, MetricSample& s) { Pressing(s, 19.7, true, 0.001); });
  r.EndPhase(2.0);

  const RunMetrics m = r.Compute();
  ASSERT_EQ(1u, m.phases.size());
  EXPECT_NEAR(26.0, m.peakForce, 1e-9);
  EXPECT_NEAR(26.0, m.firstImpactPeak, 1e-9);
  EXPECT_NEAR(1.3, m.impactPeakRatio, 1e-9);
  EXPECT_NEAR(30.0, m.overshootPct, 1e-9);  // (26 - 20) / 20
  EXPECT_EQ(1.0, m.liftOffs);
  EXPECT_NEAR(1.3, m.maxPenetrationMm, 1e-9);
  EXPECT_NEAR(0.3, m.steadyForceError, 1e-9);
  // Within 20 +- 0.4 N from where the decay passes 20.4 N.
  const double entered = 0.13 + (24.0 - 20.4) / (24.0 - 19.7) * 0.37;
  EXPECT_NEAR(entered, m.settlingTime, 2 * kDt);
  EXPECT_EQ(1, m.stable);
  EXPECT_TRUE(std::isnan(m.maxJointStepRad));  // no such set-point
}

// Motion phases judge a displacement step; a phase that never enters its
// band, a chattering contact and missing surfaces give nulls and "unstable".
TEST(Metrics, MotionSettlingAndWhatHasNoMeaning) {
  MetricsRecorder r;
  r.BeginMotionPhase(0.0);
  // 10 mm along x, overshooting to 11 mm at 0.2 s, back to 10 mm at 0.4 s.
  Feed(r, 0.0, 1.0, [](double t, MetricSample& s) {
    const double x = t < 0.2 ? 0.011 * t / 0.2 : t < 0.4 ? 0.011 - 0.001 * (t - 0.2) / 0.2 : 0.010;
    s.position = Eigen::Vector3d(x, 0, 0);
  });
  RunMetrics m = r.Compute();
  EXPECT_NEAR(10.0, m.overshootPct, 0.1);
  // Inside 10 +- 0.2 mm once the return passes 10.2 mm.
  EXPECT_NEAR(0.2 + 0.8 * 0.2, m.settlingTime, 2 * kDt);
  EXPECT_TRUE(std::isnan(m.steadyForceError));
  EXPECT_TRUE(std::isnan(m.liftOffs));
  EXPECT_TRUE(std::isnan(m.maxPenetrationMm));
  EXPECT_EQ(1, m.stable);

  // A force phase that chatters on and off the surface never settles.
  BeginPress(r, 1.0, 10);
  Feed(r, 1.0, 2.5, [](double t, MetricSample& s) {
    const bool on = std::fmod(t, 0.1) < 0.05;
    Pressing(s, on ? 20.0 : 0.0, on, on ? 0.001 : 0.0);
  });
  m = r.Compute();
  ASSERT_EQ(2u, m.phases.size());
  EXPECT_TRUE(std::isnan(m.settlingTime));
  EXPECT_GE(m.liftOffs, 14.0);
  EXPECT_EQ(0, m.stable);

  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  hostsim::WriteMetricsJson(f, m, "chatter", "kdl");
  std::fclose(f);
  const std::string json(text, size);
  std::free(text);
  EXPECT_NE(std::string::npos, json.find("\"settling_time_s\": null"));
  EXPECT_NE(std::string::npos, json.find("\"stable\": false"));
}

// Set-point steps count only between consecutive cycles the module drove
// in the same servo mode: taking over from the host is no step.
TEST(Metrics, SetPointStepsPerServoMode) {
  MetricsRecorder r;
  MetricSample s;
  s.servo = SERVO_POSITION;
  s.space = SPACE_TASK;
  s.poseSetpoint = Eigen::Vector3d(0.5, 0, 0.5);
  r.Add(s);  // host holding
  s.running = true;
  s.poseSetpoint.x() += 0.1;  // the module takes over far away
  r.Add(s);
  s.poseSetpoint.x() += 0.0002;
  r.Add(s);
  s.servo = SERVO_TORQUE;
  s.torqueSetpoint[1] = 80.0;  // switch to torque: no step
  r.Add(s);
  s.torqueSetpoint[1] = 77.0;
  r.Add(s);
  r.SetNonFiniteSetpoints(3);
  const RunMetrics m = r.Compute();
  EXPECT_NEAR(0.2, m.maxPoseStepMm, 1e-9);
  EXPECT_NEAR(3.0, m.maxTorqueStepNm, 1e-9);
  EXPECT_NEAR(0.2, m.maxSetpointStep, 1e-9);  // ties go to the pose set-point
  EXPECT_STREQ("mm", m.maxSetpointStepUnit);
  EXPECT_EQ(3, m.nonFiniteSetpoints);
  EXPECT_EQ(-1, m.stable);  // no phase to judge
}

// A motion phase cut off while the TCP still creeps towards its rest (6.0 of
// 6.7 mm and rising) has not settled, though its last samples lie within
// 2 % of where it was cut off; the same course given time to rest has.
TEST(Metrics, MotionStillMovingAtItsEndIsNotSettled) {
  for (const double end : {1.0, 8.0}) {
    MetricsRecorder r;
    r.BeginMotionPhase(0.0);
    Feed(r, 0.0, end,
         [](double t, MetricSample& s) { s.position.x() = 0.0067 * (1.0 - std::exp(-t / 0.45)); });
    const RunMetrics m = r.Compute();
    ASSERT_EQ(1u, m.phases.size());
    EXPECT_EQ(end > 5.0, m.phases[0].settled) << "cut off at " << end << " s";
    EXPECT_EQ(end > 5.0 ? 1 : 0, m.stable);
  }
}

// Sliding under a force with the target moving: the error figures count the
// moving cycles only, and a tool that slides off the part reports how fast
// and how far it went on along the command once the contact was lost.
TEST(Metrics, SlidingAndContactLossFigures) {
  MetricsRecorder r;
  BeginPress(r, 0.0, 20);
  Feed(r, 0.0, 0.5, [](double, MetricSample& s) { Pressing(s, 20.0, true, 0.001); });
  Feed(r, 0.5, 1.5, [](double t, MetricSample& s) {
    Pressing(s, t < 1.0 ? 21.0 : 19.0, true, 0.001);
    s.targetMoving = true;
    s.targetPosition.x() = 0.05 * (t - 0.5);
    s.position.x() = s.targetPosition.x() - 0.002;
  });
  Feed(r, 1.5, 2.0, [](double t, MetricSample& s) {
    Pressing(s, 0.0, false, 0.0);
    s.velocity.z() = -0.04;
    s.position.z() = -0.04 * (t - 1.5);
  });
  const RunMetrics m = r.Compute();
  EXPECT_NEAR(1.0, m.forceErrorRms, 1e-9);
  EXPECT_NEAR(1.0, m.forceErrorMax, 1e-9);
  EXPECT_NEAR(2.0, m.trackingLagMm, 1e-9);
  EXPECT_NEAR(0.0, m.contactLost, 1e-9);
  EXPECT_NEAR(40.0, m.speedAfterLossMmS, 1e-9);
  EXPECT_NEAR(20.0, m.travelAfterLossMm, 0.05);
  EXPECT_EQ(-1, m.inserted);
}
