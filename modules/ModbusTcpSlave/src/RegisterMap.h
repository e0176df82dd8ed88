// The coil and holding-register map of the Modbus slave: which table entry
// carries which field of the monitoring record, and how floats are scaled
// into 16-bit registers. Pure functions over a snapshot and a libmodbus
// mapping, so they can be checked without a running module.
#pragma once

#include <modbus/modbus.h>

#include <cstdint>

#include "ModbusSlaveContract.h"
#include "MonitoringData.h"

namespace VeloFramework {
namespace ModbusMap {

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
