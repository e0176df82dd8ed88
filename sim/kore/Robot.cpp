#include "Robot.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kore {

using VeloFramework::MonitoringData;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;

// Denavit-Hartenberg parameters (mm) of a mid-size six-axis arm, standard
// convention: a, alpha, d per joint.
struct Dh {
  double a, alpha, d;
};
// Working posture the joints swing about (degrees): tool in front of the
// base, about half a metre up.
constexpr double kCentre[6] = {0, -110, -70, -90, 90, 0};
constexpr Dh kArm[6] = {{0, kPi / 2, 162.5}, {-425.0, 0, 0},      {-392.2, 0, 0},
                        {0, kPi / 2, 133.3}, {0, -kPi / 2, 99.7}, {0, 0, 99.6}};

// Tool pose from joint angles (degrees): x, y, z in mm and the orientation
// as Z-Y-Z Euler angles in degrees, as the controller reports it.
void ForwardKinematics(const float joints[6], float pose[6]) {
  double T[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  for (int i = 0; i < 6; ++i) {
    double th = joints[i] * kDeg;
    double ct = std::cos(th), st = std::sin(th);
    double ca = std::cos(kArm[i].alpha), sa = std::sin(kArm[i].alpha);
    double A[4][4] = {{ct, -st * ca, st * sa, kArm[i].a * ct},
                      {st, ct * ca, -ct * sa, kArm[i].a * st},
                      {0, sa, ca, kArm[i].d},
                      {0, 0, 0, 1}};
    double R[4][4];
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) {
        R[r][c] = 0;
        for (int k = 0; k < 4; ++k) R[r][c] += T[r][k] * A[k][c];
      }
    std::memcpy(T, R, sizeof T);
  }
  pose[0] = static_cast<float>(T[0][3]);
  pose[1] = static_cast<float>(T[1][3]);
  pose[2] = static_cast<float>(T[2][3]);
  // Z-Y-Z: R = Rz(a) Ry(b) Rz(c).
  double b = std::atan2(std::sqrt(T[2][0] * T[2][0] + T[2][1] * T[2][1]), T[2][2]);
  double a, c;
  if (std::fabs(std::sin(b)) > 1e-9) {
    a = std::atan2(T[1][2], T[0][2]);
    c = std::atan2(T[2][1], -T[2][0]);
  } else {
    a = 0;
    c = std::atan2(T[1][0], T[0][0]);
  }
  pose[3] = static_cast<float>(a / kDeg);
  pose[4] = static_cast<float>(b / kDeg);
  pose[5] = static_cast<float>(c / kDeg);
}

enum class Kind { U8, U16, U32, F32 };

struct Field {
  const char* name;
  size_t offset;
  Kind kind;
  int count;
};

