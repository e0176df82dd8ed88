// A minimal communication module for exercising the module base through real
// processes. It prints a line for every call the base makes into it and
// answers nothing by itself. A few request codes (1000 and up) let a test
// make it use the base's protected operations:
//
//   1001  payload u32 event, u32 status: Response(event, status)
//   1002  payload path: block in HandleRequest until the file exists (10 s at most)
//   1003  payload u8 index, u8 on: SetControlBoxDigitalOutput(index, on)
//   1004  payload u8 address, u16 value: SetGeneralPurpose(address, value)
//   1005  no payload: print a snapshot of the monitoring record
//
// Environment: TEST_MODULE_LOAD_STATUS sets the status of the load response
// (default 0); TEST_MODULE_HEARTBEAT_MS makes RunningService send event 1099
// to KORE at that period.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "CommunicationModuleBase.h"

using namespace VeloFramework;

namespace {

void Say(const std::string& line) {
  std::string text = "[TestModule] " + line + "\n";
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

std::string Hex(const char* data, uint32_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint32_t i = 0; i < length && i < 32; ++i) {
    out += digits[(static_cast<unsigned char>(data[i]) >> 4) & 0xf];
    out += digits[static_cast<unsigned char>(data[i]) & 0xf];
  }
  if (length > 32) out += "...";
  return out;
}

template <typename T>
T Read(const ControlMessage& msg, size_t offset) {
  T v{};
  std::memcpy(&v, msg.msgData.chMsgData + offset, sizeof v);
  return v;
}

long EnvNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

class CTestModule : public CCommunicationModuleBase {
 public:
  CTestModule() : m_lHeartbeatMs(EnvNumber("TEST_MODULE_HEARTBEAT_MS", 0)) {
    Say("constructed, pid " + std::to_string(getpid()) + ", KORE pid " +
        std::to_string(GetKorePID()));
    Response(EN_REQ_MODULE_MANAGER_LOAD,
             static_cast<EN_RET_STATUS>(EnvNumber("TEST_MODULE_LOAD_STATUS", 0)));
  }

  void StartService() override { Say("StartService"); }

  void RunningService() override {
    ++m_nCycles;
    if (m_nCycles == 1) {
      Say(std::string("RunningService first call, monitoring ") +
          (m_pMonitoringDataPointerMember != nullptr ? "mapped" : "not mapped"));
    }
    if (m_lHeartbeatMs > 0) {
      auto now = std::chrono::steady_clock::now();
      if (now - m_lastBeat >= std::chrono::milliseconds(m_lHeartbeatMs)) {
        m_lastBeat = now;
        MessageData data{};
        data.nMsgLength = 8;
        std::memcpy(data.chMsgData, &m_nCycles, 8);
        int rc = SendMessageToKORE(1099, &data);
        Say("heartbeat " + std::string(rc == -1 ? "FAILED" : "sent") + " at cycle " +
            std::to_string(m_nCycles));
      }
    }
  }

  void StopService() override {
    Say("StopService at cycle " + std::to_string(m_nCycles) + ", running " +
        (IsModuleRunning() ? "yes" : "no"));
  }

 protected:
  void HandleRequest(StructControlMessage& msg) override {
    Say("HandleRequest cycle " + std::to_string(m_nCycles) + " event " +
        std::to_string(msg.nEvent) + " src " + std::to_string(msg.nMsgTypeSrc) + " length " +
        std::to_string(msg.msgData.nMsgLength) + " data " +
        Hex(msg.msgData.chMsgData, msg.msgData.nMsgLength));
    switch (msg.nEvent) {
      case 1001:
        Response(Read<uint32_t>(msg, 0), static_cast<EN_RET_STATUS>(Read<uint32_t>(msg, 4)));
        break;
      case 1002: {
        std::string path(msg.msgData.chMsgData,
                         strnlen(msg.msgData.chMsgData, msg.msgData.nMsgLength));
        Say("blocked until " + path + " exists");
        struct stat st;
        for (int i = 0; i < 1000 && stat(path.c_str(), &st) != 0; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Say("unblocked");
        break;
      }
      case 1003:
        SetControlBoxDigitalOutput(Read<uint8_t>(msg, 0), Read<uint8_t>(msg, 1) != 0);
        break;
      case 1004:
        SetGeneralPurpose(Read<uint8_t>(msg, 0), Read<uint16_t>(msg, 1));
        printf("\n");
        break;
      case 1005: {
        MonitoringData snapshot{};
        UpdateMonitoringData(snapshot);
        Say("snapshot output_command " + std::to_string(snapshot.output_command_) +
            " control_box_digital_output " + std::to_string(snapshot.control_box_digital_output_) +
            " joint1 " + std::to_string(snapshot.actual_joint_pose_[0]));
        break;
      }
      default:
        break;
    }
  }

 private:
  uint64_t m_nCycles = 0;
  long m_lHeartbeatMs;
  std::chrono::steady_clock::time_point m_lastBeat{};
};

}  // namespace

int main(int argc, char* argv[]) {
  if (CheckModuleArguments(argc, argv, "[TestModule][ERROR] Run ") != 0) return -1;
  auto* module = new CTestModule();
  return module->LoadModule();
}
