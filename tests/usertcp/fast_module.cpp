// The user TCP module program with no pause after an acknowledged chunk, so
// that tests can push tens of megabytes through the chunk exchange in
// seconds. Everything else is the module as shipped.
#include <csignal>

#include "CommunicationModuleBase.h"
#include "UserTcp.h"

int main(int argc, char* argv[]) {
  if (VeloFramework::CheckModuleArguments(argc, argv, "[UserTcp][ERROR] Run ") != 0) return -1;
  std::signal(SIGPIPE, SIG_IGN);
  if (VeloFramework::CCommunicationModuleBase::InstallStopSignals() != 0) return -1;
  VeloFramework::UserTcpTimings timings;
  timings.chunkPause = std::chrono::milliseconds(0);
  static VeloFramework::CUserTcpServer* s_pModule = new VeloFramework::CUserTcpServer(timings);
  return s_pModule->LoadModule();
}
