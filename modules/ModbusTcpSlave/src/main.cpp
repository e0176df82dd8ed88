// modbus-slave-module: the Modbus TCP slave module program. Started by the
// Module Manager (or kore-sim) with KORE's pid as its only argument.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "CommunicationModuleBase.h"
#include "ProjectVersion.h"
#include "modbus_tcp_slave.h"

namespace {

const char kUsage[] =
    "Usage: modbus-slave-module KORE_PID\n"
    "       modbus-slave-module --help | --version\n"
    "\n"
    "Modbus TCP slave of the robot controller. Publishes the monitoring record\n"
    "(\"/mm-shared-mem\") as coils 0..300 and holding registers 0..600 on TCP port\n"
    "502 of all local addresses, turns single-coil and single-register writes into\n"
    "robot output requests, and sends the coil and register images to KORE (the\n"
    "process KORE_PID) through the control queue of the working directory every\n"
    "cycle. The module ends when the process that started it ends, and on\n"
    "SIGTERM or SIGINT (clients and port closed, exit status 0, within a second).\n";

}  // namespace

// Ends the process on a segmentation fault; only async-signal-safe calls.
void CallbackSignalAction(int) {
  static const char kText[] = "[Modbus process] segmentation fault, exiting\n";
  ssize_t ignored = write(STDERR_FILENO, kText, sizeof(kText) - 1);
  (void)ignored;
  _exit(0);
}

int main(int argc, char* argv[]) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);

  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = CallbackSignalAction;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  if (sigaction(SIGSEGV, &action, nullptr) < 0) {
    std::puts("sigaction() error");
    return -1;
  }
  // A client that vanishes while we answer must not end the module.
  signal(SIGPIPE, SIG_IGN);

  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    PrintProjectVersion("modbus-slave-module");
    return 0;
  }
  if (VeloFramework::CheckModuleArguments(argc, argv, "[UserSerial][ERROR] Run ") != 0) return -1;
  // SIGTERM / SIGINT: the loop stops, LoadModule returns and the slave's
  // destructor closes every client and the listening socket.
  if (VeloFramework::CCommunicationModuleBase::InstallStopSignals() != 0) return -1;

  try {
    VeloFramework::CModbusTcpSlave slave;
    if (!slave.IsStarted()) {
      slave.DebugLog("start failed; exiting");
      return 1;
    }
    // 0 after an orderly stop; 1 when the service loop could not start.
    return slave.LoadModule();
  } catch (const std::exception& e) {
    std::printf("[Modbus process] Start FAILED: %s\n", e.what());
    std::fflush(stdout);
    return 1;
  }
}
