// The register map's conversions, from monitoring records written byte by
// byte at their offsets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "RegisterMap.h"
#include "slave_fixture.h"

using namespace VeloFramework;
namespace r = modbus_test::rec;

namespace {

class RawRecord {
 public:
  RawRecord() { std::memset(m_bytes, 0, sizeof(m_bytes)); }
  template <typename T>
  void Put(size_t offset, T value) {
    std::memcpy(m_bytes + offset, &value, sizeof(T));
  }
  void PutFloats(size_t offset, const float (&values)[6]) {
    for (int k = 0; k < 6; ++k) Put<float>(offset + 4 * k, values[k]);
  }
  MonitoringData Data() const {
    static_assert(sizeof(MonitoringData) == r::kSize, "record size");
    MonitoringData m;
    std::memcpy(&m, m_bytes, sizeof(m));
    return m;
  }

 private:
  uint8_t m_bytes[r::kSize];
};

struct Mapping {
  Mapping() : m(modbus_mapping_new_start_address(0, 301, 0, 0, 0, 601, 0, 0)) {}
  ~Mapping() { modbus_mapping_free(m); }
  modbus_mapping_t* m;
};

uint16_t Reg(int32_t v) {
  return static_cast<uint16_t>(v & 0xFFFF);
}

}  // namespace

TEST(RegisterMap, BitsAreSpreadOverCoilsAndStatusRegisters) {
  RawRecord rec;
  rec.Put<uint16_t>(r::kCbInput, 0x8421);
  rec.Put<uint16_t>(r::kCbInputEx, 0xFFFA);  // only bits 0..3 (0xA) are mapped
  rec.Put<uint16_t>(r::kCbOutput, 0x1003);
  rec.Put<uint8_t>(r::kToolInput, 0xE5);  // bits 6, 7 are not mapped
  rec.Put<uint8_t>(r::kToolOutput, 0x22);
  rec.Put<uint32_t>(r::kStatus, 0xFFFFFFE9u);  // bits 0, 3, 5 of the low six
  Mapping map;
  ModbusMap::RefreshTables(rec.Data(), *map.m);
  const uint8_t* c = map.m->tab_bits;

  for (int b = 0; b < 16; ++b) EXPECT_EQ(c[b], (0x8421 >> b) & 1) << "coil " << b;
  for (int b = 0; b < 4; ++b) EXPECT_EQ(c[16 + b], (0xA >> b) & 1) << "coil " << 16 + b;
  for (int b = 0; b < 16; ++b) EXPECT_EQ(c[20 + b], (0x1003 >> b) & 1) << "coil " << 20 + b;
  for (int b = 0; b < 6; ++b) EXPECT_EQ(c[36 + b], (0xE5 >> b) & 1) << "coil " << 36 + b;
  for (int b = 0; b < 6; ++b) EXPECT_EQ(c[42 + b], (0x22 >> b) & 1) << "coil " << 42 + b;
  const uint8_t status[6] = {1, 0, 0, 1, 0, 1};
  for (int b = 0; b < 6; ++b) EXPECT_EQ(c[260 + b], status[b]) << "coil " << 260 + b;
  for (int a = 48; a < 260; ++a) ASSERT_EQ(c[a], 0) << "coil " << a;
  for (int a = 266; a <= 300; ++a) ASSERT_EQ(c[a], 0) << "coil " << a;

  const uint16_t* reg = map.m->tab_registers;
  EXPECT_EQ(reg[0], 0x8421);
  EXPECT_EQ(reg[1], 0xFFFA);  // the whole word, unlike the coils
  EXPECT_EQ(reg[2], 0x1003);
  EXPECT_EQ(reg[21], 0xE5);
  EXPECT_EQ(reg[22], 0x22);
  for (int b = 0; b < 5; ++b) EXPECT_EQ(reg[260 + b], status[b]) << "register " << 260 + b;
  EXPECT_EQ(reg[265], 0) << "bit 5 has a coil but no register";
}

