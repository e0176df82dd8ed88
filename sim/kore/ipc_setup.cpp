// kore-sim's objects: the control queue and its key file, the monitoring and response records with
// their semaphores, the named objects extensions ask for, and their removal at shutdown.
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "CommunicationModuleBase.h"
#include "KoreSim.h"
#include "Sharedmem.h"

using namespace VeloFramework;
using std::chrono::milliseconds;

namespace kore {

bool KoreSim::Setup() {
  const char* keyFile = kControlMessageQueueKeyFile;
  struct stat st;
  if (stat(keyFile, &st) != 0) {
    int fd = open(keyFile, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
      Error(std::string("cannot create the queue key file ") + keyFile + ": " + strerror(errno));
      return false;
    }
    close(fd);
    m_createdKeyFile = true;
  }
  key_t key = ftok(keyFile, kControlMessageQueueProjectId);
  if (key == -1) {
    Error(std::string("cannot make the queue key: ") + strerror(errno));
    return false;
  }
  m_queueId = msgget(key, IPC_CREAT | 0644);
  if (m_queueId == -1) {
    Error(std::string("cannot create the control queue: ") + strerror(errno));
    return false;
  }
  // Records left for this pid by an earlier run would be taken for events.
  ControlMessage stale;
  while (msgrcv(m_queueId, &stale, kControlMessageBodySize, getpid(), IPC_NOWAIT | MSG_NOERROR) >=
         0) {
  }

  struct stat shm;
  m_createdMonitoring = stat("/dev/shm/mm-shared-mem", &shm) != 0;
  _MONITORING_STATUS_CODE rc = CCommunicationModuleBase::AllocationMonitoringData(&m_record);
  if (rc != _STATUS_MONITORING_SUCCESS) {
    Error("cannot create the monitoring record \"/mm-shared-mem\" (status " + std::to_string(rc) +
          ")");
    m_record = nullptr;
    return false;
  }
  if (CCommunicationModuleBase::GetMonitoringDataSemaphore() != _STATUS_MONITORING_SUCCESS) {
    Error("cannot create the semaphore \"/mm-sem-spool\"");
    return false;
  }
  SharedMem response(kResponseDataName, static_cast<int32_t>(sizeof(SharedMemory)));
  if (response.CreateShm(&m_response) != SHM_SUCCESS) {
    Error("cannot create the response record \"/mm-shared-mem_response\"");
    m_response = nullptr;
    return false;
  }
  std::memset(m_response, 0, sizeof(SharedMemory));
  m_responseSem = sem_open(kResponseSemaphoreName, O_CREAT, 0660, 0);
  if (m_responseSem == SEM_FAILED) {
    m_responseSem = nullptr;
    Error("cannot create the semaphore \"/mm-sem-spool_response\"");
    return false;
  }
  m_robot = std::make_unique<Robot>(m_record);
  m_robot->Reset();
  m_robot->SetAnimating(m_opt.animate);

  Log("ready",
      "KORE stand-in ready, pid " + std::to_string(getpid()) + ": control queue " +
          std::to_string(m_queueId) + ", monitoring record /mm-shared-mem (" +
          std::to_string(sizeof(MonitoringData)) + " bytes), response record " +
          "/mm-shared-mem_response",
      JsonObject()
          .Add("pid", static_cast<int64_t>(getpid()))
          .Add("queue", static_cast<int64_t>(m_queueId))
          .Add("record_size", static_cast<uint64_t>(sizeof(MonitoringData))));
  return true;
}

void KoreSim::Shutdown() {
  if (m_shutDown) return;
  m_shutDown = true;
  StopModule();
  for (auto& ext : m_extensions) ext->OnShutdown(*this);
  for (auto& m : m_mappings) {
    munmap(m.addr, m.size);
    if (m.owned) shm_unlink(m.name.c_str());
  }
  m_mappings.clear();
  for (auto& s : m_semaphores) {
    sem_close(s.sem);
    if (s.owned) sem_unlink(s.name.c_str());
  }
  m_semaphores.clear();

  std::vector<std::string> removed;
  if (m_queueId != -1 && msgctl(m_queueId, IPC_RMID, nullptr) == 0) {
    removed.push_back("control queue");
  }
  m_queueId = -1;
  if (m_createdKeyFile && unlink(kControlMessageQueueKeyFile) == 0) removed.push_back("key file");
  if (m_record != nullptr) {
    CCommunicationModuleBase::UnMappingMonitoringData(&m_record);
    m_record = nullptr;
  }
  if (m_response != nullptr) {
    munmap(m_response, sizeof(SharedMemory));
    m_response = nullptr;
  }
  if (m_responseSem != nullptr) {
    sem_close(m_responseSem);
    m_responseSem = nullptr;
  }
  // kore-sim owns the record and the response record: both names go.
  if (shm_unlink(kMonitoringDataName) == 0) removed.push_back("/mm-shared-mem");
  if (shm_unlink(kResponseDataName) == 0) removed.push_back("/mm-shared-mem_response");
  if (sem_unlink(kMonitoringSemaphoreName) == 0) removed.push_back("/mm-sem-spool");
  if (sem_unlink(kResponseSemaphoreName) == 0) removed.push_back("/mm-sem-spool_response");
  std::string list;
  JsonObject json;
  std::string arr = "[";
  for (size_t i = 0; i < removed.size(); ++i) {
    list += (i ? ", " : "") + removed[i];
    arr += (i ? "," : "") + JsonObject::Quote(removed[i]);
  }
  arr += "]";
  Log("shutdown", "shut down; removed " + (list.empty() ? std::string("nothing") : list),
      json.AddRaw("removed", arr));
}

bool KoreSim::RemoveQueue() {
  if (m_queueId == -1 || msgctl(m_queueId, IPC_RMID, nullptr) != 0) return false;
  m_queueId = -1;
  return true;
}

void* KoreSim::OpenSharedMemory(const std::string& name, size_t size) {
  SharedMem shm(name, static_cast<int32_t>(size));
  void* addr = nullptr;
  if (size == 0 || size > INT32_MAX || shm.GetShm(&addr) != SHM_SUCCESS) return nullptr;
  m_mappings.push_back({name, addr, size, false});
  return addr;
}

void* KoreSim::CreateSharedMemory(const std::string& name, size_t size) {
  SharedMem shm(name, static_cast<int32_t>(size));
  void* addr = nullptr;
  if (size == 0 || size > INT32_MAX || shm.CreateShm(&addr) != SHM_SUCCESS) return nullptr;
  m_mappings.push_back({name, addr, size, true});
  return addr;
}

sem_t* KoreSim::OpenSemaphore(const std::string& name, bool create, unsigned initial) {
  sem_t* sem = create ? sem_open(name.c_str(), O_CREAT, 0660, initial) : sem_open(name.c_str(), 0);
  if (sem == SEM_FAILED) return nullptr;
  m_semaphores.push_back({name, sem, create});
  return sem;
}

}  // namespace kore
