// The service-loop thread: one poll, one RunningService and one pause per
// cycle until a stop signal asks for the orderly stop.
#include <errno.h>
#include <unistd.h>

#include <cstdio>

#include "CommunicationModuleBase.h"
#include "ModuleSupport.h"

namespace VeloFramework {

using detail::g_stopSignal;
using detail::kServiceCycleMicroseconds;
using detail::PrintLine;

pthread_t g_sThreadHandler;

void* RunningServiceLoop(void* argument) {
  auto* module = static_cast<CCommunicationModuleBase*>(argument);
  // From now on this thread receives; the constructing thread only waits.
  module->m_receiverThread = std::this_thread::get_id();
  for (;;) {
    if (g_stopSignal.load() != 0) {
      module->StopOnSignal();
      return nullptr;
    }
    module->GetControlMessage();
    module->RunningService();
    usleep(static_cast<useconds_t>(module->m_nCycleTimeMember));
  }
}

void CCommunicationModuleBase::LoadModule() {
  m_bIsModuleRunning = true;
  Constructor(kServiceCycleMicroseconds);
}

void CCommunicationModuleBase::Constructor(int32_t cycle_time) {
  m_nCycleTimeMember = cycle_time;
  MonitoringData* mapped = nullptr;
  _MONITORING_STATUS_CODE status = GetMonitoringData(&mapped);
  if (status == _STATUS_MONITORING_SUCCESS) {
    m_pMonitoringDataPointerMember = mapped;
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
    return;
  }
  pthread_join(g_sThreadHandler, nullptr);
}

}  // namespace VeloFramework
