// The abstract base of every communication module's service class, the
// module programs' entry-point helper, the service-loop thread body and the
// singleton that acknowledges a load through shared memory.
//
// A module program's main:
//
//   int main(int argc, char* argv[]) {
//     if (VeloFramework::CheckModuleArguments(argc, argv, "[MyModule][ERROR] Run ") != 0)
//       return -1;
//     auto* module = new CMyModule();  // sets itself up, sends the load response
//     module->LoadModule();            // runs the service loop; never returns
//     return 0;
//   }
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

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
// Endless: poll one message, RunningService, pause the cycle time.
void* RunningServiceLoop(void* argument);

// Entry-point checks shared by the module programs. Takes the program name
// from argv[0] (from its last '/' on), and prints `szPrefix`, the name and
// " FAILED [Missing parameters]" when argv[1] is missing, or
// " FAILED [Parameter 1 is invalid]" when argv[1] is not a decimal number
// (IsNumber) or is not a possible pid (0, or too large for pid_t). On success
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
  // service loop on its own thread, joining it: never returns in normal
  // operation.
  void LoadModule();
  // StopService, clear the running flag, answer event 2 with status 0. The
  // loop keeps running.
  void UnloadModule();
  void InstallModule() {}
  void DeleteModule() {}

  // Load acknowledgement: event 1 with status 0 to KORE.
  void Response();
  // Sends event `eEvent` with the 4-byte status `resValue` to KORE. A status
  // above 61 prints "[CCommunicationModuleBase][ERROR] Invalid Response
  // Value [n] to respond" and sends nothing.
  void Response(uint32_t eEvent, EN_RET_STATUS resValue);

  bool IsModuleRunning() { return m_bIsModuleRunning; }
  int32_t GetCycleTime() { return m_nCycleTimeMember; }

  static void UpdateKorePID(pid_t pid);
  static pid_t GetKorePID();
  // True when the text is not empty and made of the digits '0'..'9' only.
  static bool IsNumber(const std::string& strSource);

  // One poll of the queue: takes at most one message for this process and
  // dispatches it (unload, or HandleRequest). Messages whose source reads
  // negative are dropped.
  void GetControlMessage();

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

  // Send to any node / to KORE; see CMessageQueue::SendMessage.
  int SendMessage(int lMsgTypeDst, uint32_t nEvent, StructMessageData* message);
  int SendMessageToKORE(uint32_t nEvent, StructMessageData* message);

  // Copies the whole mapped record into `monitoring_data` (no lock). When
  // the record is not mapped, `monitoring_data` is left unchanged.
  void UpdateMonitoringData(MonitoringData& monitoring_data);

  // Output requests: each writes the value into the mapped record, then sets
  // output_command_ to 1 (the value is visible before the flag). An index
  // outside the field (digital: 0..15 control box, 0..7 tool; analog: 0..1;
  // general purpose: 128..255) or an unmapped record prints an error line
  // and writes nothing.
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

  void Constructor(int32_t cycle_time);
  void Destructor();
  // Sets output_command_ after the value it announces.
  void RaiseOutputCommand();
  // True when the record is mapped; otherwise prints an error for `setter`.
  bool MonitoringMapped(const char* setter);

  // Read by derived classes from their own threads, hence atomic.
  std::atomic<bool> m_bIsModuleRunning;
  static pid_t m_korePID;

 protected:
  MonitoringData* m_pMonitoringDataPointerMember;
  CMessageQueue m_ctlMsgQueue;
  int32_t m_nCycleTimeMember;
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
