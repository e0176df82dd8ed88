// bench_impedance: time of the impedance plug-in's DoControl per 1 ms cycle
// (median, p99, max over 100000 cycles, as a share of the cycle), against a
// baseline measured in the same run: the bare matrix products of one cycle
// on fixed-size Eigen types. Also counts heap allocations in DoControl.
//
//   bench_impedance [--cycles N] [--plugin PATH]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Simulation.h"
#include "support/counting_new.h"
#include "support/fake_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using Eigen::Matrix6d;
using Eigen::Vector6d;

constexpr double kCycleNs = 1e6;

struct Stats {
  double median, p99, max;
};

Stats Summarise(std::vector<double>& ns) {
  std::sort(ns.begin(), ns.end());
  const size_t n = ns.size();
  return {ns[n / 2], ns[std::min(n - 1, (n * 99) / 100)], ns[n - 1]};
}

void Print(const char* name, const Stats& s) {
  std::printf("  %-44s median %7.0f ns (%.3f%%)  p99 %7.0f ns (%.3f%%)  max %8.0f ns (%.3f%%)\n",
              name, s.median, 100.0 * s.median / kCycleNs, s.p99, 100.0 * s.p99 / kCycleNs, s.max,
              100.0 * s.max / kCycleNs);
}

// A host whose getters are all precomputed (the damped inverse too), so the
// time is the module's own.
class CachedHost : public FakeHost {
 public:
  Matrix6d dls = Matrix6d::Identity();
  Matrix6d getCalInverseJacobianDLS(const Matrix6d&, double) override { return dls; }
};

// The matrix products of one cycle, on the same fixed-size types: frame
// rotations of the pose and velocity errors, spring and damper, the
// feed-forward through the damped inverse, inertia, J^T R and Coriolis.
struct Baseline {
  Matrix6d R, K, D, Jinv, Jdot, M, J, C;
  Vector6d e, ev, a, vt, f, qd, g;

  Vector6d Cycle() {
    const Vector6d eF = R.transpose() * e;
    const Vector6d eP = R.transpose() * e;
    const Vector6d evF = R.transpose() * ev;
    const Vector6d qdd = Jinv * (a - Jdot * Jinv * vt);
    const Vector6d w = K * (eP - 0.5 * eF) + D * evF + f;
    return M * qdd + (J.transpose() * R) * w + C * qd + g;
  }
};

