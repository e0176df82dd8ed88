// bench_admittance: time of the admittance plug-in's DoControl per 1 ms
// cycle, side by side in the same run with a baseline that does only the
// cycle's linear algebra on fixed-size Eigen types.
//
// The host data come from the simulated arm: a closed-loop run (push, press
// on a wall, release, gain changes) records every value the module reads,
// and the timed cycles replay those records through a context whose
// getters only copy, so what is timed is the plug-in. The plug-in is the
// real library, loaded with dlopen.
#include <dlfcn.h>
#include <time.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Simulation.h"
#include "support/counting_new.h"

namespace {

using Vector6d = Eigen::Matrix<double, 6, 1>;
using Matrix6d = Eigen::Matrix<double, 6, 6>;

// Everything the module reads from its host in one cycle.
struct Snapshot {
  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
  Vector6d jntPos, jntPosD, grav, trqExt, trqExtFctrl, trqExtLpf, fts, forceDir;
  Matrix6d M, J, Jinv;
  Mota::TaskPosition pose, poseTarget, stcp;
  Mota::TaskVelocity velTarget;
  Eigen::Matrix3d r0;
  Eigen::Vector3d tool;
  double payload, minSingular, svMax, scale;
  int model;
  uint8_t singularHandling;
  _REF_COORD ref;
};

class ReplayContext : public RobotControlContext {
 public:
  const Snapshot* s = nullptr;

  Vector6d getJntPos() override { return s->jntPos; }
  Vector6d getJntVel() override { return Vector6d::Zero(); }
  Vector6d getJntVel_lpf_20Hz() override { return Vector6d::Zero(); }
  Vector6d getJntPos_d() override { return s->jntPosD; }
  Matrix6d getJntM() override { return s->M; }
  Matrix6d getJntC() override { return Matrix6d::Zero(); }
  Vector6d getJntTrqGrav() override { return s->grav; }
  Vector6d getJntTrqFric_comp_fctrl() override { return Vector6d::Zero(); }
  Vector6d getJntTrqExt() override { return s->trqExt; }
  Vector6d getJntTrqExt_Fctrl() override { return s->trqExtFctrl; }
  Vector6d getJntExtTrq_Fctrl_lpf() override { return s->trqExtLpf; }
  Mota::TaskPosition getTCPPose() override { return s->pose; }
  Mota::TaskPosition getTCPPose_tg() override { return s->poseTarget; }
  Mota::TaskVelocity getTCPVel() override { return s->velTarget; }
  Mota::TaskVelocity getTCPVel_tg() override { return s->velTarget; }
  Vector6d getTCPAcc_tg() override { return Vector6d::Zero(); }
  Matrix6d getTCPJ() override { return s->J; }
  Matrix6d getTCPJdot() override { return Matrix6d::Zero(); }
  Matrix6d getCalInverseJacobianDLS(const Matrix6d&, double) override { return s->Jinv; }
  Vector6d getFTS_comp_FCtrl_lpf() override { return s->fts; }
  Eigen::Vector3d getTCPToolLength() override { return s->tool; }
  Vector6d getTCPForce_dir() override { return s->forceDir; }
  Mota::TaskPosition getSTCP() override { return s->stcp; }
  double getTotalPayloadMass() override { return s->payload; }
  Eigen::Matrix3d getR0() override { return s->r0; }
  Mota::TaskPosition getBaseToWorld() override { return s->stcp; }
  Mota::TaskPosition getWorldToBase() override { return s->stcp; }
  Mota::TaskPosition getHT_base2ucart(int) override { return s->stcp; }
  Mota::TaskPosition getHT_ucart2base(int) override { return s->stcp; }
  _REF_COORD getRefCoord(REF_COORD_MODE) override { return s->ref; }
  void setRefCoord(REF_COORD_MODE, _REF_COORD) override {}
  int getRefCoordIdx() override { return 0; }
  _REF_COORD getMotionCmdCoordinateClassidication(int) override { return s->ref; }
  SERVO_MODE getServoMode() override { return servo; }
  MOTION_SPACE getMotionSpace() override { return space; }
  int32_t& getMotionLibStatus() override { return motion; }
  int32_t& getExpTimeStatus() override { return expTime; }
  int32_t& getForceControlMonitoring() override { return monitoring; }
  int getModel() override { return s->model; }
  bool getFlagOnlineTracking() override { return false; }
  double getMinSingularValue() override { return s->minSingular; }
  double getCompliance_sv_max() override { return s->svMax; }
  double getModelScale() override { return s->scale; }
  double getCalculateDecTime_w_CurJvel() override { return 0.0; }
  int getProgramStatus() override { return 1; }
  uint8_t getSingularHandlingStatus() override { return s->singularHandling; }
  void setServoMode(SERVO_MODE m) override { servo = m; }
  void setMotionSpace(MOTION_SPACE m) override { space = m; }
  void setCompForceStatus(COMPFORCE_STATUS) override {}
  void setExpTimeStatus(MOTIONLIB_STATUS st) override { expTime = st; }
  void setJntPos_d(const Vector6d&) override {}
  void setJntVel_d(const Vector6d&) override {}
  void setJntVel_d(double) override {}
  void setJntAcc_d(double) override {}
  void setJntTrq_d(const Vector6d&) override {}
  void setJntPosInit(const Vector6d&) override {}
  void setTCPPose_d(Mota::TaskPosition p) override { sink += p.position[0]; }
  void setTCPPose_tg(Mota::TaskPosition) override {}
  void setTCPVel_d(Mota::TaskVelocity v) override { sink += v.linear[0]; }
  void setTCPVel_d(double) override {}
  void setTCPAcc_d(double) override {}
  void setTCPVel_tg(double) override {}
  void setTCPAcc_tg(double) override {}
  void ReportError(RC_ERROR_LEVEL, RC_ERROR_CODE, const char*) override { ++errors; }

