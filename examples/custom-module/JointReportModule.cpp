// joint-report-module: a communication module of its own on the module
// framework. Started like the shipped modules with KORE's pid, it answers
// two requests of its own on the control queue:
//
//   request 200 (no payload)      -> event 201 with the six joint positions
//                                    of the monitoring record, 6 floats
//                                    (24 bytes, little-endian, degrees)
//   request 202 (2 bytes: N, ON)  -> sets tool digital output N (0..7) on
//                                    when ON is not 0, through the record's
//                                    output request; event 203 with status
//                                    0, or 1 when the payload is malformed
//
// Unload (request 2) is answered by the framework.
#include <cstdio>
#include <cstring>

#include "CommunicationModuleBase.h"

using namespace VeloFramework;

namespace {

constexpr uint32_t kReportJointsRequest = 200;
constexpr uint32_t kJointsEvent = 201;
constexpr uint32_t kSetToolOutputRequest = 202;
constexpr uint32_t kToolOutputEvent = 203;

class CJointReportModule : public CCommunicationModuleBase {
 public:
  CJointReportModule() { Response(); }  // the load response: event 1, status 0

  void StartService() override {}
  void RunningService() override {}
  void StopService() override {}

 protected:
  void HandleRequest(StructControlMessage& request) override {
    if (request.nEvent == kReportJointsRequest) {
      MonitoringData snapshot{};
      UpdateMonitoringData(snapshot);
      StructMessageData answer{};
      answer.nMsgLength = sizeof(snapshot.actual_joint_pose_);
      std::memcpy(answer.chMsgData, snapshot.actual_joint_pose_, answer.nMsgLength);
      SendMessageToKORE(kJointsEvent, &answer);
    } else if (request.nEvent == kSetToolOutputRequest) {
      const bool valid =
          request.msgData.nMsgLength == 2 && static_cast<uint8_t>(request.msgData.chMsgData[0]) < 8;
      if (valid) {
        SetToolDigitalOutput(static_cast<uint8_t>(request.msgData.chMsgData[0]),
                             request.msgData.chMsgData[1] != 0);
      }
      Response(kToolOutputEvent, valid ? EN_RET_STATUS_SUCCESS : EN_RET_STATUS_FAILED);
    }
  }
};

}  // namespace

int main(int argc, char* argv[]) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf(
        "usage: joint-report-module KORE_PID\n"
        "An example module: request 200 answers event 201 with the joint positions,\n"
        "request 202 (N, ON) sets tool output N and answers event 203.\n");
    return 0;
  }
  if (CheckModuleArguments(argc, argv, "[JointReport][ERROR] Run ") != 0) return -1;
  auto* module = new CJointReportModule();
  // Runs the service loop; returns its exit status (non-zero when the start
  // failed) only if it ends.
  return module->LoadModule();
}
