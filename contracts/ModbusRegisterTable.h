// The Modbus slave's coil and holding-register map as data: which address
// carries which field of the monitoring record, in which unit, scaled and
// rounded how, and what a master's write does. docs/modbus-map.csv is
// generated from this table (tools/modbus-map-csv) and a test reads a known
// record through a real Modbus client and checks every row against it.
#pragma once

#include "ModbusSlaveContract.h"

namespace VeloFramework {
namespace ModbusMap {

enum class Table { kCoil, kHoldingRegister };

// How a record field becomes a coil or a 16-bit register (the low 16 bits of
// the 32-bit result; negative values in two's complement).
enum class Conversion {
  kBit,                // (field >> bit) & 1
  kWord,               // the unsigned field, zero-extended
  kTruncate,           // float truncated toward zero
  kRound,              // round(double(float) * scale), half away from zero
  kRoundSingle,        // roundf(float(scale) * float), single precision
  kTruncateThenScale,  // trunc(float) * scale
};

// `count` consecutive addresses from `first`; element i (0-based) of the
// range reads field[i] when `indexed`, or bit (firstBit + i) when the
// conversion is kBit. Texts may hold one %d, replaced by i + `textBase`, or
// one %s, replaced by names[i].
struct MapEntry {
  Table table;
  int first;
  int count;
  const char* content;
  const char* field;  // the monitoring record field
  bool indexed;
  int firstBit;
  Conversion conversion;
  double scale;
  const char* type;         // bool, uint16 or int16 as a master should read it
  const char* unit;         // for elements 0..2 (and all others when unitRot is null)
  const char* unitRot;      // for elements 3..5 of pose-like arrays, else null
  bool refreshedAtStart;    // written once when the service starts, not every cycle
  const char* writeEffect;  // what a master's write does; null: nothing
  int textBase;
  const char* const* names = nullptr;  // when set, names[i] replaces the %s of content
};

constexpr const char* kPoseAxes[6] = {"x", "y", "z", "rx", "ry", "rz"};
constexpr const char* kWrenchAxes[6] = {"fx", "fy", "fz", "mx", "my", "mz"};

// Short names for the table below only.
namespace table_detail {
constexpr Table C = Table::kCoil;
constexpr Table R = Table::kHoldingRegister;
using V = Conversion;

constexpr MapEntry kMapEntries[] = {
    // Coils.
    {C, kCoilControlBoxInput, 16, "control-box digital input %d", "control_box_digital_input_",
     false, 0, V::kBit, 1, "bool", "", nullptr, false, nullptr, 0},
    {C, kCoilControlBoxInputEx, 4, "control-box extra digital input %d",
     "control_box_digital_input_ex_", false, 0, V::kBit, 1, "bool", "", nullptr, false, nullptr, 0},
    {C, kCoilControlBoxOutput, 16, "control-box digital output %d", "control_box_digital_output_",
     false, 0, V::kBit, 1, "bool", "", nullptr, false, "switches control-box digital output %d", 0},
    {C, kCoilToolInput, 6, "tool digital input %d", "tool_digital_input_", false, 0, V::kBit, 1,
     "bool", "", nullptr, false, nullptr, 0},
    {C, kCoilToolOutput, 6, "tool digital output %d", "tool_digital_output_", false, 0, V::kBit, 1,
     "bool", "", nullptr, false, "switches tool digital output %d", 0},
    {C, kCoilSystemStatus + 0, 1, "servo on", "system_status_", false, 0, V::kBit, 1, "bool", "",
     nullptr, false, nullptr, 0},
    {C, kCoilSystemStatus + 1, 1, "emergency stopped", "system_status_", false, 1, V::kBit, 1,
     "bool", "", nullptr, false, nullptr, 0},
    {C, kCoilSystemStatus + 2, 1, "safety stopped", "system_status_", false, 2, V::kBit, 1, "bool",
     "", nullptr, false, nullptr, 0},
    {C, kCoilSystemStatus + 3, 1, "direct-teaching button pressed", "system_status_", false, 3,
     V::kBit, 1, "bool", "", nullptr, false, nullptr, 0},
    {C, kCoilSystemStatus + 4, 1, "power button pressed", "system_status_", false, 4, V::kBit, 1,
     "bool", "", nullptr, false, nullptr, 0},
    {C, kCoilSystemStatus + 5, 1, "safety stopped, recovery mode needed", "system_status_", false,
     5, V::kBit, 1, "bool", "", nullptr, false, nullptr, 0},

    // Holding registers.
    {R, kRegControlBoxInput, 1, "control-box digital inputs", "control_box_digital_input_", false,
     0, V::kWord, 1, "uint16", "bit mask", nullptr, false, nullptr, 0},
    {R, kRegControlBoxInputEx, 1, "control-box extra digital inputs",
     "control_box_digital_input_ex_", false, 0, V::kWord, 1, "uint16", "bit mask", nullptr, false,
     nullptr, 0},
    {R, kRegControlBoxOutput, 1, "control-box digital outputs", "control_box_digital_output_",
     false, 0, V::kWord, 1, "uint16", "bit mask", nullptr, false,
     "sets all 16 control-box digital outputs", 0},
    {R, kRegAnalogInput0Value, 1, "analog input 0 value",
     "control_box_analog_input_data_[0].analog_data_", false, 0, V::kTruncate, 1, "int16",
     "channel unit", nullptr, false, nullptr, 0},
    {R, kRegAnalogInput0Type, 1, "analog input 0 type",
     "control_box_analog_input_data_[0].type_info_", false, 0, V::kWord, 1, "uint16", "", nullptr,
     false, "sets analog input 0 type (1 when not 0, else 0)", 0},
    {R, kRegAnalogInput1Value, 1, "analog input 1 value",
     "control_box_analog_input_data_[1].analog_data_", false, 0, V::kTruncate, 1, "int16",
     "channel unit", nullptr, false, nullptr, 0},
    {R, kRegAnalogInput1Type, 1, "analog input 1 type",
     "control_box_analog_input_data_[1].type_info_", false, 0, V::kWord, 1, "uint16", "", nullptr,
     false, "sets analog input 1 type (1 when not 0, else 0)", 0},
    {R, kRegAnalogOutput0Value, 1, "analog output 0 value",
     "control_box_analog_output_data_[0].analog_data_", false, 0, V::kTruncate, 1, "int16",
     "channel unit", nullptr, false, "sets analog output 0 value", 0},
    {R, kRegAnalogOutput0Type, 1, "analog output 0 type",
     "control_box_analog_output_data_[0].type_info_", false, 0, V::kWord, 1, "uint16", "", nullptr,
     false, "sets analog output 0 type (1 when not 0, else 0)", 0},
    {R, kRegAnalogOutput1Value, 1, "analog output 1 value",
     "control_box_analog_output_data_[1].analog_data_", false, 0, V::kTruncate, 1, "int16",
     "channel unit", nullptr, false, "sets analog output 1 value", 0},
    {R, kRegAnalogOutput1Type, 1, "analog output 1 type",
     "control_box_analog_output_data_[1].type_info_", false, 0, V::kWord, 1, "uint16", "", nullptr,
     false, "sets analog output 1 type (1 when not 0, else 0)", 0},
    {R, kRegToolInput, 1, "tool digital inputs", "tool_digital_input_", false, 0, V::kWord, 1,
     "uint16", "bit mask", nullptr, false, nullptr, 0},
    {R, kRegToolOutput, 1, "tool digital outputs", "tool_digital_output_", false, 0, V::kWord, 1,
     "uint16", "bit mask", nullptr, false, "sets the tool digital outputs to the low byte", 0},
    {R, kRegGeneralPurpose, 128, "general-purpose register %d", "general_purpose_register_", true,
     0, V::kWord, 1, "uint16", "", nullptr, false, "sets general-purpose register %d", 0},
    {R, kRegControllerVersion, 3, "controller version %d", "controller_version_info_", true, 0,
     V::kWord, 1, "uint16", "", nullptr, true, nullptr, 0},
    {R, kRegRobotState, 1, "robot state", "robot_state_info_", false, 0, V::kWord, 1, "uint16", "",
     nullptr, false, nullptr, 0},
    {R, kRegSystemStatus + 0, 1, "servo on", "system_status_", false, 0, V::kBit, 1, "uint16",
     "0/1", nullptr, false, nullptr, 0},
    {R, kRegSystemStatus + 1, 1, "emergency stopped", "system_status_", false, 1, V::kBit, 1,
     "uint16", "0/1", nullptr, false, nullptr, 0},
    {R, kRegSystemStatus + 2, 1, "safety stopped", "system_status_", false, 2, V::kBit, 1, "uint16",
     "0/1", nullptr, false, nullptr, 0},
    {R, kRegSystemStatus + 3, 1, "direct-teaching button pressed", "system_status_", false, 3,
     V::kBit, 1, "uint16", "0/1", nullptr, false, nullptr, 0},
    {R, kRegSystemStatus + 4, 1, "power button pressed", "system_status_", false, 4, V::kBit, 1,
     "uint16", "0/1", nullptr, false, nullptr, 0},
    {R, kRegJointPose, 6, "joint %d position", "actual_joint_pose_", true, 0, V::kRound, 10,
     "int16", "deg", nullptr, false, nullptr, 1},
    {R, kRegJointVelocity, 6, "joint %d velocity", "actual_angular_velocity_", true, 0, V::kRound,
     10, "int16", "deg/s", nullptr, false, nullptr, 1},
    {R, kRegMotorCurrent, 6, "motor %d current", "actual_motor_current_", true, 0, V::kRound, 1000,
     "int16", "A", nullptr, false, nullptr, 1},
    {R, kRegMotorTemperature, 6, "motor %d temperature", "motor_temperature_", true, 0,
     V::kTruncate, 1, "int16", "degC", nullptr, false, nullptr, 1},
    {R, kRegMotorTorque, 6, "motor %d torque", "actual_motor_torque_", true, 0, V::kTruncate, 1,
     "int16", "Nm", nullptr, false, nullptr, 1},
    {R, kRegTaskPose, 6, "tool pose %s", "actual_task_space_pose_", true, 0, V::kRoundSingle, 10,
     "int16", "mm", "deg", false, nullptr, 1, kPoseAxes},
    {R, kRegTaskVelocity, 6, "tool velocity %s", "actual_task_sapce_velocity_", true, 0,
     V::kRoundSingle, 10, "int16", "mm/s", "deg/s", false, nullptr, 1, kPoseAxes},
    {R, kRegToolOffset, 6, "tool offset %s", "tool_offset_info_", true, 0, V::kRound, 10, "int16",
     "mm", "deg", false, nullptr, 1, kPoseAxes},
    {R, kRegExternalForce, 6, "external force %s", "external_force_info_", true, 0,
     V::kTruncateThenScale, 10, "int16", "N", "Nm", false, nullptr, 1, kWrenchAxes},
};
}  // namespace table_detail

// Every coil and holding register that carries robot data, in address order
// within each table.
using table_detail::kMapEntries;

constexpr bool EntriesWithinTables() {
  for (const MapEntry& e : kMapEntries) {
    const int size = e.table == Table::kCoil ? kCoilCount : kRegisterCount;
    if (e.first < 0 || e.count < 1 || e.first + e.count > size) return false;
  }
  return true;
}
static_assert(EntriesWithinTables(), "every map entry lies inside its table");

}  // namespace ModbusMap
}  // namespace VeloFramework
