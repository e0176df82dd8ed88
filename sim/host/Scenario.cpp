#include "Scenario.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace hostsim {
namespace {

constexpr double kDeg = 3.141592653589793 / 180.0;
// The fastest trajectory target a motion library hands an arm of this
// kind: 2 m/s and 180 degrees/s at the peak of the profile.
constexpr double kMaxTargetSpeed = 2.0;
constexpr double kMaxTargetAngularSpeed = 180.0 * kDeg;

// Refuses a trajectory whose peak speed is beyond what the arm can follow.
bool TargetSpeedWithinLimits(double linear, double angular, std::string& why) {
  char text[160];
  if (!(linear <= kMaxTargetSpeed)) {
    std::snprintf(text, sizeof text,
                  "the target would move at %.3g m/s at its peak, beyond the limit of %g m/s: "
                  "give it more time",
                  linear, kMaxTargetSpeed);
    return why = text, false;
  }
  if (!(angular <= kMaxTargetAngularSpeed)) {
    std::snprintf(text, sizeof text,
                  "the target would turn at %.3g degrees/s at its peak, beyond the limit of %g "
                  "degrees/s: give it more time",
                  angular / kDeg, kMaxTargetAngularSpeed / kDeg);
    return why = text, false;
  }
  return true;
}

class LineReader {
 public:
  explicit LineReader(const std::string& line) : m_in(line) {}
  bool Word(std::string& w) { return static_cast<bool>(m_in >> w); }
  bool Number(double& x) {
    std::string w;
    if (!(m_in >> w)) return false;
    char* end = nullptr;
    x = std::strtod(w.c_str(), &end);
    return end != w.c_str() && *end == '\0' && std::isfinite(x);
  }
  bool Numbers(double* x, int n) {
    for (int i = 0; i < n; ++i)
      if (!Number(x[i])) return false;
    return true;
  }
  bool Vec6(Vector6d& v) { return Numbers(v.data(), 6); }
  // A number within [lo, hi], truncated toward zero: the whole-number
  // settings, whose types cannot hold every double.
  template <typename T>
  bool Whole(T& out, double lo, double hi) {
    double x;
    if (!Number(x) || x < lo || x > hi) return false;
    out = static_cast<T>(x);
    return true;
  }
  // A count of cycles: a whole number from 0 to a million, fractions
  // refused. With `optional`, a line that has ended leaves `out` as it is.
  bool Cycles(int& out, bool optional = false) {
    double x = out;
    if (!(optional ? OptionalNumber(x) : Number(x)) || x < 0.0 || x > 1e6 || x != std::floor(x))
      return false;
    out = static_cast<int>(x);
    return true;
  }
  bool Keyword(const char* expected) {
    std::string w;
    return Word(w) && w == expected;
  }
  // Optional trailing word; true if present and equal.
  bool Optional(const char* expected) {
    std::streampos pos = m_in.tellg();
    std::string w;
    if (m_in >> w) {
      if (w == expected) return true;
      m_in.clear();
      m_in.seekg(pos);
    }
    return false;
  }
  // An optional trailing number: true with `x` unchanged when the line has
  // ended, false when a word is there that is not a number.
  bool OptionalNumber(double& x) {
    const std::streampos pos = m_in.tellg();
    std::string w;
    if (!(m_in >> w)) return true;
    m_in.clear();
    m_in.seekg(pos);
    return Number(x);
  }
  bool AtEnd() {
    std::string w;
    return !(m_in >> w);
  }