#define KORE_FIELD(name, kind, count) \
  { #name, offsetof(MonitoringData, name), kind, count }

const Field kFields[] = {
    KORE_FIELD(output_command_, Kind::U32, 1),
    KORE_FIELD(controller_version_info_, Kind::U16, 3),
    KORE_FIELD(control_box_digital_input_, Kind::U16, 1),
    KORE_FIELD(control_box_digital_input_ex_, Kind::U16, 1),
    KORE_FIELD(control_box_digital_output_, Kind::U16, 1),
    KORE_FIELD(tool_digital_input_, Kind::U8, 1),
    KORE_FIELD(tool_digital_output_, Kind::U8, 1),
    KORE_FIELD(system_status_, Kind::U32, 1),
    KORE_FIELD(general_purpose_register_, Kind::U16, 128),
    KORE_FIELD(robot_state_info_, Kind::U16, 1),
    KORE_FIELD(actual_joint_pose_, Kind::F32, 6),
    KORE_FIELD(actual_angular_velocity_, Kind::F32, 6),
    KORE_FIELD(actual_motor_current_, Kind::F32, 6),
    KORE_FIELD(actual_motor_torque_, Kind::F32, 6),
    KORE_FIELD(actual_task_space_pose_, Kind::F32, 6),
    KORE_FIELD(actual_task_sapce_velocity_, Kind::F32, 6),
    KORE_FIELD(motor_temperature_, Kind::F32, 6),
    KORE_FIELD(tool_offset_info_, Kind::F32, 6),
    KORE_FIELD(external_force_info_, Kind::F32, 6),
};
#undef KORE_FIELD

const char* const kStatusBits[] = {"servo_on_",
                                   "emergency_stopped_",
                                   "safety_stopped_",
                                   "direct_teaching_button_pressed_",
                                   "power_button_pressed_",
                                   "safety_stopped_requiring_recovery_mode_"};

// Analog channels: "control_box_analog_input_data_[i].type_info_" etc.
struct AnalogField {
  const char* name;
  size_t offset;
};
const AnalogField kAnalogFields[] = {
    {"control_box_analog_input_data_", offsetof(MonitoringData, control_box_analog_input_data_)},
    {"control_box_analog_output_data_", offsetof(MonitoringData, control_box_analog_output_data_)},
};

// Resolves a field expression to an address and kind. Bit fields of the
// status word give *bit >= 0.
bool Resolve(const std::string& expr, MonitoringData* rec, unsigned char** where, Kind* kind,
             int* bit, std::string* error) {
  *bit = -1;
  std::string name = expr;
  std::string member;
  size_t dot = name.find('.');
  if (dot != std::string::npos) {
    member = name.substr(dot + 1);
    name = name.substr(0, dot);
  }
  int index = -1;
  size_t bracket = name.find('[');
  if (bracket != std::string::npos) {
    char* end = nullptr;
    long v = std::strtol(name.c_str() + bracket + 1, &end, 10);
    if (end == nullptr || *end != ']' || end[1] != '\0' || v < 0) {
      *error = "bad index in " + expr;
      return false;
    }
    index = static_cast<int>(v);
    name = name.substr(0, bracket);
  }
  auto* base = reinterpret_cast<unsigned char*>(rec);
  if (name == "system_status_" && !member.empty()) {
    for (int b = 0; b < 6; ++b) {
      if (member == kStatusBits[b]) {
        *where = base + offsetof(MonitoringData, system_status_);
        *kind = Kind::U32;
        *bit = b;
        return true;
      }
    }
    *error = "no status bit " + member;
    return false;
  }
  for (const auto& a : kAnalogFields) {
    if (name != a.name) continue;
    if (index < 0 || index > 1) {
      *error = expr + ": channel index 0 or 1 needed";
      return false;
    }
    unsigned char* channel = base + a.offset + 8 * static_cast<size_t>(index);
    if (member == "type_info_") {
      *where = channel;
      *kind = Kind::U8;
    } else if (member == "analog_data_") {
      *where = channel + 4;
      *kind = Kind::F32;
    } else {
      *error = expr + ": .type_info_ or .analog_data_ needed";
      return false;
    }
    return true;
  }
  for (const auto& f : kFields) {
    if (name != f.name) continue;
    if (!member.empty()) {
      *error = "field " + name + " has no member " + member;
      return false;
    }
    if (index < 0 && f.count == 1) index = 0;
    if (index < 0 || index >= f.count) {
      *error = expr + ": index 0.." + std::to_string(f.count - 1) + " needed";
      return false;
    }
    size_t size = f.kind == Kind::U8 ? 1 : f.kind == Kind::U16 ? 2 : 4;
    *where = base + f.offset + size * static_cast<size_t>(index);
    *kind = f.kind;
    return true;
  }
  *error = "unknown field " + expr;
  return false;
}

std::string OnOff(bool on) {
  return on ? "ON" : "OFF";
}

std::string FloatText(float v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.3f", static_cast<double>(v));
  return buf;
}

}  // namespace

Robot::Robot(MonitoringData* record) : m_record(record) {
  std::memcpy(&m_applied, m_record, sizeof m_applied);
}

void Robot::Reset() {
  std::memset(m_record, 0, sizeof *m_record);
  MonitoringData& r = *m_record;
  r.controller_version_info_[0] = 2;
  r.controller_version_info_[1] = 12;
  r.controller_version_info_[2] = 3;
  r.system_status_.system_status_group_.servo_on_ = 1;
  r.robot_state_info_ = 1;
  r.control_box_analog_input_data_[0].analog_data_ = 5.0f;
  r.control_box_analog_input_data_[1].type_info_ = 1;
  r.control_box_analog_input_data_[1].analog_data_ = 12.0f;
  for (int i = 0; i < 6; ++i) {
    r.actual_joint_pose_[i] = static_cast<float>(kCentre[i]);
    r.motor_temperature_[i] = 31.0f + static_cast<float>(i);
  }
  r.tool_offset_info_[2] = 150.0f;
  ForwardKinematics(r.actual_joint_pose_, r.actual_task_space_pose_);
  std::memcpy(m_lastPose, r.actual_task_space_pose_, sizeof m_lastPose);
  std::memcpy(&m_applied, m_record, sizeof m_applied);
  m_lastT = -1;
}