TEST(RegisterMap, WholeFieldsAndAnalogChannels) {
  RawRecord rec;
  rec.Put<uint8_t>(r::kAnalogIn, 1);
  rec.Put<float>(r::kAnalogIn + 4, 3.99f);
  rec.Put<uint8_t>(r::kAnalogIn + 8, 0);
  rec.Put<float>(r::kAnalogIn + 12, -2.7f);
  rec.Put<uint8_t>(r::kAnalogOut, 1);
  rec.Put<float>(r::kAnalogOut + 4, 500.0f);
  rec.Put<uint8_t>(r::kAnalogOut + 8, 1);
  rec.Put<float>(r::kAnalogOut + 12, 70000.5f);  // beyond 16 bits: wraps
  for (int g = 0; g < 128; ++g) rec.Put<uint16_t>(r::kGpr + 2 * g, static_cast<uint16_t>(1000 + g));
  rec.Put<uint16_t>(r::kRobotState, 7);
  rec.Put<uint16_t>(r::kVersion, 3);
  Mapping map;
  ModbusMap::RefreshTables(rec.Data(), *map.m);
  const uint16_t* reg = map.m->tab_registers;

  EXPECT_EQ(reg[4], 3);
  EXPECT_EQ(reg[5], 1);
  EXPECT_EQ(reg[6], 0xFFFE);  // -2
  EXPECT_EQ(reg[7], 0);
  EXPECT_EQ(reg[16], 500);
  EXPECT_EQ(reg[17], 1);
  EXPECT_EQ(reg[18], Reg(70000));
  EXPECT_EQ(reg[19], 1);
  for (int g = 0; g < 128; ++g) EXPECT_EQ(reg[128 + g], 1000 + g);
  EXPECT_EQ(reg[259], 7);
  EXPECT_EQ(reg[256], 0) << "the version is written at start only";
}

TEST(RegisterMap, ScaledFloatsFollowTheirRoundingRules) {
  RawRecord rec;
  // Joint pose x10, double rounding half away from zero.
  const float joints[6] = {-12.34f, 12.25f, -0.05f, 0.04f, 3276.8f, -3276.9f};
  const float jointVel[6] = {1.25f, -1.25f, 0.0f, 100.0f, -0.15f, 6553.6f};
  const float current[6] = {1.2345f, -0.0005f, 0.0015f, 65.536f, -1.0f, 0.0f};
  const float torque[6] = {12.9f, -12.9f, 0.5f, -0.5f, 40000.0f, -70000.0f};
  const float temp[6] = {36.6f, -0.9f, 99.99f, 0.0f, 1.0f, -40.1f};
  const float taskPose[6] = {0.05f, -0.05f, 123.45f, -123.45f, 1.15f, 2.25f};
  const float taskVel[6] = {1.45f, -1.45f, 0.25f, -0.25f, 10.0f, 0.0f};
  const float toolOffset[6] = {0.15f, -0.15f, 1.05f, 100.0f, -3.25f, 0.0f};
  const float force[6] = {12.7f, -3.9f, 0.99f, -0.99f, 6553.9f, -12.7f};
  rec.PutFloats(r::kJointPose, joints);
  rec.PutFloats(r::kJointVelocity, jointVel);
  rec.PutFloats(r::kMotorCurrent, current);
  rec.PutFloats(r::kMotorTorque, torque);
  rec.PutFloats(r::kMotorTemperature, temp);
  rec.PutFloats(r::kTaskPose, taskPose);
  rec.PutFloats(r::kTaskVelocity, taskVel);
  rec.PutFloats(r::kToolOffset, toolOffset);
  rec.PutFloats(r::kExternalForce, force);
  Mapping map;
  ModbusMap::RefreshTables(rec.Data(), *map.m);
  const uint16_t* reg = map.m->tab_registers;

  EXPECT_EQ(reg[270], 0xFF85);   // -123
  EXPECT_EQ(reg[271], 123);      // 12.25 * 10 = 122.5 -> 123
  EXPECT_EQ(reg[272], Reg(-1));  // -0.05f is slightly above -0.05 in magnitude
  EXPECT_EQ(reg[273], 0);
  EXPECT_EQ(reg[274], 32768);
  EXPECT_EQ(reg[275], Reg(-32769));  // wraps to 0x7FFF
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(reg[270 + k], Reg(std::lround(static_cast<double>(joints[k]) * 10.0))) << k;
    EXPECT_EQ(reg[280 + k], Reg(std::lround(static_cast<double>(jointVel[k]) * 10.0))) << k;
    EXPECT_EQ(reg[290 + k], Reg(std::lround(static_cast<double>(current[k]) * 1000.0))) << k;
    EXPECT_EQ(reg[400 + k], Reg(std::lroundf(10.0f * taskPose[k]))) << k;
    EXPECT_EQ(reg[410 + k], Reg(std::lroundf(10.0f * taskVel[k]))) << k;
    EXPECT_EQ(reg[420 + k], Reg(std::lround(static_cast<double>(toolOffset[k]) * 10.0))) << k;
  }
  EXPECT_EQ(reg[280], 13);
  EXPECT_EQ(reg[281], Reg(-13));
  EXPECT_EQ(reg[285], Reg(65536));  // 0

  // Truncation, no scaling.
  const int32_t torqueWant[6] = {12, -12, 0, 0, 40000, -70000};
  const int32_t tempWant[6] = {36, 0, 99, 0, 1, -40};
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(reg[310 + k], Reg(torqueWant[k])) << k;
    EXPECT_EQ(reg[300 + k], Reg(tempWant[k])) << k;
  }
  // Force: truncated first, then x10.
  const int32_t forceWant[6] = {120, -30, 0, 0, 65530, -120};
  for (int k = 0; k < 6; ++k) EXPECT_EQ(reg[430 + k], Reg(forceWant[k])) << k;
}

