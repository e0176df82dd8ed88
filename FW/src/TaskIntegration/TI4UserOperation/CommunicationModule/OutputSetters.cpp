// Output requests through the monitoring record: each writes its value, then
// raises output_command_ for the controller to pick the request up.
#include <cstdio>
#include <cstring>

#include "CommunicationModuleBase.h"
#include "ModuleSupport.h"

namespace VeloFramework {

namespace {

void PrintSetterError(const char* setter, const std::string& what) {
  detail::PrintLine(std::string("[CCommunicationModuleBase][ERROR] ") + setter + ": " + what +
                    ", request ignored");
}

}  // namespace

void CCommunicationModuleBase::RaiseOutputCommand() {
  // The controller picks the request up by the flag: publish the value first.
  __atomic_store_n(&m_pMonitoringDataPointerMember->output_command_, 1u, __ATOMIC_RELEASE);
}

bool CCommunicationModuleBase::MonitoringMapped(const char* setter) {
  if (m_pMonitoringDataPointerMember != nullptr) return true;
  PrintSetterError(setter, "monitoring data not mapped");
  return false;
}

void CCommunicationModuleBase::SetControlBoxDigitalOutput(uint8_t index, bool output_value) {
  if (index > 15) {
    PrintSetterError("SetControlBoxDigitalOutput",
                     "output index " + std::to_string(index) + " out of range [0..15]");
    return;
  }
  if (!MonitoringMapped("SetControlBoxDigitalOutput")) return;
  uint16_t mask = static_cast<uint16_t>(1u << index);
  uint16_t value = m_pMonitoringDataPointerMember->control_box_digital_output_;
  value = output_value ? static_cast<uint16_t>(value | mask) : static_cast<uint16_t>(value & ~mask);
  m_pMonitoringDataPointerMember->control_box_digital_output_ = value;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetControlBoxDigitalOutput(uint16_t control_box_output_data) {
  if (!MonitoringMapped("SetControlBoxDigitalOutput")) return;
  m_pMonitoringDataPointerMember->control_box_digital_output_ = control_box_output_data;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetToolDigitalOutput(uint8_t index, bool output_value) {
  if (index > 7) {
    PrintSetterError("SetToolDigitalOutput",
                     "output index " + std::to_string(index) + " out of range [0..7]");
    return;
  }
  if (!MonitoringMapped("SetToolDigitalOutput")) return;
  uint8_t mask = static_cast<uint8_t>(1u << index);
  uint8_t value = m_pMonitoringDataPointerMember->tool_digital_output_;
  value = output_value ? static_cast<uint8_t>(value | mask) : static_cast<uint8_t>(value & ~mask);
  m_pMonitoringDataPointerMember->tool_digital_output_ = value;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetToolDigitalOutput(uint8_t tool_output_value) {
  if (!MonitoringMapped("SetToolDigitalOutput")) return;
  m_pMonitoringDataPointerMember->tool_digital_output_ = tool_output_value;
  RaiseOutputCommand();
}

namespace {
bool AnalogIndexValid(const char* setter, uint8_t index) {
  if (index <= 1) return true;
  PrintSetterError(setter, "analog channel " + std::to_string(index) + " out of range [0..1]");
  return false;
}
}  // namespace

void CCommunicationModuleBase::SetAnalogInputType(uint8_t index, uint8_t type) {
  if (!AnalogIndexValid("SetAnalogInputType", index) || !MonitoringMapped("SetAnalogInputType"))
    return;
  m_pMonitoringDataPointerMember->control_box_analog_input_data_[index].type_info_ = type;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetAnalogOutputType(uint8_t index, uint8_t type) {
  if (!AnalogIndexValid("SetAnalogOutputType", index) || !MonitoringMapped("SetAnalogOutputType"))
    return;
  m_pMonitoringDataPointerMember->control_box_analog_output_data_[index].type_info_ = type;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetAnalogOutputValue(uint8_t index, uint16_t value) {
  if (!AnalogIndexValid("SetAnalogOutputValue", index) || !MonitoringMapped("SetAnalogOutputValue"))
    return;
  m_pMonitoringDataPointerMember->control_box_analog_output_data_[index].analog_data_ =
      static_cast<float>(value);
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetAanalogOutput(uint8_t index, uint8_t type, float value) {
  if (!AnalogIndexValid("SetAanalogOutput", index) || !MonitoringMapped("SetAanalogOutput")) return;
  AnalogData& channel = m_pMonitoringDataPointerMember->control_box_analog_output_data_[index];
  channel.type_info_ = type;
  channel.analog_data_ = value;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetAanalogOutput(uint8_t index, AnalogData data) {
  if (!AnalogIndexValid("SetAanalogOutput", index) || !MonitoringMapped("SetAanalogOutput")) return;
  std::memcpy(&m_pMonitoringDataPointerMember->control_box_analog_output_data_[index], &data,
              sizeof data);
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetGeneralPurpose(uint8_t index, uint16_t data) {
  if (index < 128) {
    PrintSetterError("SetGeneralPurpose",
                     "address " + std::to_string(index) + " out of range [128..255]");
    return;
  }
  if (!MonitoringMapped("SetGeneralPurpose")) return;
  printf(" === Writing GP-16 ==== Address = %d;;;; Value = %d", index, data);
  fflush(stdout);
  m_pMonitoringDataPointerMember->general_purpose_register_[index - 128] = data;
  RaiseOutputCommand();
}

}  // namespace VeloFramework
