// The abstract base of every communication module's service class, the
// module programs' entry-point helper, the service-loop thread body and the
// singleton that acknowledges a load through shared memory.
//
// A module program's main:
//
//   int main(int argc, char* argv[]) {
//     if (VeloFramework::CheckModuleArguments(argc, argv, "[MyModule][ERROR] Run ") != 0)
//       return -1;
//     auto* module = new CMyModule();  // sets itself up, answers the load
//     return module->LoadModule();     // runs the service loop until stopped
//   }
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "MessageQueue.h"
#include "MonitoringData.h"

namespace VeloFramework {

// The response record in "/mm-shared-mem_response" (257 bytes, no gaps).
#pragma pack(push, 1)
struct SharedMemory {
  int8_t ret;         // 1 = a response is present
  char message[256];  // response text (not written by the modules)
};
#pragma pack(pop)
static_assert(sizeof(SharedMemory) == 257, "SharedMemory is 257 bytes");
static_assert(offsetof(SharedMemory, message) == 1, "message at 1");

// The service-loop thread of the process.
extern pthread_t g_sThreadHandler;

// Thread body of the service loop; `argument` is the CCommunicationModuleBase.
// Each cycle: poll one message, RunningService, pause the cycle time. Ends
// only when a stop signal was received (InstallStopSignals): it then runs
// the module's orderly stop and returns, so LoadModule returns to main.
void* RunningServiceLoop(void* argument);

// Entry-point checks shared by the module programs. Takes the program name
// from argv[0] (from its last '/' on), and prints `szPrefix`, the name and
// " FAILED [Missing parameters]" when argv[1] is missing, or
// " FAILED [Parameter 1 is invalid]" when argv[1] is not a decimal number
// (IsNumber), is not a possible pid (0, or too large for pid_t) or is not
// the pid of a running process. On success
// stores the pid through UpdateKorePID and returns 0; otherwise returns -1
// (main then returns -1).
int CheckModuleArguments(int argc, char* argv[], const char* szPrefix);

class CCommunicationModuleBase {
 public:
  // Initialises the module's node on the control queue (printing what
  // CMessageQueue prints); nothing is mapped and the loop is not running.
  CCommunicationModuleBase();
  // Destroys the queue node; never unmaps the monitoring record.
  virtual ~CCommunicationModuleBase();

  CCommunicationModuleBase(const CCommunicationModuleBase&) = delete;
  CCommunicationModuleBase& operator=(const CCommunicationModuleBase&) = delete;

  // Marks the module running, maps the monitoring record and runs the
  // service loop on its own thread, joining it. Returns 0 after the orderly
  // stop (stop signal, KORE gone). Returns 1 at once, without running the
  // loop, when the load was answered with a failure status, or when the loop
  // thread cannot be started (the load is then answered with status 1,
  // EN_RET_STATUS_FAILED); main returns that value.
  int LoadModule();
  // StopService, clear the running flag, answer event 2 with status 0. The
  // loop keeps running.
  void UnloadModule();
  void InstallModule() {}
  void DeleteModule() {}

  // Load acknowledgement: event 1 with status 0 to KORE.
  void Response();
  // Sends event `eEvent` with the 4-byte status `resValue` to KORE. A status
  // above 61 prints "[CCommunicationModuleBase][ERROR] Invalid Response
  // Value [n] to respond" and sends nothing. A successful load response
  // (event 1, status 0) given before the service loop runs is held and sent
  // by the loop as its first act, so KORE is told "loaded" only by a module
  // whose loop runs; a failed load response goes out at once and makes
  // LoadModule return 1.
  void Response(uint32_t eEvent, EN_RET_STATUS resValue);

  bool IsModuleRunning() { return m_bIsModuleRunning; }
  int32_t GetCycleTime() { return m_nCycleTimeMember; }

  static void UpdateKorePID(pid_t pid);
  static pid_t GetKorePID();
  // True when the text is not empty and made of the digits '0'..'9' only.
  static bool IsNumber(const std::string& strSource);

  // One poll: takes the oldest record addressed to this process (from the
  // backlog first, see below, then from the queue) and dispatches it (unload,
  // or HandleRequest). At most one record per call. Dropped with a line
  // "[COMMBASE][ERROR] Dropped a record ..." and never dispatched: a record
  // whose received body is shorter than its 16-byte header plus nMsgLength,
  // or whose nMsgLength exceeds 4096. Records whose source reads negative
  // are dropped silently.
  void GetControlMessage();

