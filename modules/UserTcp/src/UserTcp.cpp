// The user TCP service's construction and teardown.
#include "UserTcp.h"

#include <unistd.h>

#include "UserTcpSupport.h"

namespace VeloFramework {

using namespace usertcp;

std::atomic<bool> g_bForceStop{false};
std::atomic<bool> g_bFlagReconnecting{false};

CUserTcpServer::CUserTcpServer(const UserTcpTimings& timings)
    : m_assembler([this](const std::string& line) { DebugLog("%s", line.c_str()); }),
      m_txCapture(new TcpChunkRecord()),
      m_timings(timings) {
  m_bCaptureRequestData = true;
  m_pPing = new CIcmpPing(m_timings.echoTimeout);
  if (!m_pPing->Available())
    DebugLog("[WARNING] ICMP sockets unavailable: reachability not checked");
  m_ctlMsgQueue.InitMessageQueue();
  const std::string semBase = PidName(kUserTcpSemaphoreFormat, getpid());
  // Both areas and both semaphores, or the load is answered with a failure
  // status and LoadModule returns 1 (the process exits with status 1).
  const bool bAreas = AllocationMonitoringData() == 0 && m_pTxArea != nullptr;
  const bool bSemaphores = SemInit(semBase.c_str());
  if (bAreas && bSemaphores) {
    Response();
  } else {
    DebugLog("[ERROR] Start FAILED: %s not made", bAreas ? "semaphores" : "shared areas");
    // Nothing is left behind for a module that does not run.
    DeleteSharedMemory(m_pTxShm, m_pTxArea);
    DeleteSharedMemory(m_pRxShm, m_pRxArea);
    Response(EN_REQ_MODULE_MANAGER_LOAD,
             bAreas ? EN_RET_STATUS_LOAD_FALSE_SEM : EN_RET_STATUS_LOAD_FALSE_SHM);
  }
}

CUserTcpServer::~CUserTcpServer() {
  DeleteSharedMemory(m_pTxShm, m_pTxArea);
  DeleteSharedMemory(m_pRxShm, m_pRxArea);
  delete m_pPing;
  m_pPing = nullptr;
  if (m_semTx != nullptr) sem_close(m_semTx);
  if (m_semRx != nullptr) sem_close(m_semRx);
  m_semTx = m_semRx = nullptr;
  CleanUp();
  Stop();
}

}  // namespace VeloFramework