void Robot::Animate(double t) {
  if (!m_animate) {
    m_lastT = -1;
    return;
  }
  MonitoringData& r = *m_record;
  // Each joint swings about a working posture on its own slow sine.
  const double* centre = kCentre;
  const double amplitude[6] = {40, 10, 20, 45, 20, 90};
  const double period[6] = {12, 9, 7, 11, 6, 14};  // seconds
  const double inertia[6] = {3.0, 4.0, 2.0, 0.5, 0.4, 0.2};
  const double gravity[6] = {0, 35, 15, 2, 1.5, 0};
  for (int i = 0; i < 6; ++i) {
    double w = 2 * kPi / period[i];
    double q = centre[i] + amplitude[i] * std::sin(w * t + i);
    double qd = amplitude[i] * w * std::cos(w * t + i);
    double qdd = -amplitude[i] * w * w * std::sin(w * t + i);
    double load = gravity[i] * std::cos((q - centre[i]) * kDeg);
    double torque = inertia[i] * qdd * kDeg + load + 0.02 * qd;
    r.actual_joint_pose_[i] = static_cast<float>(q);
    r.actual_angular_velocity_[i] = static_cast<float>(qd);
    r.actual_motor_torque_[i] = static_cast<float>(torque);
    r.actual_motor_current_[i] = static_cast<float>(0.12 * torque);
    r.motor_temperature_[i] =
        static_cast<float>(31.0 + i + 4.0 * (1.0 - std::exp(-t / 120.0)) + 0.2 * std::sin(t / 5));
    r.external_force_info_[i] = static_cast<float>(1.5 * std::sin(3.1 * t + 2 * i));
  }
  ForwardKinematics(r.actual_joint_pose_, r.actual_task_space_pose_);
  if (m_lastT >= 0 && t > m_lastT) {
    double dt = t - m_lastT;
    for (int i = 0; i < 6; ++i) {
      double d = r.actual_task_space_pose_[i] - m_lastPose[i];
      if (i >= 3) d = std::remainder(d, 360.0);  // angles wrap
      r.actual_task_sapce_velocity_[i] = static_cast<float>(d / dt);
    }
  }
  std::memcpy(m_lastPose, r.actual_task_space_pose_, sizeof m_lastPose);
  m_lastT = t;

  // Inputs: a bit walking over the control-box inputs every second, the
  // extended inputs counting every 2 s, a tool input blinking every 1.5 s.
  const auto step = static_cast<long>(t);
  r.control_box_digital_input_ = static_cast<uint16_t>((1u << (step % 16)) | 0x8000u);
  r.control_box_digital_input_ex_ = static_cast<uint16_t>((step / 2) & 0xf);
  uint8_t tool = static_cast<uint8_t>(r.tool_digital_input_ & ~0x01u);
  if (static_cast<long>(t / 1.5) % 2) tool |= 0x01;
  r.tool_digital_input_ = tool;
  r.control_box_analog_input_data_[0].analog_data_ =
      static_cast<float>(5.0 + 2.0 * std::sin(t / 2));
  r.control_box_analog_input_data_[1].analog_data_ =
      static_cast<float>(12.0 + 4.0 * std::cos(t / 3));
  r.robot_state_info_ = 1;
}

std::vector<Robot::Change> Robot::ApplyOutputRequests(bool* requested) {
  std::vector<Change> changes;
  *requested = __atomic_load_n(&m_record->output_command_, __ATOMIC_ACQUIRE) == 1;
  if (!*requested) return changes;
  MonitoringData now;
  std::memcpy(&now, m_record, sizeof now);
  __atomic_store_n(&m_record->output_command_, 0u, __ATOMIC_RELEASE);

  for (int i = 0; i < 16; ++i) {
    bool was = (m_applied.control_box_digital_output_ >> i) & 1;
    bool is = (now.control_box_digital_output_ >> i) & 1;
    if (was != is) {
      changes.push_back({"control-box output " + std::to_string(i) + " -> " + OnOff(is),
                         "control-box", i, is ? "1" : "0"});
    }
  }
  for (int i = 0; i < 8; ++i) {
    bool was = (m_applied.tool_digital_output_ >> i) & 1;
    bool is = (now.tool_digital_output_ >> i) & 1;
    if (was != is) {
      changes.push_back(
          {"tool output " + std::to_string(i) + " -> " + OnOff(is), "tool", i, is ? "1" : "0"});
    }
  }
  for (int i = 0; i < 2; ++i) {
    const auto& was = m_applied.control_box_analog_output_data_[i];
    const auto& is = now.control_box_analog_output_data_[i];
    if (was.type_info_ != is.type_info_) {
      changes.push_back(
          {"analog output " + std::to_string(i) + " type -> " + std::to_string(is.type_info_),
           "analog-output-type", i, std::to_string(is.type_info_)});
    }
    if (std::memcmp(&was.analog_data_, &is.analog_data_, sizeof(float)) != 0) {
      changes.push_back({"analog output " + std::to_string(i) + " -> " + FloatText(is.analog_data_),
                         "analog-output", i, FloatText(is.analog_data_)});
    }
    const auto& wasIn = m_applied.control_box_analog_input_data_[i];
    const auto& isIn = now.control_box_analog_input_data_[i];
    if (wasIn.type_info_ != isIn.type_info_) {
      changes.push_back(
          {"analog input " + std::to_string(i) + " type -> " + std::to_string(isIn.type_info_),
           "analog-input-type", i, std::to_string(isIn.type_info_)});
    }
  }
  for (int i = 0; i < 128; ++i) {
    if (m_applied.general_purpose_register_[i] != now.general_purpose_register_[i]) {
      changes.push_back({"general-purpose register " + std::to_string(i) + " -> " +
                             std::to_string(now.general_purpose_register_[i]),
                         "gpr", i, std::to_string(now.general_purpose_register_[i])});
    }
  }
  m_applied = now;
  return changes;
}

