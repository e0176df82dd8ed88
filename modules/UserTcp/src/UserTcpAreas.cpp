// The Tx and Rx shared areas and their private semaphores.
#include <fcntl.h>
#include <unistd.h>

#include "UserTcp.h"
#include "UserTcpSupport.h"

namespace VeloFramework {

using namespace usertcp;

int CUserTcpServer::AllocationMonitoringData() {
  const std::string txName = PidName(kUserTcpTxAreaFormat, getpid());
  m_pTxShm = new SharedMem("/" + txName, kUserTcpAreaSize);
  // A name with this process's pid can only be left by a crashed instance
  // that had the same pid: it is stale, and made afresh.
  m_pTxShm->FreeShm();
  if (m_pTxShm->CreateShm(&m_pTxArea) == SHM_SUCCESS) {
    DebugLog("[UserTcp: DEBUG] Create Tx SharedMem at: %s ", txName.c_str());
  } else {
    delete m_pTxShm;
    m_pTxShm = nullptr;
    m_pTxArea = nullptr;
    DebugLog("Create SharedMem fail!");
  }
  const std::string rxName = PidName(kUserTcpRxAreaFormat, getpid());
  m_pRxShm = new SharedMem("/" + rxName, kUserTcpAreaSize);
  m_pRxShm->FreeShm();
  if (m_pRxShm->CreateShm(&m_pRxArea) == SHM_SUCCESS) {
    DebugLog("Create Rx SharedMem at: %s", rxName.c_str());
    return 0;
  }
  delete m_pRxShm;
  m_pRxShm = nullptr;
  m_pRxArea = nullptr;
  DebugLog("Create SharedMem fail!");
  return -1;
}

bool CUserTcpServer::SemInit(const char* szBase) {
  const std::string tx = std::string("/") + szBase + "_Tx";
  const std::string rx = std::string("/") + szBase + "_Rx";
  // Names with this process's pid are stale (see AllocationMonitoringData).
  sem_unlink(tx.c_str());
  sem_unlink(rx.c_str());
  m_semTx = sem_open(tx.c_str(), O_CREAT | O_EXCL, 0644, 1);
  if (m_semTx == SEM_FAILED) {
    m_semTx = nullptr;
    DebugLog("[ERROR] Failed to open semaphore!");
    return false;
  }
  sem_unlink(tx.c_str());
  m_semRx = sem_open(rx.c_str(), O_CREAT | O_EXCL, 0644, 1);
  if (m_semRx == SEM_FAILED) {
    m_semRx = nullptr;
    DebugLog("[ERROR] Failed to open semaphore!");
    return false;
  }
  sem_unlink(rx.c_str());
  return true;
}

void CUserTcpServer::DeleteSharedMemory(SharedMem*& pShm, void*& pArea) {
  if (pShm != nullptr && pArea != nullptr) {
    void* p = pArea;
    if (!pShm->UnMapShm(&p)) DebugLog(" ERROR: Failed to unmap tcp shared memory!");
    if (!pShm->FreeShm()) DebugLog(" ERROR: Failed to free tcp shared memory!");
  }
  delete pShm;
  pShm = nullptr;
  pArea = nullptr;
}

}  // namespace VeloFramework
