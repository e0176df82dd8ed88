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
      m_timings(timings) {
  m_pPing = new CIcmpPing(m_timings.echoTimeout);
  if (!m_pPing->Available())
    DebugLog("[WARNING] ICMP sockets unavailable: reachability not checked");
  m_ctlMsgQueue.InitMessageQueue();
  const std::string semBase = PidName(kUserTcpSemaphoreFormat, getpid());
  AllocationMonitoringData();
  if (SemInit(semBase.c_str())) Response();
}

CUserTcpServer::~CUserTcpServer() {
  DeleteSharedMemory(m_pTxShm, m_pTxArea);
  m_pTxShm = nullptr;
  m_pTxArea = nullptr;
  DeleteSharedMemory(m_pRxShm, m_pRxArea);
  m_pRxShm = nullptr;
  m_pRxArea = nullptr;
  delete m_pPing;
  m_pPing = nullptr;
  if (m_semTx != nullptr) sem_close(m_semTx);
  if (m_semRx != nullptr) sem_close(m_semRx);
  m_semTx = m_semRx = nullptr;
  CleanUp();
  Stop();
}

}  // namespace VeloFramework