TEST(RegisterMap, SinglePrecisionDiffersFromDoubleWhereItShould) {
  // 0.35f is 0.3499999940...: in double, x10 = 3.4999999 -> 3; in single
  // precision 10.0f * 0.35f rounds to exactly 3.5f -> 4. The pose registers
  // use single precision, the tool offset double.
  ASSERT_EQ(10.0f * 0.35f, 3.5f);
  RawRecord rec;
  rec.Put<float>(r::kTaskPose, 0.35f);
  rec.Put<float>(r::kTaskVelocity, -0.35f);
  rec.Put<float>(r::kToolOffset, 0.35f);
  rec.Put<float>(r::kJointPose, 0.35f);
  Mapping map;
  ModbusMap::RefreshTables(rec.Data(), *map.m);
  EXPECT_EQ(map.m->tab_registers[400], 4);
  EXPECT_EQ(map.m->tab_registers[410], Reg(-4));
  EXPECT_EQ(map.m->tab_registers[420], 3);
  EXPECT_EQ(map.m->tab_registers[270], 3);
}

TEST(RegisterMap, NonFiniteAndHugeValuesAreDefined) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(ModbusMap::Truncate(nan), 0);
  EXPECT_EQ(ModbusMap::RoundScaled(nan, 10.0), 0);
  EXPECT_EQ(ModbusMap::RoundScaledSingle(nan), 0);
  EXPECT_EQ(ModbusMap::TruncateThenScale(nan), 0);
  EXPECT_EQ(ModbusMap::Truncate(inf), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(ModbusMap::Truncate(-inf), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(ModbusMap::RoundScaled(3e9f, 1000.0), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(ModbusMap::TruncateThenScale(-3e8f), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(ModbusMap::RoundScaledSingle(1e38f), std::numeric_limits<int32_t>::max());
}

TEST(RegisterMap, RefreshLeavesUnmappedEntriesAndInitialImageSetsStartOnlyOnes) {
  RawRecord rec;
  rec.Put<uint16_t>(r::kVersion, 2);
  rec.Put<uint16_t>(r::kVersion + 2, 5);
  rec.Put<uint16_t>(r::kVersion + 4, 11);
  rec.Put<uint16_t>(r::kCbOutput, 0x8001);
  rec.Put<uint8_t>(r::kToolOutput, 0x21);
  rec.Put<uint16_t>(r::kCbInput, 0xFFFF);
  Mapping map;
  const int untouched[] = {3,   8,   15,  20,  23,  127, 265, 269, 276, 279,
                           296, 306, 316, 399, 406, 416, 426, 436, 500, 600};
  for (int a : untouched) map.m->tab_registers[a] = static_cast<uint16_t>(a + 1);
  map.m->tab_bits[100] = 1;
  map.m->tab_bits[300] = 1;

  ModbusMap::WriteInitialImage(rec.Data(), *map.m);
  EXPECT_EQ(map.m->tab_registers[256], 2);
  EXPECT_EQ(map.m->tab_registers[257], 5);
  EXPECT_EQ(map.m->tab_registers[258], 11);
  EXPECT_EQ(map.m->tab_registers[2], 0x8001);
  EXPECT_EQ(map.m->tab_registers[22], 0x21);
  EXPECT_EQ(map.m->tab_bits[20], 1);
  EXPECT_EQ(map.m->tab_bits[35], 1);
  EXPECT_EQ(map.m->tab_bits[42], 1);
  EXPECT_EQ(map.m->tab_bits[47], 1);
  EXPECT_EQ(map.m->tab_registers[0], 0) << "inputs wait for the first cycle";
  EXPECT_EQ(map.m->tab_bits[0], 0);

  ModbusMap::RefreshTables(rec.Data(), *map.m);
  for (int a : untouched) EXPECT_EQ(map.m->tab_registers[a], a + 1) << "register " << a;
  EXPECT_EQ(map.m->tab_bits[100], 1);
  EXPECT_EQ(map.m->tab_bits[300], 1);
  EXPECT_EQ(map.m->tab_registers[0], 0xFFFF);
}