  SERVO_MODE servo = SERVO_POSITION;
  MOTION_SPACE space = SPACE_TASK;
  int32_t motion = 0, expTime = 0, monitoring = 0;
  double sink = 0.0;
  long errors = 0;
};

Snapshot Record(hostsim::SimulatedHost& h) {
  Snapshot s;
  s.jntPos = h.getJntPos();
  s.jntPosD = h.getJntPos_d();
  s.grav = h.getJntTrqGrav();
  s.trqExt = h.getJntTrqExt();
  s.trqExtFctrl = h.getJntTrqExt_Fctrl();
  s.trqExtLpf = h.getJntExtTrq_Fctrl_lpf();
  s.fts = h.getFTS_comp_FCtrl_lpf();
  s.forceDir = h.getTCPForce_dir();
  s.M = h.getJntM();
  s.J = h.getTCPJ();
  s.svMax = h.getCompliance_sv_max();
  s.Jinv = h.getCalInverseJacobianDLS(s.J, s.svMax);
  s.pose = h.getTCPPose();
  s.poseTarget = h.getTCPPose_tg();
  s.stcp = h.getSTCP();
  s.velTarget = h.getTCPVel_tg();
  s.r0 = h.getR0();
  s.tool = h.getTCPToolLength();
  s.payload = h.getTotalPayloadMass();
  s.minSingular = h.getMinSingularValue();
  s.scale = h.getModelScale();
  s.model = h.getModel();
  s.singularHandling = h.getSingularHandlingStatus();
  s.ref = h.getRefCoord(REF_MODE_COMPLIANCE);
  return s;
}

Vector6d V6(double a, double b, double c, double d, double e, double f) {
  Vector6d v;
  v << a, b, c, d, e, f;
  return v;
}

// A closed-loop run of the plug-in on the simulated arm, recording the host
// data of every cycle.
bool RecordRun(const std::string& plugin, std::vector<Snapshot>& out, std::string* error) {
  hostsim::Simulation sim;
  if (!sim.LoadPlugin(plugin, error)) return false;
  hostsim::SimulatedHost& h = sim.Host();
  h.SetForceDirection(Vector6d::Ones());
  const Eigen::Vector3d p = h.TcpPose().translation();
  h.Wrench().SetWall(p - Eigen::Vector3d(0, 0, 0.003), Eigen::Vector3d::UnitZ(), 20000.0, 50.0);
  if (sim.Start(V6(2000, 2000, 2000, 100, 100, 100), Vector6d::Zero(), 0.1) != 0) {
    *error = "Start refused";
    return false;
  }
  auto run = [&](double seconds) {
    for (long i = 0; i < static_cast<long>(seconds * 1000.0); ++i) {
      out.push_back(Record(h));
      sim.Step();
    }
  };
  h.Wrench().Step(V6(12, -6, 0, 0.5, 0, 0.2));
  h.Trajectory().Move(0.0, 1.0, V6(0.03, 0.02, 0, 0, 0, 0.1));
  run(1.0);
  sim.SetForce(V6(0, 0, 1, 0, 0, 0), V6(0, 0, -10, 0, 0, 0), 0.3, false);
  sim.SetForceFactor(V6(1.5, 1.5, 1.5, 1, 1, 1), 0.2);
  run(1.0);
  sim.SetStiffness(V6(1000, 3000, 2000, 150, 100, 80), 0.2);
  sim.Release(0.3);
  run(1.0);
  return true;
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec * 1e-3;  // microseconds
}

// The cycle's linear algebra alone, on the recorded matrices: one general
// 6x6 eigen-decomposition with eigenvectors, four 6x6 inversions, the
// damped pseudo-inverse and the matrix products of the law.
struct Baseline {
  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
  Eigen::EigenSolver<Matrix6d> solver;
  Vector6d state = Vector6d::Zero();

