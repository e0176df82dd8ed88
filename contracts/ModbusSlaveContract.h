// What the Modbus TCP slave module and its peers agree on: the events it
// sends KORE every cycle with their payload lengths, the request KORE sends
// it, the sizes of its coil and holding-register tables and the addresses of
// the robot data in them. Used by the module, kore-sim and the tests alike.
//
// Event 43 carries the coil image: 301 bytes, one per coil 0..300, each 0 or
// 1. Event 44 carries the register image: 1202 bytes, registers 0..600 as
// 16-bit values in host (little-endian) order. Request 110
// (EN_REQ_MODBUS_SET_SLAVE_GPR of MessageQueue.h) carries an address and a
// value as two 16-bit numbers and is applied like a master's single-register
// write. The full map, one row per address, is docs/modbus-map.csv, generated
// from ModbusRegisterTable.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VeloFramework {

// Events sent to KORE every cycle: the coil image and the register image.
constexpr uint32_t kModbusCoilImageEvent = 43;
constexpr uint32_t kModbusRegisterImageEvent = 44;
// KORE's request to write one register like a master would (address, value).
constexpr uint32_t kModbusSetSlaveRegisterRequest = 110;
// Request 110 carries address and value, two little-endian uint16; a record
// with fewer payload bytes is dropped.
constexpr uint32_t kSetRegisterPayloadLength = 4;

namespace ModbusMap {

// Table sizes: coils 0..300 and holding registers 0..600, all starting at 0.
constexpr int kCoilCount = 301;
constexpr int kRegisterCount = 601;

// Payload lengths of events 43 and 44.
constexpr size_t kCoilImageLength = kCoilCount;
constexpr size_t kRegisterImageLength = 2 * kRegisterCount;
static_assert(kCoilImageLength == 301, "coil image is 301 bytes");
static_assert(kRegisterImageLength == 1202, "register image is 1202 bytes");

// The Modbus TCP port the slave listens on.
constexpr int kModbusPort = 502;

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

}  // namespace ModbusMap
}  // namespace VeloFramework
