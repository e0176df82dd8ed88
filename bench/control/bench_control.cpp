// Costs of the control framework's numerical helpers and of one cycle of the
// simulated host, each next to a baseline measured in the same run (these
// machines are shared and noisy, so ratios are steadier than times).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "ControlModule.h"
#include "SimulatedHost.h"
#include "support/test_module.h"

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

// Two bodies timed in alternating rounds, so both meet the same load on a
// shared machine: the medians of each and the median of the per-round
// ratios b / a.
struct Paired {
  double a, b, ratio;
};
Paired PairedNsPerCall(const std::function<void(int)>& a, const std::function<void(int)>& b,
                       int calls, int rounds = 9) {
  std::vector<double> sa, sb, ratios;
  a(0);
  b(0);
  auto time = [&](const std::function<void(int)>& body) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) body(i);
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / calls;
  };
  for (int r = 0; r < rounds; ++r) {
    sa.push_back(time(a));
    sb.push_back(time(b));
    ratios.push_back(sb.back() / sa.back());
  }
  for (auto* v : {&sa, &sb, &ratios}) std::sort(v->begin(), v->end());
  return Paired{sa[rounds / 2], sb[rounds / 2], ratios[rounds / 2]};
}

void Report(const char* name, double ns, const char* baseline, double baseNs) {
  std::printf("%-44s %11.1f ns   baseline %-34s %9.1f ns   ratio %6.2f\n", name, ns, baseline,
              baseNs, ns / baseNs);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") != 0 && std::strcmp(argv[i], "-h") != 0) {
      std::fprintf(stderr, "bench_control: unknown argument '%s' (see --help)\n", argv[i]);
      return 2;
    }
    std::fputs(
        "Usage: bench_control\n"
        "\n"
        "Times the control framework's numerical helpers (Euler angles, pose\n"
        "errors) and one cycle of the simulated host (position and torque servo,\n"
        "on the KDL and the MuJoCo plant, also pressing on a wall), each next to\n"
        "a baseline measured in the same run, and prints the median nanoseconds\n"
        "per call and their ratio. Takes no options.\n",
        stdout);
    return 0;
  }
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

  // One host cycle in three situations, on a given plant: position servo
  // holding a task pose, torque servo holding against gravity, and torque
  // servo pushed by a wrench and moving (the wrench on the TCP).
  struct Cycles {
    double position, torque, moving;
  };
  auto measure = [](hostsim::SimulatedHost& h) {
    Cycles c;
    h.setServoMode(SERVO_POSITION);
    h.setMotionSpace(SPACE_TASK);
    const Mota::TaskPosition holdPose = h.getTCPPose();
    c.position = NsPerCall(
        [&](int) {
          h.setTCPPose_d(holdPose);
          h.Actuate();
        },
        2000);
    h.setServoMode(SERVO_TORQUE);
    c.torque = NsPerCall(
        [&](int) {
          h.setJntTrq_d(h.getJntTrqGrav());
          h.Actuate();
        },
        2000);
    Eigen::Vector6d push = Eigen::Vector6d::Zero();
    push[0] = 5.0;
    h.Wrench().Step(push);
    c.moving = NsPerCall(
        [&](int) {
          h.setJntTrq_d(h.getJntTrqGrav() - 0.5 * h.getJntVel());
          h.Actuate();
        },
        2000);
    return c;
  };
  const Cycles kdl = measure(host);
  Report("host cycle, position servo (holding)", kdl.position, "forward kinematics + Jacobian",
         kinematics);
  Report("host cycle, torque servo (at rest)", kdl.torque, "forward kinematics + Jacobian",
         kinematics);
  Report("host cycle, torque servo (pushed, moving)", kdl.moving, "forward kinematics + Jacobian",
         kinematics);
  std::printf(
      "share of the 1 ms cycle: position %.1f%%, torque at rest %.1f%%, moving %.1f%% "
      "(%.0fx, %.0fx, %.0fx faster than real time)\n",
      kdl.position / 1e4, kdl.torque / 1e4, kdl.moving / 1e4, 1e6 / kdl.position, 1e6 / kdl.torque,
      1e6 / kdl.moving);

  // The same cycles on the MuJoCo plant, timed in rounds alternating with
  // the KDL plant's; then both pressing on a wall through the position
  // loop (on MuJoCo a contact in every engine step).
  hostsim::HostParameters mp;
  mp.plant = hostsim::PlantKind::kMujoco;
  hostsim::SimulatedHost mujoco(mp);
  if (mujoco.GetPlant() == nullptr) {
    std::printf("MuJoCo plant unavailable: %s\n", mujoco.PlantError().c_str());
    return 1;
  }
  hostsim::SimulatedHost kdlHost;
  struct Situation {
    const char* name;
    std::function<void(hostsim::SimulatedHost&)> setUp;
    std::function<void(hostsim::SimulatedHost&)> cycle;
  };
  const Situation situations[] = {
      {"position servo (holding)",
       [](hostsim::SimulatedHost& h) {
         h.setServoMode(SERVO_POSITION);
         h.setMotionSpace(SPACE_TASK);
       },
       [](hostsim::SimulatedHost& h) {
         h.setTCPPose_d(h.getTCPPose_tg());
         h.Actuate();
       }},
      {"torque servo (at rest)", [](hostsim::SimulatedHost& h) { h.setServoMode(SERVO_TORQUE); },
       [](hostsim::SimulatedHost& h) {
         h.setJntTrq_d(h.getJntTrqGrav());
         h.Actuate();
       }},
      {"torque servo (pushed, moving)",
       [](hostsim::SimulatedHost& h) {
         Eigen::Vector6d push = Eigen::Vector6d::Zero();
         push[0] = 5.0;
         h.Wrench().Step(push);
       },
       [](hostsim::SimulatedHost& h) {
         h.setJntTrq_d(h.getJntTrqGrav() - 0.5 * h.getJntVel());
         h.Actuate();
       }},
      {"position servo (pressing a wall)",
       [](hostsim::SimulatedHost& h) {
         h.Reset();
         h.Wrench().SetWall(h.TcpPose().translation() + Eigen::Vector3d(0, 0, 0.001),
                            Eigen::Vector3d::UnitZ(), 20000.0, 100.0);
         h.setServoMode(SERVO_POSITION);
         h.setMotionSpace(SPACE_JOINT);
       },
       [](hostsim::SimulatedHost& h) { h.Actuate(); }},
  };
  std::printf("MuJoCo plant against the KDL plant (alternating rounds, median ratio):\n");
  for (const Situation& s : situations) {
    s.setUp(kdlHost);
    s.setUp(mujoco);
    const Paired p =
        PairedNsPerCall([&](int) { s.cycle(kdlHost); }, [&](int) { s.cycle(mujoco); }, 2000);
    std::printf(
        "  %-34s KDL %9.1f ns   MuJoCo %9.1f ns   ratio %5.2f   MuJoCo %5.0fx faster than "
        "real time\n",
        s.name, p.a, p.b, p.ratio, 1e6 / p.b);
  }
  return 0;
}