  double Run(const Snapshot& s) {
    const Matrix6d R = Matrix6d::Identity();
    const Matrix6d Mv = s.M.diagonal().asDiagonal();
    const Matrix6d MvInv = Eigen::PartialPivLU<Matrix6d>(Mv).inverse();  // 1
    const Matrix6d X = R.transpose() * s.J * MvInv * s.J.transpose() * R;
    const Matrix6d M = X.diagonal().cwiseInverse().asDiagonal();
    const Matrix6d Minv = Eigen::PartialPivLU<Matrix6d>(M).inverse();  // 2
    const Matrix6d Mb = R * M * R.transpose();
    const Matrix6d MinvB = R * Minv * R.transpose();
    const Matrix6d K = Vector6d::Constant(2000.0).asDiagonal();
    const Matrix6d A = MinvB * K;
    solver.compute(A, true);
    const Matrix6d V = solver.eigenvectors().real();
    Vector6d w;
    for (int i = 0; i < 6; ++i) w[i] = std::sqrt(std::fabs(solver.eigenvalues()[i].real()));
    const Matrix6d Vinv = Eigen::PartialPivLU<Matrix6d>(V).inverse();  // 3
    const Matrix6d D = 2.0 * Mb * Vector6d::Constant(5.0).asDiagonal() * V * w.asDiagonal() * Vinv;
    const Matrix6d Jp = s.J.transpose() * Eigen::PartialPivLU<Matrix6d>(
                                              s.J * s.J.transpose() + 0.0025 * Matrix6d::Identity())
                                              .inverse();  // 4, the pseudo-inverse
    const Vector6d wrench = Jp.transpose() * s.trqExtFctrl;
    const Vector6d a = MinvB * (wrench - D * state - K * state);
    state += 1e-6 * a;
    return state[0] + D(0, 0);
  }
};

struct Stats {
  double median, p99, max;
};

Stats Summarise(std::vector<double>& t) {
  std::sort(t.begin(), t.end());
  return {t[t.size() / 2], t[static_cast<size_t>(t.size() * 0.99)], t.back()};
}

void Usage() {
  std::printf(
      "Usage: bench_admittance [--cycles N] [--plugin PATH]\n\n"
      "Times the admittance plug-in's DoControl per 1 ms cycle on host data\n"
      "recorded from the simulated arm, side by side with a baseline doing\n"
      "only the cycle's linear algebra (6x6 eigen-decomposition, four 6x6\n"
      "inversions, pseudo-inverse, products), and counts heap allocations.\n"
      "Default: 100000 cycles, the plug-in of this build.\n");
}

}  // namespace