  // Stop on SIGTERM and SIGINT. Installs handlers (async-signal-safe: they
  // only record the signal and arm a 1 s backstop alarm) after which the
  // service loop, within one cycle, runs StopService, clears the running
  // flag and returns, so LoadModule returns and main ends the process. No
  // unload response (event 2) is sent: KORE did not ask for one. Sends that
  // wait on a full queue give up at once. Should the orderly stop not end
  // the process within 1 s, or a second signal arrive, the process exits at
  // once with status 128 + signal. Returns 0, or -1 when a handler cannot be
  // installed (perror). Call it from main before constructing the module.
  static int InstallStopSignals();
  // The signal that asked for a stop, 0 while none did.
  static int StopSignal();
  // True once the module is stopping: a stop signal arrived, or KORE's
  // process has gone. The service loop checks KORE's pid every 100 ms; when
  // it has gone the loop logs "[COMMBASE] KORE [pid] has gone: stopping the
  // module" and runs the same orderly stop as for SIGTERM (same 1 s
  // backstop), so the process ends within about a second, exit status 0.
  static bool StopRequested();

  // Records waiting in the backlog, and image records skipped because the
  // queue stayed full (both for tests and diagnostics).
  size_t BacklogSize() const { return m_nBacklogCount; }
  uint64_t SkippedImageCount() const { return m_nSkippedImages.load(); }

  // Backlog bounds, in records: a send that waits takes records addressed
  // to this module off the queue while the backlog is below these counts.
  static constexpr size_t kBacklogCapacity = 64;
  static constexpr size_t kImageBacklogLimit = 16;

  // Monitoring record functions; results are _MONITORING_STATUS_CODE values
  // and nothing is printed.
  //
  // Creates (or opens) "/mm-shared-mem", sizes it and maps it into *p; for
  // the owner of the record. 1: cannot open/create. 2: cannot size (names
  // removed). 3: cannot map (names removed). *p is set only on success.
  static _MONITORING_STATUS_CODE AllocationMonitoringData(MonitoringData** p);
  // Maps the existing record into *p; never creates it. 1: it does not
  // exist. 3: it cannot be mapped or is smaller than the record. *p is set
  // only on success.
  static _MONITORING_STATUS_CODE GetMonitoringData(MonitoringData** p);
  // Unmaps *p; 4 when that fails (also for a null *p).
  static _MONITORING_STATUS_CODE UnMappingMonitoringData(MonitoringData** p);
  // Removes "/mm-shared-mem", then "/mm-shared-mem_response"; 4 as soon as
  // one removal fails (the second is not tried when the first fails).
  static _MONITORING_STATUS_CODE ReleaseMonitoringData();
  // Creates "/mm-sem-spool" (initial value 0) when missing; 5 on failure.
  static _MONITORING_STATUS_CODE GetMonitoringDataSemaphore();

  virtual void StartService() = 0;    // called only by the derived class itself
  virtual void RunningService() = 0;  // once per cycle on the loop thread; must return
  virtual void StopService() = 0;     // from the unload sequence

 protected:
  // Called for every received message whose event is not an unload, on the
  // loop thread. The base version does nothing.
  virtual void HandleRequest(StructControlMessage& cControlMessage);

  // Requests whose data lies outside their record, in an area the sender
  // rewrites as soon as the request has left the queue. A module that sets
  // m_bCaptureRequestData gets, for every record it takes (for dispatch or
  // into the backlog), CaptureRequestData called while that record still
  // waits on the queue, and AttachRequestData called with the record once
  // taken (on the receiving thread, before the next record is taken). The
  // data so captured is the record's own, however long it then waits in the
  // backlog. Both base versions do nothing.
  virtual void CaptureRequestData() {}
  virtual void AttachRequestData(ControlMessage& record, ssize_t& received);

  // Send a response or event to any node / to KORE. Never waits on a full
  // queue inside msgsnd: the send is retried every 200 us. While it waits on
  // the receiving thread (the service loop; before LoadModule, the
  // constructing thread) it takes records addressed to this module off the
  // queue into the backlog (at most kBacklogCapacity; handled later one per
  // cycle in arrival order), which makes room in the queue. The record is
  // not dropped while the destination process exists: the send gives up
  // (-1, with a line) only when the destination has gone, the queue has
  // gone, or a stop signal arrived. Other threads of the module may send
  // too; they wait the same way without taking records. Returns 4112 or -1;
  // the checks and lines of CMessageQueue::SendMessage apply.
  int SendMessage(int lMsgTypeDst, uint32_t nEvent, StructMessageData* message);
  int SendMessageToKORE(uint32_t nEvent, StructMessageData* message);

  // Sends a periodic image (a record the next cycle replaces with a fresher
  // one) to KORE. Like SendMessageToKORE, but it waits at most 2 ms and takes
  // records into the backlog only while it holds fewer than
  // kImageBacklogLimit; an image that cannot go out within that bound is
  // skipped and counted (SkippedImageCount; a line at most once a second),
  // never queued up. Returns true when sent.
  bool SendImageToKORE(uint32_t nEvent, StructMessageData* message);

  // Copies the whole mapped record into `monitoring_data` (no lock). When
  // the record is not mapped, `monitoring_data` is left unchanged. The
  // record LoadModule mapped is read through its descriptor after a size
  // check: while it is smaller than MonitoringData (cut short by its owner)
  // `monitoring_data` is left unchanged, one line says so, and another once
  // it is whole again; output requests are refused meanwhile.
  void UpdateMonitoringData(MonitoringData& monitoring_data);

