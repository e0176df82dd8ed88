// Decoding of the command records by byte offset (layouts in
// ComplianceCommands.h). A decoder only reads the record.
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "ControlModule.h"

namespace {

// Field offsets of the command records; the layouts live in
// ComplianceCommands.h.
constexpr size_t kStartStiffness = offsetof(StartComplianceRecord, stiffness);
constexpr size_t kStartForce = offsetof(StartComplianceRecord, force);
constexpr size_t kStartTime = offsetof(StartComplianceRecord, time);
constexpr size_t kStiffnessValues = offsetof(StiffnessCommandRecord, stiffness);
constexpr size_t kStiffnessTime = offsetof(StiffnessCommandRecord, time);
constexpr size_t kForceDirection = offsetof(ForceCommandRecord, direction);
constexpr size_t kForceValues = offsetof(ForceCommandRecord, force);
constexpr size_t kForceTime = offsetof(ForceCommandRecord, time);
constexpr size_t kForceRelative = offsetof(ForceCommandRecord, relative);
constexpr size_t kReleaseTime = offsetof(ReleaseForceRecord, time);
constexpr size_t kFactorValues = offsetof(FactorCommandRecord, factor);
constexpr size_t kFactorTime = offsetof(FactorCommandRecord, time);

// The decoders leave an element untouched when the record holds NaN or
// infinity there; starting from NaN makes such a record visible.
constexpr double kUnread = std::numeric_limits<double>::quiet_NaN();

const unsigned char* Bytes(const void* record) {
  return static_cast<const unsigned char*>(record);
}

// Six floats of a record into `out`; non-finite ones leave their entry.
void ReadSix(const void* record, size_t offset, Eigen::Vector6d& out) {
  float values[6];
  std::memcpy(values, Bytes(record) + offset, sizeof values);
  ControlModule::ChangeIndexTransOri(out, values, false);
}

// A time read from a record; non-finite values leave `time` as it was.
void ReadTime(const void* record, size_t offset, double& time) {
  float t;
  std::memcpy(&t, Bytes(record) + offset, sizeof t);
  if (std::isfinite(t)) time = t;
}

}  // namespace

bool ControlModule::DecodeStartRecord(const void* record, Eigen::Vector6d& stiffness,
                                      Eigen::Vector6d& force, double& time) {
  stiffness = Eigen::Vector6d::Constant(kUnread);
  force = Eigen::Vector6d::Constant(kUnread);
  time = kUnread;
  GetStartComplianceControlEvent(record, stiffness, force, time);
  return stiffness.allFinite() && force.allFinite() && std::isfinite(time);
}

bool ControlModule::DecodeGainCommand(int type, const void* record, GainCommand& c) {
  c.type = type;
  c.values = Eigen::Vector6d::Constant(kUnread);
  c.direction.setZero();
  c.time = kUnread;
  c.relative = false;
  switch (type) {
    case CMD_STIFFNESS:
      GetTargetStiffness(record, c.values, c.time);
      break;
    case CMD_FORCE_FACTOR:
      GetTargetForceFactor(record, c.values, c.time);
      break;
    case CMD_DAMPING_FACTOR:
      GetTargetDampingFactor(record, c.values, c.time);
      break;
    case CMD_FORCE:
      GetTargetForce(record, c.values, c.direction, c.time, c.relative);
      break;
    case CMD_RELEASE_FORCE: {
      Eigen::Vector6d unused = Eigen::Vector6d::Zero();
      GetReleaseForce(record, unused, c.values, c.direction, c.time);
      break;
    }
    default:
      return false;
  }
  return c.values.allFinite() && std::isfinite(c.time);
}

int ControlModule::CheckCommandType(const void* record) {
  if (record == nullptr) return 0;
  int32_t type;
  std::memcpy(&type, record, sizeof type);
  return type;
}

void ControlModule::GetStartComplianceControlEvent(const void* record, Eigen::Vector6d& stiffness,
                                                   Eigen::Vector6d& force, double& time) {
  if (record == nullptr) return;
  ReadSix(record, kStartStiffness, stiffness);
  ReadSix(record, kStartForce, force);
  ReadTime(record, kStartTime, time);
}

void ControlModule::GetTargetStiffness(const void* record, Eigen::Vector6d& stiffness,
                                       double& time) {
  if (record == nullptr) return;
  ReadSix(record, kStiffnessValues, stiffness);
  ReadTime(record, kStiffnessTime, time);
}

void ControlModule::GetTargetForce(const void* record, Eigen::Vector6d& force,
                                   Eigen::Vector6d& direction, double& time, bool& relative) {
  if (record == nullptr) return;
  unsigned char flags[6];
  std::memcpy(flags, Bytes(record) + kForceDirection, sizeof flags);
  ChangeIndexTransOri(direction, flags, false);
  ReadSix(record, kForceValues, force);
  ReadTime(record, kForceTime, time);
  relative = Bytes(record)[kForceRelative] == 1;
}

void ControlModule::GetReleaseForce(const void* record, Eigen::Vector6d& /*stiffness*/,
                                    Eigen::Vector6d& force, Eigen::Vector6d& direction,
                                    double& time) {
  if (record == nullptr) return;
  force.setZero();
  direction.setZero();
  ReadTime(record, kReleaseTime, time);
}

void ControlModule::GetTargetForceFactor(const void* record, Eigen::Vector6d& factors,
                                         double& time) {
  if (record == nullptr) return;
  ReadSix(record, kFactorValues, factors);
  ReadTime(record, kFactorTime, time);
}

void ControlModule::GetTargetDampingFactor(const void* record, Eigen::Vector6d& factors,
                                           double& time) {
  GetTargetForceFactor(record, factors, time);
}

bool ControlModule::GetStopComplianceControlEvent(const void* record) {
  return record != nullptr && Bytes(record)[0] == 1;
}

void ControlModule::ChangeIndexTransOri(Eigen::Vector6d& out, const float (&in)[6], bool absolute) {
  for (int i = 0; i < 6; ++i) {
    if (!std::isfinite(in[i])) continue;
    const double v = in[i];
    out[i] = absolute ? std::fabs(v) : v;
  }
}

void ControlModule::ChangeIndexTransOri(float (&out)[6], const Eigen::Vector6d& in, bool absolute) {
  for (int i = 0; i < 6; ++i) out[i] = static_cast<float>(absolute ? std::fabs(in[i]) : in[i]);
}

void ControlModule::ChangeIndexTransOri(Eigen::Vector6d& out, const unsigned char (&in)[6],
                                        bool /*absolute*/) {
  for (int i = 0; i < 6; ++i) out[i] = in[i];
}

void ControlModule::ChangeIndexTransOri(int (&out)[6], const Eigen::Vector6d& in, bool absolute) {
  constexpr double kMax = std::numeric_limits<int32_t>::max();
  constexpr double kMin = std::numeric_limits<int32_t>::min();
  for (int i = 0; i < 6; ++i) {
    double v = absolute ? std::fabs(in[i]) : in[i];
    if (std::isnan(v)) v = 0.0;
    if (v >= kMax)
      out[i] = std::numeric_limits<int32_t>::max();
    else if (v <= kMin)
      out[i] = std::numeric_limits<int32_t>::min();
    else
      out[i] = static_cast<int>(v);
  }
}
