// The service-loop thread: one poll, one RunningService and one pause per
// cycle until a stop signal asks for the orderly stop.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "CommunicationModuleBase.h"
#include "ModuleSupport.h"
#include "Sharedmem.h"

namespace VeloFramework {

using detail::kServiceCycleMicroseconds;
using detail::PrintLine;

pthread_t g_sThreadHandler;

namespace {
// How often the loop checks that KORE's process still exists.
constexpr auto kKoreCheckPeriod = std::chrono::milliseconds(100);
}  // namespace

void* RunningServiceLoop(void* argument) {
  auto* module = static_cast<CCommunicationModuleBase*>(argument);
  // From now on this thread receives; the constructing thread only waits.
  module->m_receiverThread = std::this_thread::get_id();
  module->m_bLoopStarted = true;
  if (module->m_bLoadResponseHeld) {
    module->m_bLoadResponseHeld = false;
    module->Response(EN_REQ_MODULE_MANAGER_LOAD, EN_RET_STATUS_SUCCESS);
  }
  auto nextKoreCheck = std::chrono::steady_clock::now();
  for (;;) {
    if (detail::StopRequested()) {
      module->StopOnSignal();
      return nullptr;
    }
    // KORE's pid is checked every kKoreCheckPeriod: once it has gone nobody
    // reads this module's records, so the module stops as on SIGTERM. The
    // queue is watched as often: removed, or there again.
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextKoreCheck) {
      nextKoreCheck = now + kKoreCheckPeriod;
      if (!detail::ProcessExists(CCommunicationModuleBase::GetKorePID())) {
        detail::StopForGoneKore();
        continue;
      }
      module->WatchQueue();
    }
    module->GetControlMessage();
    module->RunningService();
    usleep(static_cast<useconds_t>(module->m_nCycleTimeMember));
  }
}

int CCommunicationModuleBase::LoadModule() {
  if (m_bStartFailed) {
    PrintLine(
        "[CCommunicationModuleBase][ERROR] Start FAILED: the load was answered with a failure");
    return 1;
  }
  m_bIsModuleRunning = true;
  return Constructor(kServiceCycleMicroseconds);
}

int CCommunicationModuleBase::Constructor(int32_t cycle_time) {
  m_nCycleTimeMember = cycle_time;
  MonitoringData* mapped = nullptr;
  _MONITORING_STATUS_CODE status = GetMonitoringData(&mapped);
  if (status == _STATUS_MONITORING_SUCCESS) {
    m_pMonitoringDataPointerMember = mapped;
    // Kept to check the record's size before each read (see
    // UpdateMonitoringData).
    if (m_nMonitoringFd < 0)
      m_nMonitoringFd = shm_open(kMonitoringDataName, O_RDONLY | O_CLOEXEC, 0);
  } else {
    // The loop still runs (requests are still served); reads leave their
    // target unchanged and output requests are refused while unmapped.
    m_pMonitoringDataPointerMember = nullptr;
    PrintLine("[CCommunicationModuleBase][ERROR] Monitoring data not mapped [" +
              std::to_string(status) + "]");
  }
  int rc = pthread_create(&g_sThreadHandler, nullptr, RunningServiceLoop, this);
  if (rc != 0) {
    errno = rc;
    perror("[CCommunicationModuleBase][ERROR] Start service loop FAILED");
    m_bIsModuleRunning = false;
    m_bLoadResponseHeld = false;
    Response(EN_REQ_MODULE_MANAGER_LOAD, EN_RET_STATUS_FAILED);
    return 1;
  }
  pthread_join(g_sThreadHandler, nullptr);
  return 0;
}

}  // namespace VeloFramework