  // Output requests: each writes the value into the mapped record, then sets
  // output_command_ to 1 (the value is visible before the flag). An index
  // outside the field (digital: 0..15 control box, 0..7 tool; analog: 0..1;
  // general purpose: 128..255), an unmapped record or one cut short prints
  // an error line and writes nothing.
  void SetControlBoxDigitalOutput(uint8_t index, bool output_value);
  void SetControlBoxDigitalOutput(uint16_t control_box_output_data);
  void SetToolDigitalOutput(uint8_t index, bool output_value);
  void SetToolDigitalOutput(uint8_t tool_output_value);
  void SetAnalogInputType(uint8_t index, uint8_t type);
  void SetAnalogOutputType(uint8_t index, uint8_t type);
  void SetAnalogOutputValue(uint8_t index, uint16_t value);
  void SetAanalogOutput(uint8_t index, uint8_t type, float value);
  void SetAanalogOutput(uint8_t index, AnalogData data);
  // Prints " === Writing GP-16 ==== Address = <index>;;;; Value = <data>"
  // (no line end), then writes register index - 128.
  void SetGeneralPurpose(uint8_t index, uint16_t data);

 private:
  friend void* RunningServiceLoop(void* argument);

  int Constructor(int32_t cycle_time);
  void Destructor();
  // Sets output_command_ after the value it announces.
  void RaiseOutputCommand();
  // True when the record is mapped; otherwise prints an error for `setter`.
  bool MonitoringMapped(const char* setter);

  // Sends `record` within the bounds described at SendMessage and
  // SendImageToKORE. Returns 4112, 0 (image not sent in time) or -1.
  int DeliverRecord(const ControlMessage& record, bool image);
  // On the receiving thread, takes one record addressed to this module off
  // the queue into the backlog while it holds fewer than `limit`; true when
  // one was taken.
  bool TakeIntoBacklog(size_t limit);
  // The orderly stop after a stop signal, on the loop thread.
  void StopOnSignal();
  // The control queue removed: one line, then every send is dropped and
  // counted (a line at most once a minute) until WatchQueue, every 100 ms on
  // the loop thread, attaches to the queue again once it exists.
  void QueueGone();
  int CountUnsent();
  void WatchQueue();
  // False while the mapped record is smaller than MonitoringData (lines on
  // each change).
  bool MonitoringRecordWhole();
  // Takes the oldest record addressed to this module off the queue, with
  // the capture described at CaptureRequestData; as CMessageQueue::GetMessage.
  ssize_t ReceiveRecord(ControlMessage& record);

  // Read by derived classes from their own threads, hence atomic.
  std::atomic<bool> m_bIsModuleRunning;
  static pid_t m_korePID;

  // A record taken off the queue before its turn, with the body size that
  // was received.
  struct PendingRecord {
    ControlMessage message;
    ssize_t received;
  };
  std::vector<PendingRecord> m_backlog;  // ring of kBacklogCapacity, allocated once
  size_t m_nBacklogHead = 0;
  size_t m_nBacklogCount = 0;
  // The thread that receives (the only one that may touch the backlog).
  std::atomic<std::thread::id> m_receiverThread;
  std::atomic<uint64_t> m_nSkippedImages{0};
  std::atomic<int64_t> m_lLastSkipReportNs{0};

 protected:
  MonitoringData* m_pMonitoringDataPointerMember;
  CMessageQueue m_ctlMsgQueue;
  int32_t m_nCycleTimeMember;
  // See CaptureRequestData; set by the derived constructor.
  bool m_bCaptureRequestData = false;

 private:
  // Load-response bookkeeping (see Response).
  std::atomic<bool> m_bLoopStarted{false};
  bool m_bLoadResponseHeld = false;
  bool m_bStartFailed = false;
  std::atomic<bool> m_bQueueGone{false};
  std::atomic<uint64_t> m_nUnsentWhileGone{0};
  std::atomic<int64_t> m_lUnsentReportNs{0};
  int m_nMonitoringFd = -1;
  std::atomic<bool> m_bRecordShort{false};
};

// Singleton that acknowledges a load to the Module Manager through the
// response record and its semaphore.
class CCommunicationModule {
 public:
  virtual ~CCommunicationModule();
  CCommunicationModule(const CCommunicationModule&) = delete;
  CCommunicationModule& operator=(const CCommunicationModule&) = delete;

  static void MakeInstance();
  static CCommunicationModule* GetInstance();

  // Sets `ret` of "/mm-shared-mem_response" to 1 and posts
  // "/mm-sem-spool_response"; each failing step prints its line and ends.
  void Response();

  uint8_t m_nReqCtl;
  uint8_t m_nUserID;
  uint16_t m_nByteLen;
  pid_t m_nKorePid;

 private:
  CCommunicationModule();
  static CCommunicationModule* m_pInstanceCom;
};

}  // namespace VeloFramework