int Run(int cycles, const std::string& plugin) {
  std::printf("bench_impedance: DoControl per cycle over %d cycles (1 ms cycle)\n", cycles);

  // 1. The real plug-in, loaded with dlopen, driving the simulated arm.
  hostsim::Simulation sim;
  std::string error;
  if (!sim.LoadPlugin(plugin, &error)) {
    std::fprintf(stderr, "bench_impedance: cannot load %s: %s\n", plugin.c_str(), error.c_str());
    return 1;
  }
  Vector6d k;
  k << 2000, 2000, 2000, 100, 100, 100;
  if (sim.Start(k, Vector6d::Zero(), 0.1) != 0) {
    std::fprintf(stderr, "bench_impedance: Start refused\n");
    return 1;
  }
  Vector6d push = Vector6d::Zero();
  ControlModule& module = *sim.Module();
  std::vector<double> simNs(cycles), moduleNs(cycles), baseNs(cycles);
  long allocations = 0;
  for (int i = 0; i < cycles; ++i) {
    // A slowly turning push keeps the arm moving.
    push[0] = 15.0 * std::sin(i * 0.002);
    push[2] = 10.0 * std::cos(i * 0.0013);
    sim.Host().Wrench().Step(push);
    counting_new::counted = 0;
    counting_new::counting = true;
    const auto t0 = Clock::now();
    module.DoControl();
    const auto t1 = Clock::now();
    counting_new::counting = false;
    allocations += counting_new::counted.load();
    simNs[i] = std::chrono::duration<double, std::nano>(t1 - t0).count();
    sim.Host().Actuate();
  }

  // 2. The module alone, against a host with precomputed state, and the
  //    baseline with the same numbers, interleaved so both see the same
  //    machine load.
  CachedHost host;
  host.jntM = sim.Host().getJntM();
  host.jntC = sim.Host().getJntC();
  host.tcpJ = sim.Host().getTCPJ();
  host.tcpJdot = sim.Host().getTCPJdot();
  host.dls = sim.Host().getCalInverseJacobianDLS(host.tcpJ, 0.15);
  host.jntTrqGrav = sim.Host().getJntTrqGrav();
  host.refCoord = {COORD_TOOL, 0, 0};
  host.r0 = sim.Host().getR0();
  host.tcpPose = sim.Host().getTCPPose();
  host.tcpPoseTg = sim.Host().getTCPPose_tg();
  host.tcpPoseTg.position[0] += 0.01;
  std::unique_ptr<hostsim::PluginLibrary> library = hostsim::PluginLibrary::Open(plugin, &error);
  ControlModule* alone = library ? library->Create(2, &error) : nullptr;
  if (alone == nullptr) {
    std::fprintf(stderr, "bench_impedance: %s\n", error.c_str());
    return 1;
  }
  alone->SetRobotControlContext(&host);
  unsigned char start[54] = {};
  float stiffness[6] = {2000, 2000, 2000, 100, 100, 100};
  std::memcpy(start + 2, stiffness, sizeof stiffness);
  if (alone->Start(start) != 0) {
    std::fprintf(stderr, "bench_impedance: Start refused by the cached host\n");
    return 1;
  }

  Baseline base;
  base.R.setIdentity();
  base.R.block<3, 3>(0, 0) = host.r0;
  base.R.block<3, 3>(3, 3) = host.r0;
  base.K = k.asDiagonal();
  base.D = Vector6d::Constant(150.0).asDiagonal();
  base.Jinv = host.dls;
  base.Jdot = host.tcpJdot;
  base.M = host.jntM;
  base.J = host.tcpJ;
  base.C = host.jntC;
  base.e.setConstant(0.01);
  base.ev.setConstant(0.02);
  base.a.setConstant(0.1);
  base.vt.setConstant(0.05);
  base.f.setZero();
  base.qd.setConstant(0.1);
  base.g = host.jntTrqGrav;
  double sink = 0.0;
  for (int i = 0; i < cycles; ++i) {
    host.tcpVel.linear[0] = 1e-4 * (i % 17);
    base.e[0] = 1e-4 * (i % 17);
    auto t0 = Clock::now();
    alone->DoControl();
    auto t1 = Clock::now();
    const Vector6d out = base.Cycle();
    auto t2 = Clock::now();
    sink += out[i % 6];
    moduleNs[i] = std::chrono::duration<double, std::nano>(t1 - t0).count();
    baseNs[i] = std::chrono::duration<double, std::nano>(t2 - t1).count();
  }
  delete alone;

  const Stats withArm = Summarise(simNs);
  const Stats moduleOnly = Summarise(moduleNs);
  const Stats baseline = Summarise(baseNs);
  Print("DoControl, simulated arm (host's DLS inside)", withArm);
  Print("DoControl, host with precomputed state", moduleOnly);
  Print("baseline: the cycle's fixed-size products", baseline);
  std::printf(
      "  ratio DoControl / baseline: median %.1fx, p99 %.1fx (precomputed host); "
      "median %.1fx, p99 %.1fx (simulated arm)\n",
      moduleOnly.median / baseline.median, moduleOnly.p99 / baseline.p99,
      withArm.median / baseline.median, withArm.p99 / baseline.p99);
  std::printf("  heap allocations in DoControl: %ld over %d cycles\n", allocations, cycles);
  std::printf(
      "  goal p99 < 5000 ns (0.5%% of the cycle): %s (precomputed host), %s (simulated "
      "arm)\n",
      moduleOnly.p99 < 5000.0 ? "met" : "NOT met", withArm.p99 < 5000.0 ? "met" : "NOT met");
  if (sink == 12345.678) std::printf(" ");
  return allocations == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int cycles = 100000;
  std::string plugin = IMPEDANCE_PLUGIN_PATH;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::printf(
          "Usage: bench_impedance [--cycles N] [--plugin PATH]\n"
          "Times the impedance plug-in's DoControl per 1 ms cycle (median, p99, max) with the\n"
          "simulated arm and with a host of precomputed state, against the bare matrix\n"
          "products of one cycle, and counts heap allocations in DoControl (must be 0).\n");
      return 0;
    } else if (a == "--cycles" && i + 1 < argc) {
      cycles = std::atoi(argv[++i]);
      if (cycles < 100) {
        std::fprintf(stderr, "bench_impedance: --cycles needs at least 100\n");
        return 2;
      }
    } else if (a == "--plugin" && i + 1 < argc) {
      plugin = argv[++i];
    } else {
      std::fprintf(stderr, "bench_impedance: unknown argument '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }
  return Run(cycles, plugin);
}