 private:
  std::istringstream m_in;
};

bool ParseEvent(LineReader& r, ScenarioEvent& e, std::string& why) {
  const std::string& k = e.kind;
  if (k == "start") {
    if (!r.Keyword("stiffness") || !r.Vec6(e.a) || !r.Keyword("force") || !r.Vec6(e.b) ||
        !r.Keyword("time") || !r.Number(e.value))
      return why = "expected: start stiffness k1..k6 force f1..f6 time T", false;
  } else if (k == "stiffness") {
    if (!r.Vec6(e.a) || !r.Keyword("time") || !r.Number(e.value))
      return why = "expected: stiffness k1..k6 time T", false;
  } else if (k == "force") {
    if (!r.Keyword("dir") || !r.Vec6(e.a) || !r.Keyword("value") || !r.Vec6(e.b) ||
        !r.Keyword("time") || !r.Number(e.value))
      return why = "expected: force dir d1..d6 value f1..f6 time T [relative]", false;
    e.flag = r.Optional("relative");
  } else if (k == "release") {
    if (!r.Keyword("time") || !r.Number(e.value)) return why = "expected: release time T", false;
  } else if (k == "force_factor" || k == "damping_factor") {
    if (!r.Vec6(e.a) || !r.Keyword("time") || !r.Number(e.value))
      return why = "expected: " + k + " f1..f6 time T", false;
  } else if (k == "pause" || k == "resume" || k == "check" || k == "nowall") {
  } else if (k == "stop") {
    e.flag = r.Optional("refuse");
  } else if (k == "wrench") {
    if (!r.Vec6(e.a)) return why = "expected: wrench fx fy fz mx my mz", false;
  } else if (k == "ramp") {
    if (!r.Number(e.value) || e.value < 0.0 || !r.Vec6(e.a))
      return why = "expected: ramp duration fx fy fz mx my mz", false;
  } else if (k == "wall") {
    double v[6];
    if (!r.Numbers(v, 6) || !r.Number(e.value) || e.value < 0.0 || e.value > 1e7)
      return why = "expected: wall px py pz nx ny nz stiffness [damping D]", false;
    e.point = Eigen::Vector3d(v[0], v[1], v[2]);
    e.a << v[3], v[4], v[5], 0, 0, 0;
    if (e.a.head<3>().norm() == 0.0) return why = "wall normal must not be zero", false;
    if (r.Optional("damping") && (!r.Number(e.damping) || e.damping < 0.0))
      return why = "expected: damping D", false;
  } else if (k == "move") {
    if (!r.Number(e.value) || e.value <= 0.0 || !r.Vec6(e.a))
      return why = "expected: move duration dx dy dz drx dry drz (m, degrees)", false;
    e.a.tail<3>() *= kDeg;
    // The quintic profile peaks at 1.875 times the mean speed.
    if (!TargetSpeedWithinLimits(1.875 * e.a.head<3>().norm() / e.value,
                                 1.875 * e.a.tail<3>().norm() / e.value, why))
      return false;
  } else if (k == "line") {
    double d[3];
    if (!r.Number(e.value) || e.value <= 0.0 || !r.Numbers(d, 3))
      return why = "expected: line duration dx dy dz [blend S] (m)", false;
    e.a << d[0], d[1], d[2], 0, 0, 0;
    e.damping = 0.1;
    if (r.Optional("blend") && (!r.Number(e.damping) || e.damping <= 0.0))
      return why = "expected: blend seconds (above 0)", false;
    // Cruise speed of the trapezoid, its blend held within the duration as
    // the trajectory holds it.
    const double blend = std::min(std::max(e.damping, 0.001), 0.5 * e.value);
    if (!TargetSpeedWithinLimits(e.a.head<3>().norm() / (e.value - blend), 0.0, why)) return false;
  } else if (k == "spiral") {
    // spiral duration radius turns [until_drop D]
    if (!r.Number(e.value) || e.value <= 0.0 || !r.Number(e.a[0]) || e.a[0] <= 0.0 ||
        !r.Number(e.a[1]) || e.a[1] <= 0.0)
      return why = "expected: spiral duration radius turns [until_drop D] (s, m, turns, m)", false;
    // Fastest at the outer end: (R / S) sqrt(1 + (2 pi N)^2).
    const double w = 2.0 * 3.141592653589793 * e.a[1];
    if (!TargetSpeedWithinLimits(e.a[0] / e.value * std::sqrt(1.0 + w * w), 0.0, why)) return false;
    if (r.Optional("until_drop")) {
      if (!r.Number(e.damping) || e.damping <= 0.0)
        return why = "expected: until_drop D (m, above 0)", false;
      e.flag = true;
    }
  } else if (k == "halt") {
  } else if (k == "raw" || k == "raw_start") {
    std::string w;
    while (r.Word(w)) {
      char* end = nullptr;
      const long byte = std::strtol(w.c_str(), &end, 16);
      if (*end != '\0' || byte < 0 || byte > 255 || w.empty())
        return why = "raw bytes are hexadecimal, 00 to ff", false;
      e.bytes.push_back(static_cast<unsigned char>(byte));
    }
    if (e.bytes.empty() || e.bytes.size() > 64) return why = "raw takes 1 to 64 bytes", false;
    return true;
  } else {
    return why = "unknown command '" + k + "'", false;
  }
  if (!r.AtEnd()) return why = "unexpected text at the end of the line", false;
  return true;
}

// The boxes of a plate with a square hole (x and y sides, axis +z): four
// walls around it, four 45-degree chamfer blocks at its mouth and a floor.
void AddHole(const Eigen::Vector3d& mouth, double width, double depth, double chamfer,
             const ContactSurface& surface, std::vector<ContactSurface>& out) {
  const double plate = 0.06;  // half size of the plate
  const double w = 0.5 * width, c = chamfer;
  auto box = [&](const Eigen::Vector3d& centre, const Eigen::Vector3d& half,
                 const Eigen::Vector3d& rotation) {
    ContactSurface b = surface;
    b.shape = ContactSurface::kBox;
    b.point = mouth + centre;
    b.halfSize = half;
    b.rotation = rotation;
    out.push_back(b);
  };
  const double zWall = -0.5 * (depth + c), hWall = 0.5 * (depth - c);  // below the chamfer
  const double reach = 0.5 * (plate - w);
  for (int side = 0; side < 2; ++side) {
    const double sgn = side == 0 ? 1.0 : -1.0;
    // Walls along x (full plate width in y) and along y (between them).
    box({sgn * (w + reach), 0, zWall}, {reach, plate, hWall}, {0, 0, 0});
    box({0, sgn * (w + reach), zWall}, {w, reach, hWall}, {0, 0, 0});
    if (c > 0.0) {
      const double top = 0.5 * (plate - w - c);
      // Full-height plate beyond the chamfer.
      box({sgn * (w + c + top), 0, -0.5 * c}, {top, plate, 0.5 * c}, {0, 0, 0});
      box({0, sgn * (w + c + top), -0.5 * c}, {w + c, top, 0.5 * c}, {0, 0, 0});
      // A block turned 45 degrees whose top face runs from the hole's edge
      // (c below the top) to c beyond it at the top.
      const double t = 0.5 * c, half = c * std::sqrt(0.5);
      const Eigen::Vector3d mid(w + 0.5 * c, 0.0, -0.5 * c);
      const Eigen::Vector3d in = Eigen::Vector3d(1, 0, -1).normalized() * t;
      const Eigen::Vector3d cx(sgn * (mid.x() + in.x()), 0.0, mid.z() + in.z());
      box(cx, {half, w + c, t}, {0, -sgn * 45.0 * kDeg, 0});
      box({0, cx.x(), cx.z()}, {w + c, half, t}, {sgn * 45.0 * kDeg, 0, 0});
    }
  }
  // The floor.
  box({0, 0, -depth - 0.005}, {w, w, 0.005}, {0, 0, 0});
}

bool ParseSetting(const std::string& key, LineReader& r, Scenario& s, std::string& why) {
  HostParameters& h = s.host;
  double v[6];
  auto fail = [&](const char* usage) { return why = std::string("expected: ") + usage, false; };
  if (key == "duration") {
    if (!r.Number(s.duration) || s.duration <= 0.0 || s.duration > 3600.0)
      return fail("duration seconds (0 to 3600)");
  } else if (key == "plugin") {
    if (!r.Word(s.plugin)) return fail("plugin path");
  } else if (key == "posture") {
    if (!r.Numbers(v, 6)) return fail("posture q1..q6 (degrees)");
    std::copy(v, v + 6, h.postureDeg.begin());
  } else if (key == "tool") {
    if (!r.Numbers(v, 3)) return fail("tool x y z (metres)");
    h.arm.tool = Eigen::Vector3d(v[0], v[1], v[2]);
  } else if (key == "payload") {
    if (!r.Number(h.arm.payload) || h.arm.payload < 0.0) return fail("payload kg");
  } else if (key == "gravity") {
    if (!r.Numbers(v, 3)) return fail("gravity gx gy gz");
    h.arm.gravity = Eigen::Vector3d(v[0], v[1], v[2]);
  } else if (key == "friction") {
    if (!r.Number(h.arm.viscousFriction) || h.arm.viscousFriction < 0.0)
      return fail("friction Nm s/rad");
  } else if (key == "model") {
    if (!r.Whole(h.model, INT32_MIN, INT32_MAX)) return fail("model index");
  } else if (key == "model_scale") {
    if (!r.Number(h.modelScale)) return fail("model_scale value");
  } else if (key == "sv_max") {
    if (!r.Number(h.complianceSvMax) || h.complianceSvMax < 0.0) return fail("sv_max value");
  } else if (key == "fts") {
    if (!r.Number(v[0])) return fail("fts 0|1");
    h.fts = v[0] != 0.0;
  } else if (key == "online_tracking") {
    if (!r.Number(v[0])) return fail("online_tracking 0|1");
    h.onlineTracking = v[0] != 0.0;
  } else if (key == "singular_handling") {
    if (!r.Number(v[0]) || v[0] < 0 || v[0] > 255) return fail("singular_handling 0..255");
    h.singularHandling = static_cast<uint8_t>(v[0]);
  } else if (key == "ext_torque_limit") {
    if (!r.Number(h.extTorqueLimit)) return fail("ext_torque_limit Nm");
  } else if (key == "monitoring") {
    if (!r.Whole(h.forceControlMonitoring, INT32_MIN, INT32_MAX))
      return fail("monitoring word (32-bit)");
  } else if (key == "noise") {
    if (!r.Number(h.torqueNoise) || !r.Number(h.wrenchNoise) || h.torqueNoise < 0 ||
        h.wrenchNoise < 0)
      return fail("noise torque_std wrench_std");
  } else if (key == "seed") {
    if (!r.Whole(h.seed, 0, UINT32_MAX)) return fail("seed n (0 to 4294967295)");
  } else if (key == "frame") {
    std::string w;
    if (!r.Word(w)) return fail("frame base|tool|world|user N");
    if (w == "base")
      h.frame = {COORD_BASE, 0, 0};
    else if (w == "tool")
      h.frame = {COORD_TOOL, 0, 0};
    else if (w == "world")
      h.frame = {COORD_WORLD, 0, 0};
    else if (w == "user") {
      if (!r.Number(v[0]) || v[0] < 0 || v[0] >= 8) return fail("frame user N (0..7)");
      h.frame = {COORD_USER, static_cast<int32_t>(v[0]), 0};
    } else
      return fail("frame base|tool|world|user N");
  } else if (key == "world" || key == "userframe") {
    int index = 0;
    if (key == "userframe") {
      if (!r.Number(v[0]) || v[0] < 0 || v[0] >= 8) return fail("userframe N rx ry rz (degrees)");
      index = static_cast<int>(v[0]);
    }
    if (!r.Numbers(v, 3)) return fail("rx ry rz (degrees)");
    Mota::Rotation rot;
    rot.Euler2Rot(v[0], v[1], v[2], 0, 1, 2, UNIT_TYPE::MILLIMETER_DEGREE);
    if (key == "world")
      h.world = rot;
    else
      h.userFrames[index] = rot;
  } else if (key == "plant") {
    std::string w;
    if (!r.Word(w) || !ParsePlantKind(w, &h.plant)) return fail("plant kdl|mujoco");
  } else if (key == "servo_kp" || key == "servo_kd") {
    if (!r.Numbers(v, 6)) return fail("servo_kp|servo_kd g1..g6");
    for (int i = 0; i < 6; ++i)
      if (v[i] < 0.0) return fail("servo gains of 0 or more");
    std::copy(v, v + 6, (key == "servo_kp" ? h.mujoco.kp : h.mujoco.kd).begin());
  } else if (key == "torque_limit") {
    if (!r.Numbers(v, 6)) return fail("torque_limit l1..l6 (Nm)");
    for (int i = 0; i < 6; ++i)
      if (v[i] <= 0.0) return fail("torque limits above 0");
    std::copy(v, v + 6, h.torqueLimit.begin());
  } else if (key == "substeps") {
    if (!r.Number(v[0]) || v[0] < 1 || v[0] > 100 || v[0] != std::floor(v[0]))
      return fail("substeps n (1 to 100 engine steps per 1 ms cycle)");
    h.mujoco.substeps = static_cast<int>(v[0]);
  } else if (key == "friction_loss") {
    if (!r.Numbers(v, 6)) return fail("friction_loss f1..f6 (Nm)");
    for (int i = 0; i < 6; ++i)
      if (v[i] < 0.0) return fail("friction_loss of 0 or more");
    std::copy(v, v + 6, h.mujoco.frictionLoss.begin());
  } else if (key == "unreported_payload") {
    if (!r.Number(h.mujoco.unreportedPayload) || h.mujoco.unreportedPayload < 0.0)
      return fail("unreported_payload kg");
  } else if (key == "mass_scale") {
    if (!r.Number(h.mujoco.massScale) || h.mujoco.massScale <= 0.0 || h.mujoco.massScale > 10.0)
      return fail("mass_scale factor (above 0, at most 10)");
  } else if (key == "fts_bias") {
    if (!r.Vec6(h.wrenchBias)) return fail("fts_bias fx fy fz mx my mz");
  } else if (key == "sensor_delay") {
    if (!r.Number(v[0])) return fail("sensor_delay 0|1");
    h.sensorDelay = v[0] != 0.0;
  } else if (key == "stale_sensor") {
    // stale_sensor EVERY [CYCLES]
    int every = 0, cycles = 5;
    if (!r.Cycles(every) || !r.Cycles(cycles, true))
      return fail("stale_sensor EVERY [CYCLES]: whole cycles, 0 to 1000000");
    // A window as long as the period would freeze the readings for good.
    if (every > 0 && cycles >= every)
      return fail("stale_sensor EVERY [CYCLES]: CYCLES (5 when left out) below EVERY");
    h.staleSensorEvery = every;
    h.staleSensorCycles = cycles;
  } else if (key == "overrun") {
    int every = 0;
    if (!r.Cycles(every) || every == 1)
      return fail("overrun EVERY: whole cycles, 0 or 2 to 1000000");
    h.overrunEvery = every;
  } else if (key == "contact") {
    // contact plane|wall PX PY PZ NX NY NZ stiffness K [damping D] [friction MU]
    // contact box PX PY PZ RX RY RZ (degrees) HX HY HZ stiffness K [damping D] [friction MU]
    std::string shape;
    ContactSurface c;
    const char* usage =
        "contact plane|wall px py pz nx ny nz stiffness K [damping D] [friction MU] or "
        "contact box px py pz rx ry rz hx hy hz stiffness K [damping D] [friction MU]";
    if (!r.Word(shape)) return fail(usage);
    if (shape == "plane" || shape == "wall") {
      if (!r.Numbers(v, 6)) return fail(usage);
      c.shape = ContactSurface::kPlane;
      c.point = Eigen::Vector3d(v[0], v[1], v[2]);
      c.normal = Eigen::Vector3d(v[3], v[4], v[5]);
      if (c.normal.norm() == 0.0) return why = "contact normal must not be zero", false;
      c.normal.normalize();
    } else if (shape == "box") {
      double h3[3];
      if (!r.Numbers(v, 6) || !r.Numbers(h3, 3)) return fail(usage);
      c.shape = ContactSurface::kBox;
      c.point = Eigen::Vector3d(v[0], v[1], v[2]);
      c.rotation = Eigen::Vector3d(v[3], v[4], v[5]) * kDeg;
      c.halfSize = Eigen::Vector3d(h3[0], h3[1], h3[2]);
      if (c.halfSize.minCoeff() <= 0.0) return why = "box half sizes must be above 0", false;
    } else {
      return fail(usage);
    }
    if (!r.Keyword("stiffness") || !r.Number(c.stiffness) || c.stiffness <= 0.0 ||
        c.stiffness > 1e7)
      return fail("stiffness K (N/m, above 0, at most 1e7)");
    if (r.Optional("damping") && (!r.Number(c.damping) || c.damping < 0.0))
      return fail("damping D (N s/m, 0 or more)");
    if (r.Optional("friction") && (!r.Number(c.friction) || c.friction < 0.0))
      return fail("friction MU (0 = frictionless)");
    h.mujoco.contacts.push_back(c);
  } else if (key == "origin") {
    std::string w;
    if (!r.Word(w) || (w != "tcp" && w != "base")) return fail("origin tcp|base");
    s.originAtTcp = w == "tcp";
  } else if (key == "arm") {
    std::string w;
    ArmSize size;
    if (!r.Word(w) || !ParseArmSize(w, &size)) return fail("arm small|medium|large");
    ApplyArmSize(size, h.arm);
    // The position loop and the torque limits grow with the arm, so each
    // size keeps the medium arm's servo bandwidth and torque margin.
    const double m = ArmMassScale(size), l = ArmReachScale(size);
    const MujocoParameters servo;
    const HostParameters host;
    for (int i = 0; i < 6; ++i) {
      h.mujoco.kp[i] = servo.kp[i] * m * l * l;
      h.mujoco.kd[i] = servo.kd[i] * m * l * l;
      h.torqueLimit[i] = host.torqueLimit[i] * m * l;
    }
  } else if (key == "peg") {
    if (!r.Numbers(v, 2) || v[0] <= 0.0 || v[1] <= 0.0)
      return fail("peg half_width half_length (m, above 0)");
    h.mujoco.pegHalfWidth = v[0];
    h.mujoco.pegHalfLength = v[1];
  } else if (key == "hole") {
    // hole CX CY ZTOP WIDTH DEPTH CHAMFER stiffness K [friction MU]: a square
    // hole of WIDTH across, DEPTH deep, in a plate whose top is at ZTOP,
    // with 45-degree chamfers CHAMFER wide at its mouth and a floor.
    if (!r.Numbers(v, 6) || v[3] <= 0.0 || v[4] <= 0.0 || v[5] < 0.0)
      return fail("hole cx cy ztop width depth chamfer stiffness K [friction MU] (m)");
    ContactSurface c;
    if (!r.Keyword("stiffness") || !r.Number(c.stiffness) || c.stiffness <= 0.0 ||
        c.stiffness > 1e7)
      return fail("stiffness K (N/m, above 0, at most 1e7)");
    if (r.Optional("friction") && (!r.Number(c.friction) || c.friction < 0.0))
      return fail("friction MU (0 = frictionless)");
    AddHole(Eigen::Vector3d(v[0], v[1], v[2]), v[3], v[4], v[5], c, h.mujoco.contacts);
    h.holeMouth = Eigen::Vector3d(v[0], v[1], v[2]);
    h.holeDepth = v[4];
  } else if (key == "expect") {
    Expectation x;
    std::string op, value;
    double probe;
    RunMetrics none;
    if (!r.Word(x.key) || !r.Word(op) || !r.Word(value) || op.size() != 1 ||
        std::string("<>=").find(op[0]) == std::string::npos)
      return fail("expect KEY < V | KEY > V | KEY = true|false|V");
    if (!MetricByKey(none, x.key, &probe)) return why = "unknown metric '" + x.key + "'", false;
    x.op = op[0];
    char* end = nullptr;
    if (value == "true" || value == "false")
      x.value = value == "true" ? 1.0 : 0.0;
    else if ((x.value = std::strtod(value.c_str(), &end), *end != '\0') || !std::isfinite(x.value))
      return fail("expect KEY < V with a number V");
    s.expectations.push_back(x);
  } else if (key == "max_joint_speed") {
    if (!r.Number(h.maxJointSpeed) || h.maxJointSpeed <= 0.0) return fail("max_joint_speed rad/s");
  } else {
    return why = "unknown setting '" + key + "'", false;
  }
  if (!r.AtEnd()) return why = "unexpected text at the end of the line", false;
  return true;
}

}  // namespace

