// Helpers shared by the files of the user TCP service.
#pragma once

#include <errno.h>
#include <semaphore.h>

#include <cstdio>
#include <string>

namespace VeloFramework {
namespace usertcp {

// Retries of the ICMP echo of one reachability check.
constexpr int kPingAttempts = 5;

// A name of this module's from its printf format and a pid.
inline std::string PidName(const char* szFormat, int nPid) {
  char name[64];
  std::snprintf(name, sizeof name, szFormat, nPid);
  return name;
}

// Holds a process-private semaphore for the copy of one record.
class SemaphoreGuard {
 public:
  explicit SemaphoreGuard(sem_t* pSem) : m_pSem(pSem) {
    if (m_pSem == nullptr) return;
    while (sem_wait(m_pSem) != 0 && errno == EINTR) {
    }
  }
  ~SemaphoreGuard() {
    if (m_pSem != nullptr) sem_post(m_pSem);
  }
  SemaphoreGuard(const SemaphoreGuard&) = delete;
  SemaphoreGuard& operator=(const SemaphoreGuard&) = delete;

 private:
  sem_t* m_pSem;
};

}  // namespace usertcp
}  // namespace VeloFramework
