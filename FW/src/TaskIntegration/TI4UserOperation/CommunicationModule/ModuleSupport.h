// Small helpers shared by the files of the communication-module base: the
// stop flag set by the signal handlers, log lines, process and clock checks.
// Internal to the framework library; modules use CommunicationModuleBase.h.
#pragma once

#include <errno.h>
#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace VeloFramework {
namespace detail {

// The service loop's cycle, in microseconds.
constexpr int32_t kServiceCycleMicroseconds = 1000;

// The signal that asked for a stop (0 while none did); written by the
// handler, read by the loop and by waiting sends.
extern std::atomic<int> g_stopSignal;

// True while process `pid` exists (EPERM: it exists but is not ours).
inline bool ProcessExists(pid_t pid) {
  return kill(pid, 0) == 0 || errno == EPERM;
}

inline int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One write per line, flushed, so lines of different threads do not mix.
inline void PrintLine(const std::string& line) {
  std::string text = line + "\n";
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

}  // namespace detail
}  // namespace VeloFramework