bool Scenario::Parse(const std::string& text, const std::string& name, Scenario* out,
                     std::string* error) {
  Scenario s;
  s.name = name;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    LineReader r(line);
    std::string key;
    if (!r.Word(key)) continue;
    std::string why;
    if (key == "at") {
      ScenarioEvent e;
      e.line = number;
      {
        std::istringstream words(line);
        std::string w;
        int n = 0;
        while (words >> w)
          if (++n > 2) e.text += (e.text.empty() ? "" : " ") + w;
      }
      if (!r.Number(e.time) || e.time < 0.0)
        why = "expected: at <seconds> <command> ...";
      else if (!r.Word(e.kind))
        why = "missing command after the time";
      else if (ParseEvent(r, e, why))
        s.events.push_back(e);
    } else {
      ParseSetting(key, r, s, why);
    }
    if (!why.empty()) {
      if (error) *error = name + ":" + std::to_string(number) + ": " + why;
      return false;
    }
  }
  std::stable_sort(s.events.begin(), s.events.end(),
                   [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.time < b.time; });
  if (s.originAtTcp) {
    // The arm and posture are known only once every line is read.
    const Eigen::Vector3d origin = StartTcpPosition(s.host);
    for (ContactSurface& c : s.host.mujoco.contacts) c.point += origin;
    if (s.host.holeDepth > 0.0) s.host.holeMouth += origin;
    for (ScenarioEvent& e : s.events)
      if (e.kind == "wall") e.point += origin;
  }
  *out = s;
  return true;
}

