// The coil and holding-register map of the Modbus slave: which table entry
// carries which field of the monitoring record, and how floats are scaled
// into 16-bit registers. Pure functions over a snapshot and a libmodbus
// mapping, so they can be checked without a running module.
#pragma once

#include <modbus/modbus.h>

#include <cstdint>

#include "MonitoringData.h"

namespace VeloFramework {
namespace ModbusMap {

// Table sizes: coils 0..300 and holding registers 0..600, all starting at 0.
constexpr int kCoilCount = 301;
constexpr int kRegisterCount = 601;

// Coil addresses.
constexpr int kCoilControlBoxInput = 0;     // 16 coils
constexpr int kCoilControlBoxInputEx = 16;  // 4 coils
constexpr int kCoilControlBoxOutput = 20;   // 16 coils, writable
constexpr int kCoilToolInput = 36;          // 6 coils
constexpr int kCoilToolOutput = 42;         // 6 coils, writable
constexpr int kCoilSystemStatus = 260;      // 6 coils

// Holding-register addresses.
constexpr int kRegControlBoxInput = 0;
constexpr int kRegControlBoxInputEx = 1;
constexpr int kRegControlBoxOutput = 2;
constexpr int kRegAnalogInput0Value = 4;
constexpr int kRegAnalogInput0Type = 5;
constexpr int kRegAnalogInput1Value = 6;
constexpr int kRegAnalogInput1Type = 7;
constexpr int kRegAnalogOutput0Value = 16;
constexpr int kRegAnalogOutput0Type = 17;
constexpr int kRegAnalogOutput1Value = 18;
constexpr int kRegAnalogOutput1Type = 19;
constexpr int kRegToolInput = 21;
constexpr int kRegToolOutput = 22;
constexpr int kRegGeneralPurpose = 128;     // 128 registers, 128..255
constexpr int kRegControllerVersion = 256;  // 3 registers, written at start only
constexpr int kRegRobotState = 259;
constexpr int kRegSystemStatus = 260;  // 5 registers, bits 0..4
constexpr int kRegJointPose = 270;
constexpr int kRegJointVelocity = 280;
constexpr int kRegMotorCurrent = 290;
constexpr int kRegMotorTemperature = 300;
constexpr int kRegMotorTorque = 310;
constexpr int kRegTaskPose = 400;
constexpr int kRegTaskVelocity = 410;
constexpr int kRegToolOffset = 420;
constexpr int kRegExternalForce = 430;

// Float conversions. Each returns the 32-bit integer result; NaN gives 0 and
// values beyond the 32-bit range are clamped to it, so no input is undefined.
int32_t Truncate(float value);                    // toward zero
int32_t RoundScaled(float value, double factor);  // double product, half away from zero
int32_t RoundScaledSingle(float value);           // roundf(10.0f * value)
int32_t TruncateThenScale(float value);           // trunc(value) * 10

// Low 16 bits of a result: negative values in two's complement, larger ones wrap.
inline uint16_t ToRegister(int64_t value) {
  return static_cast<uint16_t>(value & 0xFFFF);
}

// Rewrites every coil and register that is refreshed each cycle from
// `snapshot`. Entries outside the map are left as they are.
void RefreshTables(const MonitoringData& snapshot, modbus_mapping_t& mapping);

// Writes the entries set once when the service starts: the controller
// version (256..258), the tool outputs (register 22, coils 42..47) and the
// control-box outputs (register 2, coils 20..35).
void WriteInitialImage(const MonitoringData& snapshot, modbus_mapping_t& mapping);

}  // namespace ModbusMap
}  // namespace VeloFramework