bool Robot::SetField(const std::string& field, const std::string& value, std::string* error) {
  unsigned char* where;
  Kind kind;
  int bit;
  if (!Resolve(field, m_record, &where, &kind, &bit, error)) return false;
  char* end = nullptr;
  if (kind == Kind::F32) {
    double v = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0') {
      *error = "not a number: " + value;
      return false;
    }
    float f = static_cast<float>(v);
    std::memcpy(where, &f, sizeof f);
  } else {
    long long v;
    if (value == "on" || value == "true") {
      v = 1;
    } else if (value == "off" || value == "false") {
      v = 0;
    } else {
      v = std::strtoll(value.c_str(), &end, 0);
      if (value.empty() || *end != '\0') {
        *error = "not an integer: " + value;
        return false;
      }
    }
    if (bit >= 0) {
      uint32_t word;
      std::memcpy(&word, where, 4);
      word = v ? (word | (1u << bit)) : (word & ~(1u << bit));
      std::memcpy(where, &word, 4);
    } else if (kind == Kind::U8) {
      *where = static_cast<uint8_t>(v);
    } else if (kind == Kind::U16) {
      uint16_t w = static_cast<uint16_t>(v);
      std::memcpy(where, &w, 2);
    } else {
      uint32_t w = static_cast<uint32_t>(v);
      std::memcpy(where, &w, 4);
    }
  }
  // Outputs set by hand are the robot's own state, not a module's request.
  std::memcpy(&m_applied.control_box_digital_output_, &m_record->control_box_digital_output_,
              sizeof m_applied.control_box_digital_output_);
  m_applied.tool_digital_output_ = m_record->tool_digital_output_;
  std::memcpy(m_applied.control_box_analog_output_data_, m_record->control_box_analog_output_data_,
              sizeof m_applied.control_box_analog_output_data_);
  std::memcpy(m_applied.control_box_analog_input_data_, m_record->control_box_analog_input_data_,
              sizeof m_applied.control_box_analog_input_data_);
  std::memcpy(m_applied.general_purpose_register_, m_record->general_purpose_register_,
              sizeof m_applied.general_purpose_register_);
  return true;
}

bool Robot::GetField(const std::string& field, std::string* value, std::string* error) const {
  unsigned char* where;
  Kind kind;
  int bit;
  if (!Resolve(field, m_record, &where, &kind, &bit, error)) return false;
  if (kind == Kind::F32) {
    float f;
    std::memcpy(&f, where, sizeof f);
    char buf[32];
    snprintf(buf, sizeof buf, "%.6g", static_cast<double>(f));
    *value = buf;
  } else if (bit >= 0) {
    uint32_t word;
    std::memcpy(&word, where, 4);
    *value = std::to_string((word >> bit) & 1);
  } else if (kind == Kind::U8) {
    *value = std::to_string(*where);
  } else if (kind == Kind::U16) {
    uint16_t w;
    std::memcpy(&w, where, 2);
    *value = std::to_string(w);
  } else {
    uint32_t w;
    std::memcpy(&w, where, 4);
    *value = std::to_string(w);
  }
  return true;
}

std::string Robot::FieldNames() {
  std::string out;
  for (const auto& f : kFields) {
    out += "  ";
    out += f.name;
    if (f.count > 1) out += "[0.." + std::to_string(f.count - 1) + "]";
    out += "\n";
  }
  out += "  control_box_analog_input_data_[0..1].type_info_ / .analog_data_\n";
  out += "  control_box_analog_output_data_[0..1].type_info_ / .analog_data_\n";
  out += "  system_status_.servo_on_ (and the other status bits)\n";
  return out;
}

}  // namespace kore
