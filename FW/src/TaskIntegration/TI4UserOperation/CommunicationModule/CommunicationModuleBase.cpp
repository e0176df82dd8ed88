#include "CommunicationModuleBase.h"

#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Sharedmem.h"

namespace VeloFramework {

pthread_t g_sThreadHandler;
pid_t CCommunicationModuleBase::m_korePID = 0;
CCommunicationModule* CCommunicationModule::m_pInstanceCom = nullptr;

namespace {

constexpr int32_t kServiceCycleMicroseconds = 1000;

// Pause between two tries of a send that found the queue full.
constexpr useconds_t kSendRetryMicroseconds = 200;
// How long an image may wait for room in the queue.
constexpr auto kImageSendBudget = std::chrono::milliseconds(2);
// How often a waiting send checks that its destination still exists.
constexpr auto kPeerCheckPeriod = std::chrono::milliseconds(100);
// A waiting send says so once it has waited this long.
constexpr auto kSendWaitReport = std::chrono::seconds(1);
// Header of a record body: source (8), event (4), length (4).
constexpr ssize_t kRecordHeaderBytes = 16;
// Time the orderly stop has before the backstop ends the process.
constexpr unsigned kStopGraceSeconds = 1;

// The signal that asked for a stop; written by the handler, read by the loop.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

void WriteRaw(const char* text) {
  ssize_t ignored = write(STDOUT_FILENO, text, strlen(text));
  (void)ignored;
}

// SIGTERM / SIGINT: record the signal and arm the backstop; a second one
// ends the process at once. Only async-signal-safe calls.
void StopSignalHandler(int signo) {
  const int savedErrno = errno;  // the interrupted code may be about to read it
  int expected = 0;
  if (!g_stopSignal.compare_exchange_strong(expected, signo)) {
    WriteRaw("[COMMBASE][ERROR] Second stop signal: exiting at once\n");
    _exit(128 + expected);
  }
  alarm(kStopGraceSeconds);
  errno = savedErrno;
}

// The orderly stop took longer than its grace time.
void StopBackstopHandler(int) {
  WriteRaw("[COMMBASE][ERROR] Orderly stop did not end in time: exiting\n");
  _exit(128 + g_stopSignal.load());
}

// True while process `pid` exists (EPERM: it exists but is not ours).
bool ProcessExists(pid_t pid) {
  return kill(pid, 0) == 0 || errno == EPERM;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PrintLine(const std::string& line) {
  std::string text = line + "\n";
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

void PrintSetterError(const char* setter, const std::string& what) {
  PrintLine(std::string("[CCommunicationModuleBase][ERROR] ") + setter + ": " + what +
            ", request ignored");
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry point and service loop

int CheckModuleArguments(int argc, char* argv[], const char* szPrefix) {
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) return -1;
  // The program name is argv[0] from its last '/' on; a name started
  // through PATH has no '/', and is then used whole so the message still
  // names the program.
  const char* slash = std::strrchr(argv[0], '/');
  std::string programName = slash != nullptr ? slash : argv[0];
  const std::string prefix = szPrefix != nullptr ? szPrefix : "";

  if (argc < 2) {
    PrintLine(prefix + programName + " FAILED [Missing parameters]");
    return -1;
  }
  const std::string argument = argv[1];
  bool valid = CCommunicationModuleBase::IsNumber(argument);
  long pid = 0;
  if (valid) {
    errno = 0;
    pid = std::strtol(argument.c_str(), nullptr, 10);
    // A pid that does not fit pid_t would be cut to another number, and 0
    // is no process: every response would go astray.
    valid = errno == 0 && pid >= 1 && pid <= INT_MAX;
  }
  if (!valid) {
    PrintLine(prefix + programName + " FAILED [Parameter 1 is invalid]");
    return -1;
  }
  CCommunicationModuleBase::UpdateKorePID(static_cast<pid_t>(pid));
  return 0;
}

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

int CCommunicationModuleBase::InstallStopSignals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = StopSignalHandler;
  // No SA_RESTART: a wait in select or usleep ends early, the loop sees the
  // request sooner.
  if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0) {
    perror("[CCommunicationModuleBase][ERROR] Install stop signal handlers FAILED");
    return -1;
  }
  action.sa_handler = StopBackstopHandler;
  if (sigaction(SIGALRM, &action, nullptr) != 0) {
    perror("[CCommunicationModuleBase][ERROR] Install stop signal handlers FAILED");
    return -1;
  }
  return 0;
}

int CCommunicationModuleBase::StopSignal() {
  return g_stopSignal.load();
}

void CCommunicationModuleBase::StopOnSignal() {
  PrintLine("[COMMBASE] Signal " + std::to_string(g_stopSignal.load()) +
            " received: stopping the module");
  StopService();
  Destructor();
  PrintLine("[COMMBASE] Module stopped");
}

// ---------------------------------------------------------------------------
// CCommunicationModuleBase

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

void CCommunicationModuleBase::UpdateKorePID(pid_t pid) {
  m_korePID = pid;
}

pid_t CCommunicationModuleBase::GetKorePID() {
  return m_korePID;
}

bool CCommunicationModuleBase::IsNumber(const std::string& strSource) {
  if (strSource.empty()) return false;
  for (char c : strSource) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void CCommunicationModuleBase::GetControlMessage() {
  ControlMessage message;
  ssize_t received;
  if (m_nBacklogCount > 0) {
    PendingRecord& oldest = m_backlog[m_nBacklogHead];
    std::memcpy(&message, &oldest.message, sizeof message);
    received = oldest.received;
    m_nBacklogHead = (m_nBacklogHead + 1) % kBacklogCapacity;
    --m_nBacklogCount;
  } else {
    received = m_ctlMsgQueue.GetMessage(message);
    if (received <= 0) return;
  }
  // A sender may put a body shorter than the fixed one on the queue; what
  // was not received reads as zeros and must not be taken for data.
  const uint32_t length = message.msgData.nMsgLength;
  if (received < kRecordHeaderBytes || length > kMaxMessageDataLength ||
      received < kRecordHeaderBytes + static_cast<ssize_t>(length)) {
    PrintLine("[COMMBASE][ERROR] Dropped a record from node [" +
              std::to_string(message.nMsgTypeSrc) + "]: event " + std::to_string(message.nEvent) +
              ", length " + std::to_string(length) + ", " + std::to_string(received) +
              " body bytes received");
    return;
  }
  const int32_t source =
      static_cast<int32_t>(static_cast<uint64_t>(message.nMsgTypeSrc) & 0xffffffffu);
  if (source < 0) return;
  if (message.nEvent == EN_REQ_MODULE_MANAGER_UNLOAD) {
    UnloadModule();
  } else {
    HandleRequest(message);
  }
}

void CCommunicationModuleBase::HandleRequest(StructControlMessage&) {}

int CCommunicationModuleBase::SendMessage(int lMsgTypeDst, uint32_t nEvent,
                                          StructMessageData* message) {
  ControlMessage record;
  if (!m_ctlMsgQueue.PrepareMessage(lMsgTypeDst, nEvent, message, record)) return -1;
  return DeliverRecord(record, false);
}

int CCommunicationModuleBase::SendMessageToKORE(uint32_t nEvent, StructMessageData* message) {
  return SendMessage(m_korePID, nEvent, message);
}

bool CCommunicationModuleBase::SendImageToKORE(uint32_t nEvent, StructMessageData* message) {
  ControlMessage record;
  if (!m_ctlMsgQueue.PrepareMessage(m_korePID, nEvent, message, record)) return false;
  return DeliverRecord(record, true) > 0;
}

bool CCommunicationModuleBase::TakeIntoBacklog(size_t limit) {
  if (m_nBacklogCount >= limit || m_nBacklogCount >= kBacklogCapacity) return false;
  if (m_receiverThread.load() != std::this_thread::get_id()) return false;
  PendingRecord& slot = m_backlog[(m_nBacklogHead + m_nBacklogCount) % kBacklogCapacity];
  slot.received = m_ctlMsgQueue.GetMessage(slot.message);
  if (slot.received <= 0) return false;
  ++m_nBacklogCount;
  return true;
}

int CCommunicationModuleBase::DeliverRecord(const ControlMessage& record, bool image) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto nextPeerCheck = start + kPeerCheckPeriod;
  bool reported = false;
  for (;;) {
    const int rc = m_ctlMsgQueue.TrySendPrepared(record);
    if (rc != 0) return rc;  // sent, or failed for good (reported)

    // The queue is full. Records addressed to us may be what fills it:
    // taking one off makes room, so try again at once.
    if (TakeIntoBacklog(image ? kImageBacklogLimit : kBacklogCapacity)) continue;

    const auto now = Clock::now();
    if (image && now - start >= kImageSendBudget) {
      const uint64_t skipped = ++m_nSkippedImages;
      const int64_t nowNs = NowNs();
      int64_t last = m_lLastSkipReportNs.load();
      if (last == 0 || nowNs - last >= 1000000000) {
        m_lLastSkipReportNs = nowNs;
        PrintLine("[COMMBASE][WARNING] Control queue full: image event " +
                  std::to_string(record.nEvent) + " skipped (" + std::to_string(skipped) +
                  " skipped so far)");
      }
      return 0;
    }
    if (g_stopSignal.load() != 0) {
      PrintLine("[COMMBASE][ERROR] Event " + std::to_string(record.nEvent) + " to node [" +
                std::to_string(record.lMsgTypeDst) + "] not sent: the module is stopping");
      return -1;
    }
    if (!image && now >= nextPeerCheck) {
      nextPeerCheck = now + kPeerCheckPeriod;
      if (!ProcessExists(static_cast<pid_t>(record.lMsgTypeDst))) {
        PrintLine("[COMMBASE][ERROR] Event " + std::to_string(record.nEvent) + " to node [" +
                  std::to_string(record.lMsgTypeDst) +
                  "] not sent: the control queue is full and the node is gone");
        return -1;
      }
      if (!reported && now - start >= kSendWaitReport) {
        reported = true;
        PrintLine("[COMMBASE][WARNING] Event " + std::to_string(record.nEvent) + " to node [" +
                  std::to_string(record.lMsgTypeDst) + "] waits for room in the control queue");
      }
    }
    usleep(kSendRetryMicroseconds);
  }
}

// ---------------------------------------------------------------------------
// Monitoring record

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

// ---------------------------------------------------------------------------
// Output setters

void CCommunicationModuleBase::RaiseOutputCommand() {
  // The controller picks the request up by the flag: publish the value first.
  __atomic_store_n(&m_pMonitoringDataPointerMember->output_command_, 1u, __ATOMIC_RELEASE);
}

bool CCommunicationModuleBase::MonitoringMapped(const char* setter) {
  if (m_pMonitoringDataPointerMember != nullptr) return true;
  PrintSetterError(setter, "monitoring data not mapped");
  return false;
}

void CCommunicationModuleBase::SetControlBoxDigitalOutput(uint8_t index, bool output_value) {
  if (index > 15) {
    PrintSetterError("SetControlBoxDigitalOutput",
                     "output index " + std::to_string(index) + " out of range [0..15]");
    return;
  }
  if (!MonitoringMapped("SetControlBoxDigitalOutput")) return;
  uint16_t mask = static_cast<uint16_t>(1u << index);
  uint16_t value = m_pMonitoringDataPointerMember->control_box_digital_output_;
  value = output_value ? static_cast<uint16_t>(value | mask) : static_cast<uint16_t>(value & ~mask);
  m_pMonitoringDataPointerMember->control_box_digital_output_ = value;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetControlBoxDigitalOutput(uint16_t control_box_output_data) {
  if (!MonitoringMapped("SetControlBoxDigitalOutput")) return;
  m_pMonitoringDataPointerMember->control_box_digital_output_ = control_box_output_data;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetToolDigitalOutput(uint8_t index, bool output_value) {
  if (index > 7) {
    PrintSetterError("SetToolDigitalOutput",
                     "output index " + std::to_string(index) + " out of range [0..7]");
    return;
  }
  if (!MonitoringMapped("SetToolDigitalOutput")) return;
  uint8_t mask = static_cast<uint8_t>(1u << index);
  uint8_t value = m_pMonitoringDataPointerMember->tool_digital_output_;
  value = output_value ? static_cast<uint8_t>(value | mask) : static_cast<uint8_t>(value & ~mask);
  m_pMonitoringDataPointerMember->tool_digital_output_ = value;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetToolDigitalOutput(uint8_t tool_output_value) {
  if (!MonitoringMapped("SetToolDigitalOutput")) return;
  m_pMonitoringDataPointerMember->tool_digital_output_ = tool_output_value;
  RaiseOutputCommand();
}

namespace {
bool AnalogIndexValid(const char* setter, uint8_t index) {
  if (index <= 1) return true;
  PrintSetterError(setter, "analog channel " + std::to_string(index) + " out of range [0..1]");
  return false;
}
}  // namespace

void CCommunicationModuleBase::SetAnalogInputType(uint8_t index, uint8_t type) {
  if (!AnalogIndexValid("SetAnalogInputType", index) || !MonitoringMapped("SetAnalogInputType"))
    return;
  m_pMonitoringDataPointerMember->control_box_analog_input_data_[index].type_info_ = type;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetAnalogOutputType(uint8_t index, uint8_t type) {
  if (!AnalogIndexValid("SetAnalogOutputType", index) || !MonitoringMapped("SetAnalogOutputType"))
    return;
  m_pMonitoringDataPointerMember->control_box_analog_output_data_[index].type_info_ = type;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetAnalogOutputValue(uint8_t index, uint16_t value) {
  if (!AnalogIndexValid("SetAnalogOutputValue", index) || !MonitoringMapped("SetAnalogOutputValue"))
    return;
  m_pMonitoringDataPointerMember->control_box_analog_output_data_[index].analog_data_ =
      static_cast<float>(value);
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetAanalogOutput(uint8_t index, uint8_t type, float value) {
  if (!AnalogIndexValid("SetAanalogOutput", index) || !MonitoringMapped("SetAanalogOutput")) return;
  AnalogData& channel = m_pMonitoringDataPointerMember->control_box_analog_output_data_[index];
  channel.type_info_ = type;
  channel.analog_data_ = value;
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetAanalogOutput(uint8_t index, AnalogData data) {
  if (!AnalogIndexValid("SetAanalogOutput", index) || !MonitoringMapped("SetAanalogOutput")) return;
  std::memcpy(&m_pMonitoringDataPointerMember->control_box_analog_output_data_[index], &data,
              sizeof data);
  RaiseOutputCommand();
}

void CCommunicationModuleBase::SetGeneralPurpose(uint8_t index, uint16_t data) {
  if (index < 128) {
    PrintSetterError("SetGeneralPurpose",
                     "address " + std::to_string(index) + " out of range [128..255]");
    return;
  }
  if (!MonitoringMapped("SetGeneralPurpose")) return;
  printf(" === Writing GP-16 ==== Address = %d;;;; Value = %d", index, data);
  fflush(stdout);
  m_pMonitoringDataPointerMember->general_purpose_register_[index - 128] = data;
  RaiseOutputCommand();
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