int main(int argc, char** argv) {
  long cycles = 100000;
  std::string plugin = ADMITTANCE_PLUGIN;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      Usage();
      return 0;
    } else if (!std::strcmp(argv[i], "--cycles") && i + 1 < argc) {
      cycles = std::max(1000L, std::atol(argv[++i]));
    } else if (!std::strcmp(argv[i], "--plugin") && i + 1 < argc) {
      plugin = argv[++i];
    } else {
      Usage();
      return 2;
    }
  }

  std::vector<Snapshot> snapshots;
  std::string error;
  if (!RecordRun(plugin, snapshots, &error)) {
    std::fprintf(stderr, "bench_admittance: %s\n", error.c_str());
    return 1;
  }

  void* handle = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  auto create =
      handle ? reinterpret_cast<ControlModule* (*)(long)>(dlsym(handle, "create")) : nullptr;
  if (create == nullptr) {
    std::fprintf(stderr, "bench_admittance: cannot load %s\n", plugin.c_str());
    return 1;
  }
  ReplayContext ctx;
  ctx.s = &snapshots[0];
  std::unique_ptr<ControlModule> module(create(1));
  module->SetRobotControlContext(&ctx);
  unsigned char start[64] = {};
  const float k[6] = {2000, 2000, 2000, 100, 100, 100};
  std::memcpy(start + 2, k, sizeof k);
  if (module->Start(start) != 0) {
    std::fprintf(stderr, "bench_admittance: Start refused on the recorded data\n");
    return 1;
  }
  unsigned char force[64] = {};
  const int32_t forceType = 4;
  std::memcpy(force, &forceType, 4);
  force[5 + 2] = 1;
  const float f[6] = {0, 0, -10, 0, 0, 0};
  std::memcpy(force + 11, f, sizeof f);
  const float forceTime = 0.3f;
  std::memcpy(force + 35, &forceTime, 4);
  module->UpdateControlGain(force);

  auto baseline = std::make_unique<Baseline>();
  std::vector<double> plug(cycles), base(cycles);
  double sink = 0.0;
  long allocations = 0;
  const long warmup = 5000;
  for (long i = -warmup; i < cycles; ++i) {
    const Snapshot& s = snapshots[static_cast<size_t>((i + warmup) % snapshots.size())];
    ctx.s = &s;
    const long a0 = counting_new::calls.load(std::memory_order_relaxed);
    const double t0 = Now();
    module->DoControl();
    const double t1 = Now();
    allocations += counting_new::calls.load(std::memory_order_relaxed) - a0;
    sink += baseline->Run(s);
    const double t2 = Now();
    if (i >= 0) {
      plug[i] = t1 - t0;
      base[i] = t2 - t1;
    }
  }
  module.reset();
  dlclose(handle);

  const Stats p = Summarise(plug);
  const Stats b = Summarise(base);
  std::printf(
      "bench_admittance: DoControl per 1 ms cycle, %ld cycles on recorded simulated-arm data\n",
      cycles);
  std::printf("  %-34s %9s %9s %9s\n", "", "median", "p99", "max");
  std::printf("  %-34s %7.2f us %6.2f us %6.2f us\n", "admittance DoControl", p.median, p.p99,
              p.max);
  std::printf("  %-34s %7.2f us %6.2f us %6.2f us\n", "baseline: the cycle's linear algebra",
              b.median, b.p99, b.max);
  std::printf("  share of the 1 ms cycle (DoControl)   %6.2f %%  %6.2f %%  %6.2f %%\n",
              p.median / 10.0, p.p99 / 10.0, p.max / 10.0);
  std::printf("  ratio DoControl / baseline (median)   %.2f   (goal: at most 1.5)\n",
              p.median / b.median);
  std::printf("  p99 under 10 us (1%% of the cycle)     %s\n", p.p99 < 10.0 ? "yes" : "NO");
  std::printf("  heap allocations per cycle            %.3f  (%ld in %ld cycles)\n",
              static_cast<double>(allocations) / static_cast<double>(cycles + warmup), allocations,
              cycles + warmup);
  if (ctx.errors != 0) std::printf("  module errors during the run: %ld\n", ctx.errors);
  return (sink == 12345.678) ? 3 : 0;  // keeps the results alive
}