Eigen::Vector3d Scenario::StartTcpPosition(const HostParameters& host) {
  SimulatedArm arm(host.arm);
  Vector6d q;
  for (int i = 0; i < 6; ++i) q[i] = host.postureDeg[i] * 3.141592653589793 / 180.0;
  return arm.Pose(q).translation();
}

bool Scenario::Load(const std::string& path, Scenario* out, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = path + ": cannot read the scenario file";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  return Parse(text.str(), path, out, error);
}

namespace {

const char* ServoName(SERVO_MODE m) {
  return m == SERVO_POSITION ? "position" : m == SERVO_TORQUE ? "torque" : "other";
}
const char* SpaceName(MOTION_SPACE s) {
  return s == SPACE_JOINT ? "joint" : s == SPACE_TASK ? "task" : "other";
}

void WriteHeader(FILE* f) {
  fprintf(f, "t,servo,space,compliance,exptime,motion,state");
  for (int i = 1; i <= 6; ++i) fprintf(f, ",q%d", i);
  const char* axes[6] = {"x", "y", "z", "rx", "ry", "rz"};
  for (auto a : axes) fprintf(f, ",d%s", a);
  for (auto a : axes) fprintf(f, ",target_d%s", a);
  const char* w[6] = {"Fx", "Fy", "Fz", "Mx", "My", "Mz"};
  for (auto a : w) fprintf(f, ",%s", a);
  for (auto a : axes) fprintf(f, ",k_%s", a);
  for (auto a : axes) fprintf(f, ",f_%s", a);
  for (int i = 1; i <= 6; ++i) fprintf(f, ",tau_cmd%d", i);
  for (int i = 1; i <= 6; ++i) fprintf(f, ",tau_ext%d", i);
  for (auto a : w) fprintf(f, ",sensed_%s", a);
  for (auto a : axes) fprintf(f, ",setpoint_d%s", a);
  fprintf(f, ",surface_axis,surface_d\n");
}

// The surface the tool touches (the wall, else the first declared contact;
// a box by its top face) where it meets the line through the TCP along its
// normal: the axis (0..2 for x, y, z) the normal mostly points along, and
// the surface's place on it as a displacement like the TCP's, m.
void SurfaceAlongAxis(Simulation& sim, int* axis, double* position) {
  SimulatedHost& h = sim.Host();
  Eigen::Vector3d point, normal;
  if (h.Wrench().HasWall()) {
    point = h.Wrench().WallPoint();
    normal = h.Wrench().WallNormal().normalized();
  } else if (h.Parameters().plant == PlantKind::kMujoco &&
             !h.Parameters().mujoco.contacts.empty()) {
    const ContactSurface& c = h.Parameters().mujoco.contacts.front();
    if (c.shape == ContactSurface::kPlane) {
      point = c.point;
      normal = c.normal.normalized();
    } else {
      const double angle = c.rotation.norm();
      const Eigen::Matrix3d r =
          angle > 0 ? Eigen::AngleAxisd(angle, c.rotation / angle).toRotationMatrix()
                    : Eigen::Matrix3d::Identity();
      normal = r.col(2);
      point = c.point + c.halfSize.z() * normal;
    }
  } else {
    return;
  }
  const double distance = normal.dot(h.TcpPose().translation() - point);
  const Eigen::Vector3d onSurface = sim.TcpDisplacement().head<3>() - distance * normal;
  normal.cwiseAbs().maxCoeff(axis);
  *position = onSurface[*axis];
}

void WriteRow(FILE* f, Simulation& sim) {
  SimulatedHost& h = sim.Host();
  fprintf(f, "%.4f,%d,%d,%d,%d,%d,%d", h.Time(), h.getServoMode(), h.getMotionSpace(),
          h.ComplianceOn() ? 1 : 0, h.getExpTimeStatus(), h.getMotionLibStatus(),
          sim.Running() ? 1 : 0);
  auto put = [&](const Vector6d& v) {
    for (int i = 0; i < 6; ++i) fprintf(f, ",%.9g", v[i]);
  };
  put(h.Joints());
  put(sim.TcpDisplacement());
  put(sim.TargetDisplacement());
  put(h.AppliedWrench());
  put(sim.CommandedStiffness());
  put(sim.CommandedForce());
  put(h.CommandedTorque());
  put(h.ExternalTorque());
  put(h.getFTS_comp_FCtrl_lpf());
  put(sim.SetpointDisplacement());
  int axis = -1;
  double surface = 0.0;
  SurfaceAlongAxis(sim, &axis, &surface);
  if (axis < 0)
    fprintf(f, ",-1,nan\n");
  else
    fprintf(f, ",%d,%.9g\n", axis, surface);
}

int Fire(const ScenarioEvent& e, Simulation& sim) {
  SimulatedHost& h = sim.Host();
  const std::string& k = e.kind;
  if (k == "start") return sim.Start(e.a, e.b, e.value);
  if (k == "stiffness") return sim.SetStiffness(e.a, e.value);
  if (k == "force") return sim.SetForce(e.a, e.b, e.value, e.flag);
  if (k == "release") return sim.Release(e.value);
  if (k == "force_factor") return sim.SetForceFactor(e.a, e.value);
  if (k == "damping_factor") return sim.SetDampingFactor(e.a, e.value);
  if (k == "pause") return sim.Pause();
  if (k == "resume") return sim.Resume();
  if (k == "stop") return sim.Stop(e.flag);
  if (k == "check") return sim.CheckControlState();
  if (k == "raw") return sim.UpdateRaw(e.bytes.data(), e.bytes.size());
  if (k == "raw_start") return sim.StartRaw(e.bytes.data(), e.bytes.size());
  if (k == "wrench" || k == "ramp") sim.Metrics().BeginMotionPhase(h.Time());
  if (k == "wrench")
    h.Wrench().Step(e.a);
  else if (k == "ramp")
    h.Wrench().Ramp(h.Time(), e.value, e.a);
  else if (k == "wall")
    h.Wrench().SetWall(e.point, e.a.head<3>(), e.value, e.damping);
  else if (k == "nowall")
    h.Wrench().ClearWall();
  else if (k == "move")
    h.Trajectory().Move(h.Time(), e.value, e.a);
  else if (k == "line")
    h.Trajectory().Line(h.Time(), e.value, e.a, e.damping);
  else if (k == "spiral")
    h.Trajectory().Spiral(h.Time(), e.value, e.a[0], e.a[1]);
  else if (k == "halt")
    h.Trajectory().Halt(h.Time());
  return 0;
}

// Why the module refused a command, as far as the host can tell: an error
// it raised during the call, control not running, or a force beyond the
// command maximum. Empty when the command was taken.
std::string Refusal(const ScenarioEvent& e, int result, bool wasRunning, Simulation& sim,
                    size_t errorsBefore) {
  if (result >= 0) return "";
  const std::vector<ErrorRecord>& errors = sim.Host().Errors();
  if (errors.size() > errorsBefore)
    return "refused: module error " + std::to_string(errors[errorsBefore].code) + ", " +
           errors[errorsBefore].text;
  if (sim.Module() == nullptr) return "refused: no plug-in loaded";
  const std::string& k = e.kind;
  char text[200];
  if (k == "start" || k == "force") {
    const Vector6d& force = e.b;
    const char* names[6] = {"fx", "fy", "fz", "mx", "my", "mz"};
    for (int i = 0; i < 6; ++i) {
      const double limit =
          i < 3 ? ControlModule::kMaxCommandForce : ControlModule::kMaxCommandMoment;
      if (std::fabs(force[i]) > limit) {
        snprintf(text, sizeof text, "refused: %s %g %s is beyond the command limit of %g %s",
                 names[i], force[i], i < 3 ? "N" : "Nm", limit, i < 3 ? "N" : "Nm");
        return text;
      }
    }
  }
  if (k == "stop" && e.flag) return "refused: the stop record asks to keep control";
  if (k != "start" && k != "raw_start" && !wasRunning) return "refused: control is not running";
  if (k == "force" && e.flag)
    return "refused: the force with the relative offset added is beyond the command limit "
           "of " +
           std::to_string(static_cast<int>(ControlModule::kMaxCommandForce)) + " N or " +
           std::to_string(static_cast<int>(ControlModule::kMaxCommandMoment)) + " Nm";
  return "refused by the plug-in: a record it does not take, or values it does not accept";
}

bool IsCommand(const std::string& k) {
  return k != "wrench" && k != "ramp" && k != "wall" && k != "nowall" && k != "move" &&
         k != "line" && k != "spiral" && k != "halt";
}

}  // namespace

