// Reads a known monitoring record through a real Modbus client and checks
// every row of docs/modbus-map.csv against what the running slave answers.
// The record is written by raw offsets and the expected values are computed
// from the CSV's own field, bit, scale and conversion columns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "slave_fixture.h"

namespace {

using namespace modbus_test;

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      out.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

// Columns of the CSV.
enum Column {
  kField = 6,
  kBit = 7,
  kType = 8,
  kSigned = 9,
  kMultiplier = 11,
  kScale = 12,
  kConversion = 13,
};

// Offset and kind of a monitoring-record field named as in the CSV.
struct FieldRef {
  size_t offset;
  char kind;  // 'b' uint8, 'h' uint16, 'w' uint32, 'f' float
};

bool Resolve(const std::string& field, FieldRef* ref) {
  static const std::map<std::string, FieldRef> kScalars = {
      {"control_box_digital_input_", {rec::kCbInput, 'h'}},
      {"control_box_digital_input_ex_", {rec::kCbInputEx, 'h'}},
      {"control_box_digital_output_", {rec::kCbOutput, 'h'}},
      {"tool_digital_input_", {rec::kToolInput, 'b'}},
      {"tool_digital_output_", {rec::kToolOutput, 'b'}},
      {"system_status_", {rec::kStatus, 'w'}},
      {"robot_state_info_", {rec::kRobotState, 'h'}},
  };
  static const std::map<std::string, FieldRef> kArrays = {
      {"general_purpose_register_", {rec::kGpr, 'h'}},
      {"controller_version_info_", {rec::kVersion, 'h'}},
      {"actual_joint_pose_", {rec::kJointPose, 'f'}},
      {"actual_angular_velocity_", {rec::kJointVelocity, 'f'}},
      {"actual_motor_current_", {rec::kMotorCurrent, 'f'}},
      {"actual_motor_torque_", {rec::kMotorTorque, 'f'}},
      {"actual_task_space_pose_", {rec::kTaskPose, 'f'}},
      {"actual_task_sapce_velocity_", {rec::kTaskVelocity, 'f'}},
      {"motor_temperature_", {rec::kMotorTemperature, 'f'}},
      {"tool_offset_info_", {rec::kToolOffset, 'f'}},
      {"external_force_info_", {rec::kExternalForce, 'f'}},
  };
  auto scalar = kScalars.find(field);
  if (scalar != kScalars.end()) {
    *ref = scalar->second;
    return true;
  }
  const size_t open = field.find('[');
  if (open == std::string::npos) return false;
  const std::string name = field.substr(0, open);
  const int index = std::atoi(field.c_str() + open + 1);
  const std::string member = field.substr(field.find(']') + 1);
  if (name == "control_box_analog_input_data_" || name == "control_box_analog_output_data_") {
    const size_t base = name == "control_box_analog_input_data_" ? rec::kAnalogIn : rec::kAnalogOut;
    if (member == ".type_info_")
      *ref = {base + 8 * index, 'b'};
    else if (member == ".analog_data_")
      *ref = {base + 8 * index + 4, 'f'};
    else
      return false;
    return true;
  }
  auto array = kArrays.find(name);
  if (array == kArrays.end() || !member.empty()) return false;
  const size_t size = array->second.kind == 'f' ? 4 : 2;
  *ref = {array->second.offset + size * index, array->second.kind};
  return true;
}

class ModbusMapCsv : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(kore.Record(), nullptr);
    // A record with every field distinct: bit patterns, negative values,
    // halves that round away from zero, forces that truncate before scaling.
    kore.Put<uint16_t>(rec::kCbInput, 0x8005);
    kore.Put<uint16_t>(rec::kCbInputEx, 0x9);
    kore.Put<uint16_t>(rec::kCbOutput, 0xA5C3);
    kore.Put<uint8_t>(rec::kToolInput, 0x2A);
    kore.Put<uint8_t>(rec::kToolOutput, 0x15);
    kore.Put<uint32_t>(rec::kStatus, 0x2B);
    const float analog[4] = {-12.7f, 45.9f, 3.99f, -0.5f};
    for (int c = 0; c < 2; ++c) {
      kore.Put<uint8_t>(rec::kAnalogIn + 8 * c, static_cast<uint8_t>(c == 0));
      kore.Put<float>(rec::kAnalogIn + 8 * c + 4, analog[c]);
      kore.Put<uint8_t>(rec::kAnalogOut + 8 * c, static_cast<uint8_t>(c == 1));
      kore.Put<float>(rec::kAnalogOut + 8 * c + 4, analog[2 + c]);
    }
    for (int r = 0; r < 128; ++r) kore.Put<uint16_t>(rec::kGpr + 2 * r, 1000 + 3 * r);
    for (int v = 0; v < 3; ++v) kore.Put<uint16_t>(rec::kVersion + 2 * v, 7 + v);
    const size_t arrays[] = {rec::kJointPose,        rec::kJointVelocity, rec::kMotorCurrent,
                             rec::kMotorTorque,      rec::kTaskPose,      rec::kTaskVelocity,
                             rec::kMotorTemperature, rec::kToolOffset,    rec::kExternalForce};
    const float values[6] = {-12.34f, 12.25f, 0.35f, 179.95f, -3.9f, 512.05f};
    for (size_t a = 0; a < sizeof(arrays) / sizeof(arrays[0]); ++a)
      for (int k = 0; k < 6; ++k)
        kore.Put<float>(arrays[a] + 4 * k, values[k] * (a % 2 == 0 ? 1.0f : -0.5f) + 0.125f * a);
    kore.Put<uint16_t>(rec::kRobotState, 4242);
    ASSERT_TRUE(kore.StartModule(MODBUS_SLAVE_MODULE));
    ASSERT_TRUE(kore.WaitReady()) << kore.Module()->Stdout();
    ASSERT_TRUE(kore.WaitRegisterImage(259, 4242));
  }

  double Value(const FieldRef& f) {
    switch (f.kind) {
      case 'b':
        return kore.Get<uint8_t>(f.offset);
      case 'h':
        return kore.Get<uint16_t>(f.offset);
      case 'w':
        return kore.Get<uint32_t>(f.offset);
      default:
        return kore.Get<float>(f.offset);
    }
  }

  // The table entry the CSV promises for one row.
  uint16_t Expected(const std::vector<std::string>& row, const FieldRef& f) {
    const std::string& conversion = row[kConversion];
    const double scale = std::atof(row[kScale].c_str());
    const double v = Value(f);
    int64_t result = 0;
    if (conversion == "bit") {
      result = (static_cast<uint32_t>(v) >> std::atoi(row[kBit].c_str())) & 1u;
    } else if (conversion == "word") {
      result = static_cast<int64_t>(v);
    } else if (conversion == "trunc") {
      result = static_cast<int64_t>(std::trunc(v)) * static_cast<int64_t>(scale);
    } else if (conversion == "round") {
      result = static_cast<int64_t>(std::round(v * scale));
    } else if (conversion == "roundf") {
      result = static_cast<int64_t>(std::roundf(static_cast<float>(scale) * static_cast<float>(v)));
    } else if (conversion == "trunc_then_scale") {
      result = static_cast<int64_t>(std::trunc(v)) * static_cast<int64_t>(scale);
    } else {
      ADD_FAILURE() << "unknown conversion " << conversion;
    }
    return static_cast<uint16_t>(result & 0xFFFF);
  }

  FakeKore kore;
};

