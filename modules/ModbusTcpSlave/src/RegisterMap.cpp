#include "RegisterMap.h"

#include <cmath>
#include <limits>

namespace VeloFramework {
namespace ModbusMap {
namespace {

// Converts an integral-valued double to int32 without undefined behaviour.
int32_t ToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

void SetBits(uint8_t* coils, int first, uint32_t field, int count) {
  for (int bit = 0; bit < count; ++bit) coils[first + bit] = (field >> bit) & 1u;
}

}  // namespace

int32_t Truncate(float value) {
  return ToInt32(std::trunc(static_cast<double>(value)));
}

int32_t RoundScaled(float value, double factor) {
  return ToInt32(std::round(static_cast<double>(value) * factor));
}

int32_t RoundScaledSingle(float value) {
  // Single precision on purpose: the pose registers follow float arithmetic.
  return ToInt32(static_cast<double>(std::roundf(10.0f * value)));
}

int32_t TruncateThenScale(float value) {
  return ToInt32(static_cast<double>(Truncate(value)) * 10.0);
}

void RefreshTables(const MonitoringData& m, modbus_mapping_t& mapping) {
  uint8_t* coils = mapping.tab_bits;
  uint16_t* regs = mapping.tab_registers;

  SetBits(coils, kCoilControlBoxInput, m.control_box_digital_input_, 16);
  SetBits(coils, kCoilControlBoxInputEx, m.control_box_digital_input_ex_, 4);
  SetBits(coils, kCoilControlBoxOutput, m.control_box_digital_output_, 16);
  SetBits(coils, kCoilToolInput, m.tool_digital_input_, 6);
  SetBits(coils, kCoilToolOutput, m.tool_digital_output_, 6);
  const uint32_t status = m.system_status_.system_status_memory_;
  SetBits(coils, kCoilSystemStatus, status, 6);

  regs[kRegControlBoxInput] = m.control_box_digital_input_;
  regs[kRegControlBoxInputEx] = m.control_box_digital_input_ex_;
  regs[kRegControlBoxOutput] = m.control_box_digital_output_;
  regs[kRegAnalogInput0Value] =
      ToRegister(Truncate(m.control_box_analog_input_data_[0].analog_data_));
  regs[kRegAnalogInput0Type] = m.control_box_analog_input_data_[0].type_info_;
  regs[kRegAnalogInput1Value] =
      ToRegister(Truncate(m.control_box_analog_input_data_[1].analog_data_));
  regs[kRegAnalogInput1Type] = m.control_box_analog_input_data_[1].type_info_;
  regs[kRegAnalogOutput0Value] =
      ToRegister(Truncate(m.control_box_analog_output_data_[0].analog_data_));
  regs[kRegAnalogOutput0Type] = m.control_box_analog_output_data_[0].type_info_;
  regs[kRegAnalogOutput1Value] =
      ToRegister(Truncate(m.control_box_analog_output_data_[1].analog_data_));
  regs[kRegAnalogOutput1Type] = m.control_box_analog_output_data_[1].type_info_;
  regs[kRegToolInput] = m.tool_digital_input_;
  regs[kRegToolOutput] = m.tool_digital_output_;
  for (int r = 0; r < 128; ++r) regs[kRegGeneralPurpose + r] = m.general_purpose_register_[r];
  regs[kRegRobotState] = m.robot_state_info_;
  for (int bit = 0; bit < 5; ++bit) regs[kRegSystemStatus + bit] = (status >> bit) & 1u;

  for (int k = 0; k < 6; ++k) {
    regs[kRegJointPose + k] = ToRegister(RoundScaled(m.actual_joint_pose_[k], 10.0));
    regs[kRegJointVelocity + k] = ToRegister(RoundScaled(m.actual_angular_velocity_[k], 10.0));
    regs[kRegMotorCurrent + k] = ToRegister(RoundScaled(m.actual_motor_current_[k], 1000.0));
    regs[kRegMotorTemperature + k] = ToRegister(Truncate(m.motor_temperature_[k]));
    regs[kRegMotorTorque + k] = ToRegister(Truncate(m.actual_motor_torque_[k]));
    regs[kRegTaskPose + k] = ToRegister(RoundScaledSingle(m.actual_task_space_pose_[k]));
    regs[kRegTaskVelocity + k] = ToRegister(RoundScaledSingle(m.actual_task_sapce_velocity_[k]));
    regs[kRegToolOffset + k] = ToRegister(RoundScaled(m.tool_offset_info_[k], 10.0));
    regs[kRegExternalForce + k] = ToRegister(TruncateThenScale(m.external_force_info_[k]));
  }
}

void WriteInitialImage(const MonitoringData& m, modbus_mapping_t& mapping) {
  for (int i = 0; i < 3; ++i)
    mapping.tab_registers[kRegControllerVersion + i] = m.controller_version_info_[i];
  mapping.tab_registers[kRegToolOutput] = m.tool_digital_output_;
  SetBits(mapping.tab_bits, kCoilToolOutput, m.tool_digital_output_, 6);
  mapping.tab_registers[kRegControlBoxOutput] = m.control_box_digital_output_;
  SetBits(mapping.tab_bits, kCoilControlBoxOutput, m.control_box_digital_output_, 16);
}

}  // namespace ModbusMap
}  // namespace VeloFramework
