// CUserTcpServer: the service of the user TCP module. KORE opens either a TCP
// server for any number of clients or a TCP client to one remote server, and
// exchanges the data with the peers chunk by chunk through the module's Tx
// and Rx shared areas, with events and acknowledgements on the control queue.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommunicationModuleBase.h"
#include "IcmpPing.h"
#include "NDKClient.h"
#include "NDKServer.h"
#include "Sharedmem.h"
#include "TcpChunkTransport.h"
#include "UserTcpRecords.h"

namespace VeloFramework {

// A close was requested: no reconnection.
extern std::atomic<bool> g_bForceStop;
// A reconnection loop is running.
extern std::atomic<bool> g_bFlagReconnecting;

// Timings of the chunk exchange and the reachability check.
struct UserTcpTimings {
  // Longest wait for KORE's acknowledgement of one chunk.
  std::chrono::milliseconds ackTimeout{3000};
  // Pause after each acknowledged chunk, and after a peer record, before the
  // Rx area is written again.
  std::chrono::milliseconds chunkPause{50};
  // Wait for each ICMP echo reply; a dead host costs 5 times this per check.
  std::chrono::milliseconds echoTimeout{100};
  // Pause between two reconnection attempts, and their number.
  std::chrono::milliseconds reconnectPause{1000};
  int reconnectAttempts = 10;
};

class CUserTcpServer : public CCommunicationModuleBase, public CNDKServer, public CNDKClient {
 public:
  // Creates the Tx and Rx areas and their semaphores (names left with this
  // pid by a crashed instance are removed first) and answers the load:
  // status 0 when all four were made, else 2 (EN_RET_STATUS_LOAD_FALSE_SHM,
  // an area) or 3 (EN_RET_STATUS_LOAD_FALSE_SEM, a semaphore), after which
  // LoadModule returns 1 without serving.
  explicit CUserTcpServer(const UserTcpTimings& timings = UserTcpTimings());
  ~CUserTcpServer() override;

  void StartService() override;
  // Reachability check of the open link.
  void RunningService() override;
  // The unload's stop: stops the server, every client connection reset
  // (the peer sees an error, not a clean end: data it sent that had not
  // reached KORE is lost) and dropped without events; a client connection
  // stays open. Once the module is stopping (a stop signal, or
  // KORE gone) it runs StopForExit instead.
  void StopService() override;

  // Creates the Tx area, then the Rx area; 0 when the Rx area was created.
  int AllocationMonitoringData();
  // Removes stale "<base>_Tx" and "<base>_Rx", opens both (create-exclusive,
  // 0644, value 1) and removes both names at once; false with a log line on
  // failure.
  bool SemInit(const char* szBase);
  // Unmaps and removes one area and deletes its object.
  // Unmaps and removes one area and clears both pointers.
  void DeleteSharedMemory(SharedMem*& pShm, void*& pArea);

  // Body of the client listening thread.
  int ClientListening();
  void DebugLog(const char* szFormat, ...) __attribute__((format(printf, 2, 3)));
  void OnReconnected();

 protected:
  // Requests 20 to 23, 34 and 35 carry nothing in the queue record (the
  // base has dropped a record shorter than its header says); their data is
  // in the Tx area, whose chunk records are checked when taken: an index of
  // 0, a count of 0, an index above the count or a length above 4062 drops
  // the record and what was gathered, with a log line.
  void HandleRequest(StructControlMessage& cControlMessage) override;
  // Requests 20, 22 and 23 refer to the Tx area, which KORE rewrites once
  // the request has left the queue: the area is copied while the request
  // still waits there and handed on in the record's payload (open record or
  // chunk record, nMsgLength = 4086), so a request served later (from the
  // backlog) still has its own data.
  void CaptureRequestData() override;
  void AttachRequestData(ControlMessage& record, ssize_t& received) override;

  bool OnIsConnectionAccepted() override;
  void OnConnect(long lId) override;
  void OnMessage(long lId, CNDKMessage& message) override;
  void OnDisconnect(long lId, NDKServerDisconnection eReason) override;

  void OnConnected() override;
  void OnMessage(CNDKMessage& message) override;
  void OnDisconnect(NDKClientDisconnection eReason) override;

 private:
  void OnOpenConnection(const ControlMessage& request);
  void OnCloseConnection();
  void OnSendMessageToServer(const ControlMessage& request);
  void OnSendMessageToClient(const ControlMessage& request);
  void CheckConnection();
  // Stops the server; `bReset`: clients get a reset instead of a clean end.
  void StopServer(bool bReset);
  // The orderly stop on SIGTERM or SIGINT, on the loop thread, within the
  // base's one-second limit: ends forwarding, removes both areas, lets the
  // peers take what was already sent to them (at most kExitDrainTime each
  // way), then closes every socket. No event is sent from the stop signal
  // on: KORE asked for none.
  void StopForExit();
  // Drops client `lId` without events when it has closed without sending
  // anything (checked before and again after it waits for its announcement
  // turn); true when it was dropped.
  bool DropIfGone(long lId);
  // False, with a log line, once a stop signal has arrived.
  bool EventsAllowed(uint32_t nEvent);
  // Every 100 ms: ends idle connection threads and, once the last client
  // has gone, returns freed heap pages to the system.
  void ReleaseIdleResources();

  // Chunks `pData` into the Rx area with `nEvent`, one acknowledged chunk at
  // a time.
  void ForwardToKore(uint32_t nId, const char* pData, size_t nLength, uint32_t nEvent);
  // Takes the chunk record captured with `request` and gathers it; true when
  // it was the final chunk of a message that is now ready in m_assembler.
  bool TakeChunk(const ControlMessage& request, TcpChunkRecord& record);
  void StartListeningThread();
  void SendEvent(uint32_t nEvent);
  void SendEvent(uint32_t nEvent, uint32_t nValue);

  std::string m_strIp;
  int32_t m_nPort = 0;
  int32_t m_nMode = 0;
  std::atomic<bool> m_bWaitAck{false};
  std::atomic<bool> m_bAckResult{false};
  SharedMem* m_pTxShm = nullptr;
  SharedMem* m_pRxShm = nullptr;
  void* m_pTxArea = nullptr;
  void* m_pRxArea = nullptr;
  sem_t* m_semTx = nullptr;
  sem_t* m_semRx = nullptr;
  // KORE's outbound message being gathered from the Tx area.
  TcpChunkAssembler m_assembler;
  // The Tx area as copied for the record about to be taken (receiving
  // thread only).
  std::unique_ptr<TcpChunkRecord> m_txCapture;
  CIcmpPing* m_pPing = nullptr;
  std::vector<long> m_vecUserIds;
  std::vector<std::string> m_vecCheckedHosts;
  std::atomic<bool> m_bConnected{false};
  static constexpr std::chrono::milliseconds kHousekeepingPeriod{100};
  static constexpr std::chrono::milliseconds kExitDrainTime{300};
  std::chrono::steady_clock::time_point m_nextHousekeeping{};
  bool m_bHadClients = false;

  UserTcpTimings m_timings;
  // Guards the open parameters, read by reconnecting threads.
  std::mutex m_paramMutex;
  // Serialises every use of the Rx area: a chunk from its write until its
  // acknowledgement, a peer record until KORE had time to read it.
  std::mutex m_exchangeMutex;
  // Acknowledgement hand-over between the service loop and a forwarder.
  std::mutex m_ackMutex;
  std::condition_variable m_ackCondition;
  // Set by a close: a forwarder stops waiting for acknowledgements.
  std::atomic<bool> m_bAbortForwarding{false};
};

}  // namespace VeloFramework