TEST_F(ModbusMapCsv, EveryRowMatchesWhatAClientReads) {
  Client client;
  ASSERT_TRUE(client.Connected());
  std::vector<uint16_t> registers;
  ASSERT_TRUE(client.ReadRegisters(0, 601, &registers));
  std::vector<uint8_t> coils(301);
  ASSERT_EQ(modbus_read_bits(client.Ctx(), 0, 301, coils.data()), 301);

  std::ifstream csv(MODBUS_MAP_CSV);
  ASSERT_TRUE(csv) << MODBUS_MAP_CSV;
  std::string line;
  ASSERT_TRUE(std::getline(csv, line));
  ASSERT_EQ(line.rfind("address,address_1based,table,read_function,write_function,content,field,"
                       "bit,type,signed,unit,multiplier,scale,conversion,",
                       0),
            0u);
  int rows = 0, coilRows = 0;
  for (; std::getline(csv, line); ++rows) {
    const std::vector<std::string> row = SplitCsv(line);
    ASSERT_EQ(row.size(), 18u) << line;
    const int address = std::atoi(row[0].c_str());
    EXPECT_EQ(std::atoi(row[1].c_str()), address + 1) << line;
    // What a tool shows (raw x multiplier) is the record's value in the unit.
    EXPECT_NEAR(std::atof(row[kMultiplier].c_str()) * std::atof(row[kScale].c_str()), 1.0, 1e-12)
        << line;
    FieldRef field;
    ASSERT_TRUE(Resolve(row[kField], &field)) << line;
    const uint16_t want = Expected(row, field);
    if (row[2] == "coil") {
      ++coilRows;
      ASSERT_LT(address, 301) << line;
      EXPECT_EQ(coils[address], want) << line;
      EXPECT_EQ(row[3], "1") << line;
    } else {
      ASSERT_EQ(row[2], "holding_register") << line;
      ASSERT_LT(address, 601) << line;
      EXPECT_EQ(registers[address], want) << line;
      EXPECT_EQ(row[3], "3") << line;
      // Signed rows read as int16, unsigned ones as uint16.
      EXPECT_EQ(row[kSigned], row[kType] == "int16" ? "yes" : "no") << line;
      if (row[kType] == "int16") {
        EXPECT_NE(row[kConversion], "bit") << line;
      }
    }
    EXPECT_EQ(row[4].empty(), row[15] == "no") << line;  // a write function only where writable
  }
  EXPECT_EQ(coilRows, 54);  // 0..47 and 260..265
  EXPECT_GT(rows, 250);
}

}  // namespace
