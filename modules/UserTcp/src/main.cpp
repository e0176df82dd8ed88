// The user TCP module program, started by the Module Manager with KORE's pid.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>

#include "CommunicationModuleBase.h"
#include "ProjectVersion.h"
#include "UserTcp.h"

int main(int argc, char* argv[]) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf(
        "Usage: usertcp-module KORE_PID\n"
        "       usertcp-module --help | --version\n"
        "The user TCP module. Started by the Module Manager with KORE's process id;\n"
        "creates its shared areas SHM_UserTcp_<pid>_Tx and SHM_UserTcp_<pid>_Rx, joins\n"
        "the control queue (key file controlMessageQueue.txt in the working directory)\n"
        "and serves KORE's TCP open, close and write requests until it is ended.\n"
        "SIGTERM or SIGINT stop it in order within a second: the areas are removed,\n"
        "what was sent to peers is delivered, every socket is closed, exit status 0;\n"
        "so does KORE's process ending. A start that fails (areas, semaphores,\n"
        "threads) answers the load with a failure status, or not at all, and\n"
        "exits with status 1.\n"
        "Try it by hand with kore-sim: usertcp.md in /usr/share/doc/robot-controller-addons/\n"
        "(docs/ in the source tree).\n");
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    PrintProjectVersion("usertcp-module");
    return 0;
  }
  if (VeloFramework::CheckModuleArguments(argc, argv, "[UserTcp][ERROR] Run ") != 0) return -1;
  // A peer that resets its connection must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  // SIGTERM / SIGINT: the loop runs the orderly stop and LoadModule returns.
  if (VeloFramework::CCommunicationModuleBase::InstallStopSignals() != 0) return -1;
  // Never deleted: a detached client listening thread may still be leaving
  // when main returns; the stop has already released what the module owns.
  // Held in a static so that it stays reachable to the end.
  static VeloFramework::CUserTcpServer* s_pModule = nullptr;
  try {
    s_pModule = new VeloFramework::CUserTcpServer();
    // 0 after an orderly stop; 1 when the module could not start.
    return s_pModule->LoadModule();
  } catch (const std::exception& e) {
    // Before the service loop runs no load response has gone out: KORE is
    // not told "loaded".
    std::printf("[UserTcp][ERROR] Start FAILED: %s\n", e.what());
    std::fflush(stdout);
    return 1;
  }
}
