// A communication module that answers every request at once with an event
// of the same code and payload; used to time the round trip through the
// module base. Prints nothing per request.
#include "CommunicationModuleBase.h"

using namespace VeloFramework;

namespace {

class CEchoModule : public CCommunicationModuleBase {
 public:
  CEchoModule() { Response(); }
  void StartService() override {}
  void RunningService() override {}
  void StopService() override {}

 protected:
  void HandleRequest(StructControlMessage& msg) override {
    SendMessageToKORE(msg.nEvent, &msg.msgData);
  }
};

}  // namespace

int main(int argc, char* argv[]) {
  if (CheckModuleArguments(argc, argv, "[EchoModule][ERROR] Run ") != 0) return -1;
  auto* module = new CEchoModule();
  module->LoadModule();
  return 0;
}
