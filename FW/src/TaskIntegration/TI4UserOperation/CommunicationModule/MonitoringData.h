// The robot monitoring record that the controller publishes in the shared
// memory object "/mm-shared-mem": robot state for the modules to read, and
// the output fields through which modules ask for output changes. Its byte
// layout is shared with the controller; every offset is pinned below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VeloFramework {

// Name of the monitoring record, of its semaphore and of the response record.
constexpr const char* kMonitoringDataName = "/mm-shared-mem";
constexpr const char* kMonitoringSemaphoreName = "/mm-sem-spool";
constexpr const char* kResponseDataName = "/mm-shared-mem_response";
constexpr const char* kResponseSemaphoreName = "/mm-sem-spool_response";

// One analog channel: its type and its value.
struct AnalogData {
  uint8_t type_info_;    // channel type (0 or 1 as written by the Modbus slave)
  uint8_t reserved_[3];  // padding
  float analog_data_;    // channel value
};

// Result of the monitoring functions of CCommunicationModuleBase.
typedef enum : uint32_t {
  _STATUS_MONITORING_SUCCESS = 0,
  _STATUS_MONITORING_OPEN_FAIL = 1,
  _STATUS_MONITORING_FTRUNCATE_FAIL = 2,
  _STATUS_MONITORING_MMAP_FAIL = 3,
  _STATUS_MONITORING_SHM_FAIL = 4,
  _STATUS_MONITORING_SEMAPORE_OPEN_FAIL = 5,
} _MONITORING_STATUS_CODE;

// Robot status bits, bit 0 the least significant.
struct SystemStatusGroup {
  uint32_t servo_on_ : 1;
  uint32_t emergency_stopped_ : 1;
  uint32_t safety_stopped_ : 1;
  uint32_t direct_teaching_button_pressed_ : 1;
  uint32_t power_button_pressed_ : 1;
  uint32_t safety_stopped_requiring_recovery_mode_ : 1;
  uint32_t reserved_ : 26;
};

union SystemStatus {
  uint32_t system_status_memory_;          // the whole word
  SystemStatusGroup system_status_group_;  // the bits one by one
};

// The monitoring record, current revision (532 bytes). Little-endian.
struct MonitoringData {
  uint32_t output_command_;  // 1 = an output request is pending
  uint16_t controller_version_info_[3];
  uint16_t control_box_digital_input_;     // bit n = input n
  uint16_t control_box_digital_input_ex_;  // further inputs
  uint16_t control_box_digital_output_;    // bit n = output n
  uint8_t tool_digital_input_;             // bits 0..5
  uint8_t tool_digital_output_;            // bits 0..5
  uint8_t reserved0_[2];                   // padding
  SystemStatus system_status_;
  AnalogData control_box_analog_input_data_[2];
  AnalogData control_box_analog_output_data_[2];
  uint16_t general_purpose_register_[128];
  uint16_t robot_state_info_;
  uint8_t reserved1_[2];  // padding
  float actual_joint_pose_[6];
  float actual_angular_velocity_[6];
  float actual_motor_current_[6];
  float actual_motor_torque_[6];
  float actual_task_space_pose_[6];
  float actual_task_sapce_velocity_[6];  // the field name is spelled so
  float motor_temperature_[6];
  float tool_offset_info_[6];
  float external_force_info_[6];
};

static_assert(sizeof(AnalogData) == 8, "AnalogData is 8 bytes");
static_assert(offsetof(AnalogData, type_info_) == 0, "type_info_ at 0");
static_assert(offsetof(AnalogData, analog_data_) == 4, "analog_data_ at 4");
static_assert(sizeof(SystemStatus) == 4, "system status is one 32-bit word");

static_assert(sizeof(MonitoringData) == 532, "MonitoringData is 532 bytes");
static_assert(offsetof(MonitoringData, output_command_) == 0, "layout");
static_assert(offsetof(MonitoringData, controller_version_info_) == 4, "layout");
static_assert(offsetof(MonitoringData, control_box_digital_input_) == 10, "layout");
static_assert(offsetof(MonitoringData, control_box_digital_input_ex_) == 12, "layout");
static_assert(offsetof(MonitoringData, control_box_digital_output_) == 14, "layout");
static_assert(offsetof(MonitoringData, tool_digital_input_) == 16, "layout");
static_assert(offsetof(MonitoringData, tool_digital_output_) == 17, "layout");
static_assert(offsetof(MonitoringData, system_status_) == 20, "layout");
static_assert(offsetof(MonitoringData, control_box_analog_input_data_) == 24, "layout");
static_assert(offsetof(MonitoringData, control_box_analog_output_data_) == 40, "layout");
static_assert(offsetof(MonitoringData, general_purpose_register_) == 56, "layout");
static_assert(offsetof(MonitoringData, robot_state_info_) == 312, "layout");
static_assert(offsetof(MonitoringData, actual_joint_pose_) == 316, "layout");
static_assert(offsetof(MonitoringData, actual_angular_velocity_) == 340, "layout");
static_assert(offsetof(MonitoringData, actual_motor_current_) == 364, "layout");
static_assert(offsetof(MonitoringData, actual_motor_torque_) == 388, "layout");
static_assert(offsetof(MonitoringData, actual_task_space_pose_) == 412, "layout");
static_assert(offsetof(MonitoringData, actual_task_sapce_velocity_) == 436, "layout");
static_assert(offsetof(MonitoringData, motor_temperature_) == 460, "layout");
static_assert(offsetof(MonitoringData, tool_offset_info_) == 484, "layout");
static_assert(offsetof(MonitoringData, external_force_info_) == 508, "layout");

}  // namespace VeloFramework
