// The command records a host passes (as untyped pointers) to Start, Stop,
// UpdateControlGain, Pause and Resume. Packed, little-endian, float is IEEE
// binary32, times in seconds, 6-element arrays ordered x, y, z, rx, ry, rz.
// The structs below are the host's view of the records (the simulator
// encodes its commands with them); the module decodes by byte offset.
#pragma once

#include <cstddef>
#include <cstdint>

// Gain-update record types (the int32 at offset 0).
enum COMPLIANCE_COMMAND_TYPE : int32_t {
  CMD_STIFFNESS = 1,
  CMD_FORCE_FACTOR = 2,
  CMD_DAMPING_FACTOR = 3,
  CMD_FORCE = 4,
  CMD_RELEASE_FORCE = 5,
};

#pragma pack(push, 1)
// Argument of Start.
struct StartComplianceRecord {
  uint8_t reserved[2];
  float stiffness[6];  // N/m, Nm/rad
  float force[6];      // N, Nm
  float time;          // ramp time, s
};
// CMD_STIFFNESS.
struct StiffnessCommandRecord {
  int32_t type;
  uint8_t reserved;
  float stiffness[6];
  float time;
};
// CMD_FORCE.
struct ForceCommandRecord {
  int32_t type;
  uint8_t reserved;
  uint8_t direction[6];  // non-zero above 0.5: the axis is force-controlled
  float force[6];
  float time;
  uint8_t relative;  // 1 = relative to the force present at the command
};
// CMD_RELEASE_FORCE.
struct ReleaseForceRecord {
  int32_t type;
  uint8_t reserved[31];
  float time;
};
// CMD_FORCE_FACTOR and CMD_DAMPING_FACTOR.
struct FactorCommandRecord {
  int32_t type;
  float factor[6];
  float time;
};
// Argument of Stop: 1 makes Stop refuse.
struct StopComplianceRecord {
  uint8_t refuse;
};
#pragma pack(pop)

static_assert(offsetof(StartComplianceRecord, stiffness) == 2, "start record");
static_assert(offsetof(StartComplianceRecord, force) == 26, "start record");
static_assert(offsetof(StartComplianceRecord, time) == 50, "start record");
static_assert(sizeof(StartComplianceRecord) == 54, "start record");
static_assert(offsetof(StiffnessCommandRecord, stiffness) == 5, "stiffness record");
static_assert(offsetof(StiffnessCommandRecord, time) == 29, "stiffness record");
static_assert(offsetof(ForceCommandRecord, direction) == 5, "force record");
static_assert(offsetof(ForceCommandRecord, force) == 11, "force record");
static_assert(offsetof(ForceCommandRecord, time) == 35, "force record");
static_assert(offsetof(ForceCommandRecord, relative) == 39, "force record");
static_assert(offsetof(ReleaseForceRecord, time) == 35, "release record");
static_assert(offsetof(FactorCommandRecord, factor) == 4, "factor record");
static_assert(offsetof(FactorCommandRecord, time) == 28, "factor record");
