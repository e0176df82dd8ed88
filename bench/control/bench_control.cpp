// Costs of the control framework's numerical helpers and of one cycle of the
// simulated host, each next to a baseline measured in the same run (these
// machines are shared and noisy, so ratios are steadier than times).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "ControlModule.h"
#include "SimulatedHost.h"
#include "control/TestModule.h"

namespace {

template <typename T>
inline void Keep(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

// Median time per call in nanoseconds over `rounds` rounds of `calls` calls.
double NsPerCall(const std::function<void(int)>& body, int calls, int rounds = 7) {
  std::vector<double> samples;
  body(0);  // warm up
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) body(i);
    const auto t1 = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / calls);
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

void Report(const char* name, double ns, const char* baseline, double baseNs) {
  std::printf("%-44s %11.1f ns   baseline %-34s %9.1f ns   ratio %6.2f\n", name, ns, baseline,
              baseNs, ns / baseNs);
}

}  // namespace

int main() {
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  std::vector<double> angles(3 * 1024);
  for (double& a : angles) a = u(rng);
  std::vector<Mota::TaskPosition> poses(1024);
  for (auto& p : poses) {
    double v[6] = {u(rng), u(rng), u(rng), u(rng), u(rng), u(rng)};
    p.set(v, 2, 1, 0, UNIT_TYPE::METER_RADIAN);
  }
  TestModule module(nullptr, 1);

  std::printf("bench_control: median per call (7 rounds)\n");
  const double euler = NsPerCall(
      [&](int i) {
        const double* a = &angles[3 * (i & 1023)];
        Mota::Rotation r;
        r.Euler2Rot(a[0], a[1], a[2], 2, 1, 0, UNIT_TYPE::METER_RADIAN);
        Keep(r);
      },
      200000);
  const double eulerBase = NsPerCall(
      [&](int i) {
        const double* a = &angles[3 * (i & 1023)];
        const Eigen::Matrix3d r = (Eigen::AngleAxisd(a[0], Eigen::Vector3d::UnitZ()) *
                                   Eigen::AngleAxisd(a[1], Eigen::Vector3d::UnitY()) *
                                   Eigen::AngleAxisd(a[2], Eigen::Vector3d::UnitX()))
                                      .toRotationMatrix();
        Keep(r);
      },
      200000);
  Report("Euler2Rot", euler, "Eigen AngleAxis product", eulerBase);

  const double poseError = NsPerCall(
      [&](int i) {
        const Eigen::Vector6d e = module.CalPoseError(poses[i & 1023], poses[(i + 1) & 1023]);
        Keep(e);
      },
      200000);
  const double poseErrorBase = NsPerCall(
      [&](int i) {
        const Eigen::Matrix3d& a = poses[i & 1023].rotation;
        const Eigen::Matrix3d& b = poses[(i + 1) & 1023].rotation;
        const Eigen::AngleAxisd aa(a.transpose() * b);
        Keep(aa);
      },
      200000);
  Report("CalPoseError", poseError, "Eigen AngleAxis of Ra^T Rb", poseErrorBase);

  hostsim::SimulatedHost host;
  const Eigen::Vector6d q = host.getJntPos();
  const double kinematics = NsPerCall(
      [&](int) {
        const Eigen::Isometry3d p = host.Arm().Pose(q);
        const hostsim::Matrix6d j = host.Arm().Jacobian(q);
        Keep(p);
        Keep(j);
      },
      20000);

  host.setServoMode(SERVO_POSITION);
  host.setMotionSpace(SPACE_TASK);
  const Mota::TaskPosition holdPose = host.getTCPPose();
  const double position = NsPerCall(
      [&](int) {
        host.setTCPPose_d(holdPose);
        host.Actuate();
      },
      2000);
  Report("host cycle, position servo (holding)", position, "forward kinematics + Jacobian",
         kinematics);

  host.setServoMode(SERVO_TORQUE);
  const double torque = NsPerCall(
      [&](int) {
        host.setJntTrq_d(host.getJntTrqGrav());
        host.Actuate();
      },
      2000);
  Report("host cycle, torque servo (at rest)", torque, "forward kinematics + Jacobian", kinematics);

  Eigen::Vector6d push = Eigen::Vector6d::Zero();
  push[0] = 5.0;
  host.Wrench().Step(push);
  const double moving = NsPerCall(
      [&](int) {
        host.setJntTrq_d(host.getJntTrqGrav() - 0.5 * host.getJntVel());
        host.Actuate();
      },
      2000);
  Report("host cycle, torque servo (pushed, moving)", moving, "forward kinematics + Jacobian",
         kinematics);
  std::printf(
      "share of the 1 ms cycle: position %.1f%%, torque at rest %.1f%%, moving %.1f%% "
      "(%.0fx, %.0fx, %.0fx faster than real time)\n",
      position / 1e4, torque / 1e4, moving / 1e4, 1e6 / position, 1e6 / torque, 1e6 / moving);
  return 0;
}
