// The communication-module base's construction, its load and unload
// responses to KORE, and the singleton that acknowledges a load to the Module
// Manager through shared memory.
#include "CommunicationModuleBase.h"

#include <semaphore.h>

#include <cstring>

#include "ModuleSupport.h"
#include "Sharedmem.h"

namespace VeloFramework {

using detail::kServiceCycleMicroseconds;
using detail::PrintLine;

CCommunicationModule* CCommunicationModule::m_pInstanceCom = nullptr;

CCommunicationModuleBase::CCommunicationModuleBase()
    : m_bIsModuleRunning(false),
      m_backlog(kBacklogCapacity),
      m_receiverThread(std::this_thread::get_id()),
      m_pMonitoringDataPointerMember(nullptr),
      m_ctlMsgQueue(),
      m_nCycleTimeMember(kServiceCycleMicroseconds) {
  m_ctlMsgQueue.InitMessageQueue();
}

CCommunicationModuleBase::~CCommunicationModuleBase() = default;

void CCommunicationModuleBase::Destructor() {
  m_bIsModuleRunning = false;
}

void CCommunicationModuleBase::UnloadModule() {
  StopService();
  Destructor();
  Response(EN_REQ_MODULE_MANAGER_UNLOAD, EN_RET_STATUS_SUCCESS);
}

void CCommunicationModuleBase::Response() {
  Response(EN_REQ_MODULE_MANAGER_LOAD, EN_RET_STATUS_SUCCESS);
}

void CCommunicationModuleBase::Response(uint32_t eEvent, EN_RET_STATUS resValue) {
  const uint32_t status = static_cast<uint32_t>(resValue);
  if (status > EN_RET_STATUS_SERIAL_CONNECTION_NOT_FOUND) {
    PrintLine("[CCommunicationModuleBase][ERROR] Invalid Response Value [" +
              std::to_string(status) + "] to respond");
    return;
  }
  MessageData data;
  std::memset(&data, 0, sizeof data);
  data.nMsgLength = 4;
  data.chMsgData[0] = static_cast<char>(status & 0xff);
  data.chMsgData[1] = static_cast<char>((status >> 8) & 0xff);
  data.chMsgData[2] = static_cast<char>((status >> 16) & 0xff);
  data.chMsgData[3] = static_cast<char>((status >> 24) & 0xff);
  SendMessageToKORE(eEvent, &data);
}

// ---------------------------------------------------------------------------
// CCommunicationModule

CCommunicationModule::CCommunicationModule()
    : m_nReqCtl(0), m_nUserID(0), m_nByteLen(0), m_nKorePid(0) {}

CCommunicationModule::~CCommunicationModule() = default;

void CCommunicationModule::MakeInstance() {
  GetInstance();
}

CCommunicationModule* CCommunicationModule::GetInstance() {
  static CCommunicationModule instance;
  m_pInstanceCom = &instance;
  return m_pInstanceCom;
}

void CCommunicationModule::Response() {
  SharedMem response(kResponseDataName, static_cast<int32_t>(sizeof(SharedMemory)));
  void* mapped = nullptr;
  if (response.GetShm(&mapped) != SHM_SUCCESS) {
    PrintLine("[COMMBASE] Get SharedMem NOK");
    return;
  }
  static_cast<SharedMemory*>(mapped)->ret = 1;
  response.UnMapShm(&mapped);
  PrintLine("[COMMBASE] Sent Response to Module Manager");

  sem_t* sem = sem_open(kResponseSemaphoreName, 0);
  if (sem == SEM_FAILED) {
    PrintLine("[COMMBASE] Sem open NOK");
    return;
  }
  if (sem_post(sem) != 0) {
    sem_close(sem);
    PrintLine("[COMMBASE] Sem post fail");
    return;
  }
  sem_close(sem);
  PrintLine("[COMMBASE] Released semaphore to Module Manager");
  PrintLine("[COMMBASE] Response to Module Manager DONE");
}

}  // namespace VeloFramework
