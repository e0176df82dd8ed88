// The monitoring record "/mm-shared-mem": creating, mapping, unmapping and
// removing it, its semaphore, and the copy a module reads each cycle.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "CommunicationModuleBase.h"
#include "Sharedmem.h"

namespace VeloFramework {

namespace {

// Maps the whole record from `fd`; MAP_FAILED on failure.
void* MapRecord(int fd) {
  return mmap(nullptr, sizeof(MonitoringData), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
}

}  // namespace

_MONITORING_STATUS_CODE CCommunicationModuleBase::AllocationMonitoringData(MonitoringData** p) {
  int fd = shm_open(kMonitoringDataName, O_CREAT | O_RDWR | O_CLOEXEC, 0660);
  if (fd < 0) return _STATUS_MONITORING_OPEN_FAIL;
  // Sizing an existing record of the right size keeps its content.
  if (ftruncate(fd, sizeof(MonitoringData)) != 0) {
    close(fd);
    ReleaseMonitoringData();
    return _STATUS_MONITORING_FTRUNCATE_FAIL;
  }
  void* addr = MapRecord(fd);
  close(fd);  // the mapping stays valid
  if (addr == MAP_FAILED) {
    ReleaseMonitoringData();
    return _STATUS_MONITORING_MMAP_FAIL;
  }
  *p = static_cast<MonitoringData*>(addr);
  return _STATUS_MONITORING_SUCCESS;
}

_MONITORING_STATUS_CODE CCommunicationModuleBase::GetMonitoringData(MonitoringData** p) {
  int fd = shm_open(kMonitoringDataName, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return _STATUS_MONITORING_OPEN_FAIL;
  // A record shorter than ours would fault on the first access past its end.
  struct stat st;
  void* addr = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(MonitoringData))) {
    addr = MapRecord(fd);
  }
  close(fd);
  if (addr == MAP_FAILED) return _STATUS_MONITORING_MMAP_FAIL;
  *p = static_cast<MonitoringData*>(addr);
  return _STATUS_MONITORING_SUCCESS;
}

_MONITORING_STATUS_CODE CCommunicationModuleBase::UnMappingMonitoringData(MonitoringData** p) {
  if (p == nullptr || *p == nullptr) return _STATUS_MONITORING_SHM_FAIL;
  if (munmap(*p, sizeof(MonitoringData)) != 0) return _STATUS_MONITORING_SHM_FAIL;
  return _STATUS_MONITORING_SUCCESS;
}

_MONITORING_STATUS_CODE CCommunicationModuleBase::ReleaseMonitoringData() {
  if (shm_unlink(kMonitoringDataName) != 0) return _STATUS_MONITORING_SHM_FAIL;
  if (shm_unlink(kResponseDataName) != 0) return _STATUS_MONITORING_SHM_FAIL;
  return _STATUS_MONITORING_SUCCESS;
}

_MONITORING_STATUS_CODE CCommunicationModuleBase::GetMonitoringDataSemaphore() {
  sem_t* sem = sem_open(kMonitoringSemaphoreName, O_CREAT, 0660, 0);
  if (sem == SEM_FAILED) return _STATUS_MONITORING_SEMAPORE_OPEN_FAIL;
  // The handle is not used by anything; the semaphore itself stays.
  sem_close(sem);
  return _STATUS_MONITORING_SUCCESS;
}

void CCommunicationModuleBase::UpdateMonitoringData(MonitoringData& monitoring_data) {
  if (m_pMonitoringDataPointerMember == nullptr) return;
  std::memcpy(&monitoring_data, m_pMonitoringDataPointerMember, sizeof(MonitoringData));
}

}  // namespace VeloFramework