RunSummary RunScenario(const Scenario& scenario, Simulation& sim, const RunOptions& options) {
  RunSummary summary;
  SimulatedHost& h = sim.Host();
  if (options.csv) WriteHeader(options.csv);
  if (options.events) fprintf(options.events, "t,kind,result,text\n");
  const long cycles = std::lround(scenario.duration / kCycle);
  size_t next = 0;
  size_t errorsSeen = h.Errors().size();
  const auto wallStart = std::chrono::steady_clock::now();
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const int logEvery = std::max(1, options.logEvery);
  bool dropWatch = false;
  double dropFrom = 0.0, dropBy = 0.0;
  for (long c = 0; c < cycles; ++c) {
    while (next < scenario.events.size() && scenario.events[next].time <= h.Time() + 1e-9) {
      const ScenarioEvent& e = scenario.events[next++];
      const bool wasRunning = sim.Running();
      const size_t errorsBefore = h.Errors().size();
      const int result = Fire(e, sim);
      if (e.kind == "spiral" || e.kind == "line" || e.kind == "move" || e.kind == "halt") {
        // A search spiral that ends once the tool has dropped: where it
        // started, and how far down counts as found.
        dropWatch = e.kind == "spiral" && e.flag;
        dropFrom = h.TcpPose().translation().z();
        dropBy = e.damping;
      }
      if (options.events) {
        std::string text = e.text;
        std::replace(text.begin(), text.end(), '"', '\'');
        if (IsCommand(e.kind))
          fprintf(options.events, "%.4f,%s,%d,\"%s\"\n", h.Time(), e.kind.c_str(), result,
                  text.c_str());
        else
          fprintf(options.events, "%.4f,%s,,\"%s\"\n", h.Time(), e.kind.c_str(), text.c_str());
      }
      if (options.story) {
        const std::string why = Refusal(e, result, wasRunning, sim, errorsBefore);
        if (IsCommand(e.kind))
          fprintf(options.story, "  t=%7.3f  %-60s -> %d%s%s%s\n", h.Time(), e.text.c_str(), result,
                  why.empty() ? "" : " (", why.c_str(), why.empty() ? "" : ")");
        else
          fprintf(options.story, "  t=%7.3f  %s\n", h.Time(), e.text.c_str());
      }
    }
    sim.Step();
    ++summary.cycles;
    if (dropWatch && h.TcpPose().translation().z() < dropFrom - dropBy) {
      dropWatch = false;
      h.Trajectory().Halt(h.Time());
      if (options.story)
        fprintf(options.story, "  t=%7.3f  spiral ends: the tool dropped %.1f mm\n", h.Time(),
                1e3 * (dropFrom - h.TcpPose().translation().z()));
    }
    if (options.story) {
      for (; errorsSeen < h.Errors().size(); ++errorsSeen) {
        const ErrorRecord& r = h.Errors()[errorsSeen];
        fprintf(options.story, "  t=%7.3f  module error %d (level %d): %s\n", r.time, r.code,
                r.level, r.text);
      }
    }
    if (!h.Joints().allFinite() || !h.CommandedTorque().allFinite())
      summary.finiteThroughout = false;
    summary.maxForce = std::max(summary.maxForce, h.AppliedWrench().head<3>().norm());
    summary.maxDisplacement =
        std::max(summary.maxDisplacement, sim.TcpDisplacement().head<3>().norm());
    if (options.csv && (c % logEvery == 0 || c + 1 == cycles)) WriteRow(options.csv, sim);
    if (options.realtime) {
      deadline.tv_nsec += 1000000;
      if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_nsec -= 1000000000;
        ++deadline.tv_sec;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    }
  }
  if (options.story) {
    for (; errorsSeen < h.Errors().size(); ++errorsSeen) {
      const ErrorRecord& r = h.Errors()[errorsSeen];
      fprintf(options.story, "  t=%7.3f  module error %d (level %d): %s\n", r.time, r.code, r.level,
              r.text);
    }
    fprintf(options.story, "  end: servo %s, %s space, compliance %s, control %s\n",
            ServoName(h.getServoMode()), SpaceName(h.getMotionSpace()),
            h.ComplianceOn() ? "on" : "off", sim.Running() ? "running" : "ended");
  }
  summary.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  summary.simulatedSeconds = h.Time();
  summary.finalDisplacement = sim.TcpDisplacement();
  summary.finalWrench = h.AppliedWrench();
  if (h.NonFiniteSetpoints() > 0) summary.finiteThroughout = false;
  summary.metrics = sim.ComputeMetrics();
  for (const Expectation& x : scenario.expectations) {
    double v = kNoValue;
    MetricByKey(summary.metrics, x.key, &v);
    const bool met = x.op == '<' ? v < x.value : x.op == '>' ? v > x.value : v == x.value;
    summary.expectationsMet = summary.expectationsMet && met;
    char text[160];
    if (std::isnan(v))
      std::snprintf(text, sizeof text, "%s%s null (expected %c %g)",
                    summary.verdict.empty() ? "" : "; ", x.key.c_str(), x.op, x.value);
    else
      std::snprintf(text, sizeof text, "%s%s %.3g (%s %c %g)", summary.verdict.empty() ? "" : "; ",
                    x.key.c_str(), v, met ? "ok" : "FAILED,", x.op, x.value);
    summary.verdict += text;
  }
  if (options.story && !scenario.expectations.empty())
    fprintf(options.story, "  verdict: %s: %s\n", summary.expectationsMet ? "ok" : "FAILED",
            summary.verdict.c_str());
  return summary;
}

}  // namespace hostsim
