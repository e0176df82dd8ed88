// kore-sim: a stand-in for KORE and the Module Manager, for trying, testing
// and demonstrating the communication modules on a machine without the
// robot controller.
//
// In its working directory it creates the control queue (and its key file),
// the monitoring record with its semaphore, and the response record with its
// semaphore; it starts one module program with its own pid as the argument,
// logs every event the module sends, animates the robot in the monitoring
// record and acts on the output requests modules write into it. Commands
// come from a script file or from standard input. KoreSim.h lists where
// each part lives.
#include <signal.h>

#include <cstdio>

#include "KoreSim.h"
#include "ProjectVersion.h"

int main(int argc, char* argv[]) {
  kore::Options opt;
  switch (kore::ParseOptions(argc, argv, &opt)) {
    case kore::OptionsResult::kHelp:
      fputs(kore::kUsage, stdout);
      fputs("\n", stdout);
      kore::KoreSim(opt).PrintCommands();
      return 0;
    case kore::OptionsResult::kVersion:
      PrintProjectVersion("kore-sim");
      return 0;
    case kore::OptionsResult::kError:
      return 2;
    case kore::OptionsResult::kRun:
      break;
  }

  struct sigaction sa {};
  sa.sa_handler = kore::OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: a stop interrupts waits at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  kore::KoreSim sim(opt);
  return sim.Run();
}
