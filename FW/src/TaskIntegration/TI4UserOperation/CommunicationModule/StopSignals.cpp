// Stop on SIGTERM and SIGINT: async-signal-safe handlers that record the
// signal and arm a backstop alarm; the service loop runs the orderly stop.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "CommunicationModuleBase.h"
#include "ModuleSupport.h"

namespace VeloFramework {
namespace detail {
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");
}  // namespace detail

using detail::g_stopSignal;
using detail::PrintLine;

namespace {

// Time the orderly stop has before the backstop ends the process.
constexpr unsigned kStopGraceSeconds = 1;

void WriteRaw(const char* text) {
  ssize_t ignored = write(STDOUT_FILENO, text, strlen(text));
  (void)ignored;
}

// SIGTERM / SIGINT: record the signal and arm the backstop; a second one
// ends the process at once. Only async-signal-safe calls.
void StopSignalHandler(int signo) {
  const int savedErrno = errno;  // the interrupted code may be about to read it
  int expected = 0;
  if (!g_stopSignal.compare_exchange_strong(expected, signo)) {
    WriteRaw("[COMMBASE][ERROR] Second stop signal: exiting at once\n");
    _exit(128 + expected);
  }
  alarm(kStopGraceSeconds);
  errno = savedErrno;
}

// The orderly stop took longer than its grace time.
void StopBackstopHandler(int) {
  WriteRaw("[COMMBASE][ERROR] Orderly stop did not end in time: exiting\n");
  _exit(128 + g_stopSignal.load());
}

}  // namespace

int CCommunicationModuleBase::InstallStopSignals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = StopSignalHandler;
  // No SA_RESTART: a wait in select or usleep ends early, the loop sees the
  // request sooner.
  if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0) {
    perror("[CCommunicationModuleBase][ERROR] Install stop signal handlers FAILED");
    return -1;
  }
  action.sa_handler = StopBackstopHandler;
  if (sigaction(SIGALRM, &action, nullptr) != 0) {
    perror("[CCommunicationModuleBase][ERROR] Install stop signal handlers FAILED");
    return -1;
  }
  return 0;
}

int CCommunicationModuleBase::StopSignal() {
  return g_stopSignal.load();
}

void CCommunicationModuleBase::StopOnSignal() {
  PrintLine("[COMMBASE] Signal " + std::to_string(g_stopSignal.load()) +
            " received: stopping the module");
  StopService();
  Destructor();
  PrintLine("[COMMBASE] Module stopped");
}

}  // namespace VeloFramework
