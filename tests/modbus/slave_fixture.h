// Test side of a running Modbus slave module: plays KORE (creates the
// control queue and the monitoring record, starts the module with its own
// pid, takes every message the module sends) and gives libmodbus clients.
// The monitoring record is written and read by raw offsets, not through the
// module's own struct, so the layout is checked too.
#pragma once

#include <modbus/modbus.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace modbus_test {

using namespace std::chrono_literals;

// Offsets in the monitoring record (532 bytes).
namespace rec {
constexpr size_t kSize = 532;
constexpr size_t kOutputCommand = 0;
constexpr size_t kVersion = 4;  // uint16[3]
constexpr size_t kCbInput = 10;
constexpr size_t kCbInputEx = 12;
constexpr size_t kCbOutput = 14;
constexpr size_t kToolInput = 16;
constexpr size_t kToolOutput = 17;
constexpr size_t kStatus = 20;
constexpr size_t kAnalogIn = 24;   // 2 x {uint8 type, pad3, float value}
constexpr size_t kAnalogOut = 40;  // same
constexpr size_t kGpr = 56;        // uint16[128]
constexpr size_t kRobotState = 312;
constexpr size_t kJointPose = 316;
constexpr size_t kJointVelocity = 340;
constexpr size_t kMotorCurrent = 364;
constexpr size_t kMotorTorque = 388;
constexpr size_t kTaskPose = 412;
constexpr size_t kTaskVelocity = 436;
constexpr size_t kMotorTemperature = 460;
constexpr size_t kToolOffset = 484;
constexpr size_t kExternalForce = 508;
}  // namespace rec

// One message the module sent to KORE.
struct KoreMessage {
  int64_t source = 0;
  uint32_t event = 0;
  uint32_t length = 0;
  std::vector<uint8_t> payload;  // the first `length` bytes
};

// KORE stand-in and owner of the monitoring record.
class FakeKore {
 public:
  FakeKore();  // creates key file, queue and record (all zero)
  ~FakeKore();

  // Starts the module with this process's pid. Returns false when the
  // program cannot be started.
  bool StartModule(const std::string& path, const std::string& name = "slave");
  // Waits for the load response; returns its status, or -1 on timeout.
  int WaitLoadResponse(std::chrono::milliseconds timeout = 10s);
  // Waits until the module is ready for clients (load response and listening).
  bool WaitReady();

  test_support::ChildProcess* Module() { return m_module.get(); }

  // Raw record access.
  uint8_t* Record() { return m_record; }
  template <typename T>
  void Put(size_t offset, T value) {
    std::memcpy(m_record + offset, &value, sizeof(T));
  }
  template <typename T>
  T Get(size_t offset) const {
    T value;
    std::memcpy(&value, m_record + offset, sizeof(T));
    return value;
  }
  // Waits until a register image shows `value` in register `reg`, i.e. the
  // module has refreshed its tables from a record holding it.
  bool WaitRegisterImage(int reg, uint16_t value, std::chrono::milliseconds timeout = 10s);

  // Sends a request to the module: event and payload.
  bool Send(uint32_t event, const std::vector<uint8_t>& payload);

  // Received messages.
  size_t Count(uint32_t event);
  std::vector<uint8_t> LatestPayload(uint32_t event);
  std::vector<KoreMessage> Others();  // everything but the images 43 and 44
  bool WaitEvent(uint32_t event, KoreMessage* out, std::chrono::milliseconds timeout = 10s);

 private:
  void Receive();

  int m_queue = -1;
  uint8_t* m_record = nullptr;
  std::unique_ptr<test_support::ChildProcess> m_module;
  std::atomic<bool> m_stop{false};
  std::thread m_receiver;
  std::mutex m_mutex;
  std::map<uint32_t, size_t> m_counts;
  std::map<uint32_t, KoreMessage> m_latest;
  std::vector<KoreMessage> m_others;
};

// A libmodbus TCP client connected to 127.0.0.1:502 (null context when the
// connection failed).
class Client {
 public:
  explicit Client(uint32_t responseTimeoutSec = 5);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  bool Connected() const { return m_connected; }
  modbus_t* Ctx() { return m_ctx; }
  // Reads registers first..first+count-1 in requests of at most 125.
  bool ReadRegisters(int first, int count, std::vector<uint16_t>* out);

 private:
  modbus_t* m_ctx = nullptr;
  bool m_connected = false;
};

// Number of open descriptors of a process.
int CountDescriptors(pid_t pid);

// A raw TCP connection to 127.0.0.1:502; -1 when it cannot connect.
int ConnectRaw();

// Reads one whole response frame (MBAP length) from `fd` with a deadline;
// empty on timeout or close.
std::vector<uint8_t> ReadFrame(int fd, std::chrono::milliseconds timeout = 5s);

}  // namespace modbus_test
