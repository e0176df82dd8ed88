#include "UserTcp.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

namespace VeloFramework {

std::atomic<bool> g_bForceStop{false};
std::atomic<bool> g_bFlagReconnecting{false};

namespace {

constexpr int kPingAttempts = 5;

std::string Format(const char* szFormat, int nPid) {
  char name[64];
  std::snprintf(name, sizeof name, szFormat, nPid);
  return name;
}

// Holds a process-private semaphore for the copy of one record.
class SemaphoreGuard {
 public:
  explicit SemaphoreGuard(sem_t* pSem) : m_pSem(pSem) {
    if (m_pSem == nullptr) return;
    while (sem_wait(m_pSem) != 0 && errno == EINTR) {
    }
  }
  ~SemaphoreGuard() {
    if (m_pSem != nullptr) sem_post(m_pSem);
  }
  SemaphoreGuard(const SemaphoreGuard&) = delete;
  SemaphoreGuard& operator=(const SemaphoreGuard&) = delete;

 private:
  sem_t* m_pSem;
};

}  // namespace

// ------------------------------------------------------------ construction

CUserTcpServer::CUserTcpServer(const UserTcpTimings& timings)
    : m_chSendBuffer(new char[kTcpMaxMessageSize]), m_timings(timings) {
  m_pPing = new CIcmpPing(m_timings.echoTimeout);
  if (!m_pPing->Available())
    DebugLog("[WARNING] ICMP sockets unavailable: reachability not checked");
  m_ctlMsgQueue.InitMessageQueue();
  const std::string semBase = Format(kUserTcpSemaphoreFormat, getpid());
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

int CUserTcpServer::AllocationMonitoringData() {
  const std::string txName = Format(kUserTcpTxAreaFormat, getpid());
  m_pTxShm = new SharedMem("/" + txName, kUserTcpAreaSize);
  if (m_pTxShm->CreateShm(&m_pTxArea) == SHM_SUCCESS) {
    DebugLog("[UserTcp: DEBUG] Create Tx SharedMem at: %s ", txName.c_str());
  } else {
    delete m_pTxShm;
    m_pTxShm = nullptr;
    m_pTxArea = nullptr;
    DebugLog("Create SharedMem fail!");
  }
  const std::string rxName = Format(kUserTcpRxAreaFormat, getpid());
  m_pRxShm = new SharedMem("/" + rxName, kUserTcpAreaSize);
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

void CUserTcpServer::DeleteSharedMemory(SharedMem* pShm, void* pArea) {
  if (pShm == nullptr || pArea == nullptr) return;
  void* p = pArea;
  if (!pShm->UnMapShm(&p)) DebugLog(" ERROR: Failed to unmap tcp shared memory!");
  if (!pShm->FreeShm()) DebugLog(" ERROR: Failed to free tcp shared memory!");
  delete pShm;
}

// ----------------------------------------------------------------- logging

void CUserTcpServer::DebugLog(const char* szFormat, ...) {
  char text[1024];
  va_list args;
  va_start(args, szFormat);
  std::vsnprintf(text, sizeof text, szFormat, args);
  va_end(args);
  // One write per line, so lines of different threads do not mix.
  std::string line = "[USER TCP Process]     ";
  line += text;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

bool CUserTcpServer::EventsAllowed(uint32_t nEvent) {
  if (StopSignal() == 0) return true;
  DebugLog("Event %u not sent: the module is stopping", nEvent);
  return false;
}

void CUserTcpServer::SendEvent(uint32_t nEvent) {
  if (!EventsAllowed(nEvent)) return;
  SendMessageToKORE(nEvent, nullptr);
}

void CUserTcpServer::SendEvent(uint32_t nEvent, uint32_t nValue) {
  if (!EventsAllowed(nEvent)) return;
  MessageData data;
  std::memset(&data, 0, sizeof data);
  data.nMsgLength = 4;
  std::memcpy(data.chMsgData, &nValue, 4);
  SendMessageToKORE(nEvent, &data);
}

// ---------------------------------------------------------------- requests

void CUserTcpServer::HandleRequest(StructControlMessage& cControlMessage) {
  switch (cControlMessage.nEvent) {
    case EN_REQ_TCP_OPEN:
      if (m_bConnected || g_bFlagReconnecting) return;
      OnOpenConnection();
      break;
    case EN_REQ_TCP_CLOSE:
      OnCloseConnection();
      break;
    case EN_REQ_TCP_WRITE_TCP_SERVER:
      OnSendMessageToServer();
      break;
    case EN_REQ_TCP_WRITE_TCP_CLIENT:
      OnSendMessageToClient();
      break;
    case EN_REQ_TCP_ACK_SUCCESS:
    case EN_REQ_TCP_ACK_FAILURE: {
      std::lock_guard<std::mutex> lock(m_ackMutex);
      m_bAckResult = cControlMessage.nEvent == EN_REQ_TCP_ACK_SUCCESS;
      m_bWaitAck = false;
      m_ackCondition.notify_all();
      break;
    }
    default:
      break;
  }
}

void CUserTcpServer::OnOpenConnection() {
  DebugLog("OPEN CONNECTION");
  g_bForceStop = false;
  m_bAbortForwarding = false;
  TcpOpenRecord record;
  std::memset(&record, 0, sizeof record);
  if (m_pTxArea != nullptr) {
    SemaphoreGuard guard(m_semTx);
    std::memcpy(&record, m_pTxArea, sizeof record);
  }
  // The address is taken only up to its terminating zero inside its 16
  // bytes; an unterminated text is no address.
  const size_t nIpLength = strnlen(record.chIp, sizeof record.chIp);
  const bool bIpTerminated = nIpLength < sizeof record.chIp;
  {
    std::lock_guard<std::mutex> lock(m_paramMutex);
    m_strIp = bIpTerminated ? std::string(record.chIp, nIpLength) : std::string();
    m_nPort = record.nPort;
    m_nMode = record.nMode;
  }
  DebugLog("IP : %s", m_strIp.c_str());
  DebugLog("m_nPort : %d", m_nPort);
  DebugLog("Mode : %d", m_nMode);
  if (m_nMode == kTcpModeServer || m_nMode == kTcpModeClient) {
    if (m_nPort < 1 || m_nPort > 65535) {
      DebugLog("Invalid port %d: open refused", m_nPort);
      SendEvent(EN_NOTIFY_TCP_OPEN_FAILED);
      DebugLog("End of startServices");
      return;
    }
    if (m_nMode == kTcpModeClient && !bIpTerminated) {
      DebugLog("Address text without terminating zero: open refused");
      SendEvent(EN_NOTIFY_TCP_OPEN_FAILED);
      DebugLog("End of startServices");
      return;
    }
  }
  StartService();
}

void CUserTcpServer::StartService() {
  if (m_nMode == kTcpModeServer) {
    m_bConnected = true;
    SendEvent(EN_NOTIFY_TCP_OPENED);
    if (!StartListening(m_nPort)) m_bConnected = false;
  } else if (m_nMode == kTcpModeClient) {
    std::string strIp;
    int32_t nPort = 0;
    {
      std::lock_guard<std::mutex> lock(m_paramMutex);
      strIp = m_strIp;
      nPort = m_nPort;
    }
    if (!m_pPing->IsReachable(strIp, kPingAttempts)) {
      SendEvent(EN_NOTIFY_TCP_OPEN_FAILED);
      DebugLog("Cant ping to %s ", strIp.c_str());
    } else if (OpenConnection(strIp, static_cast<unsigned>(nPort))) {
      SendEvent(EN_NOTIFY_TCP_OPENED);
      StartListeningThread();
    } else {
      SendEvent(EN_NOTIFY_TCP_OPEN_FAILED);
    }
  }
  DebugLog("End of startServices");
}

void CUserTcpServer::OnCloseConnection() {
  // A close also ends a reconnection that is under way.
  if (!m_bConnected && !g_bFlagReconnecting) return;
  m_bConnected = false;
  g_bForceStop = true;
  DebugLog("CLOSE CONNECTION");
  {
    std::lock_guard<std::mutex> lock(m_ackMutex);
    m_bAbortForwarding = true;
    m_ackCondition.notify_all();
  }
  if (m_nMode == kTcpModeServer) {
    StopService();
    SendEvent(EN_NOTIFY_TCP_CLOSED);
  } else if (m_nMode == kTcpModeClient) {
    CloseConnection();
    SendEvent(EN_NOTIFY_TCP_CLOSED);
  } else {
    SendEvent(EN_NOTIFY_TCP_CLOSE_BAD_MODE);
  }
}

void CUserTcpServer::StopService() {
  if (StopSignal() != 0) {
    StopForExit();
    return;
  }
  // Stop waits for every connection thread; one that waits for an
  // acknowledgement would wait in vain, since this loop cannot take it now.
  {
    std::lock_guard<std::mutex> lock(m_ackMutex);
    m_bAbortForwarding = true;
    m_ackCondition.notify_all();
  }
  Stop();
  // An unload leaves a client link open: its data is forwarded as before.
  if (m_nMode == kTcpModeClient && m_bConnected) m_bAbortForwarding = false;
}

void CUserTcpServer::StopForExit() {
  DebugLog("Stopping for exit");
  g_bForceStop = true;
  m_bConnected = false;
  {
    std::lock_guard<std::mutex> lock(m_ackMutex);
    m_bAbortForwarding = true;
    m_ackCondition.notify_all();
  }
  // The areas go first, so that nothing is left in /dev/shm even should the
  // rest overrun the stop's time limit. A forwarder that holds the Rx area
  // has been told to give up and releases it at once.
  {
    std::lock_guard<std::mutex> exchange(m_exchangeMutex);
    DeleteSharedMemory(m_pRxShm, m_pRxArea);
    m_pRxShm = nullptr;
    m_pRxArea = nullptr;
  }
  DeleteSharedMemory(m_pTxShm, m_pTxArea);
  m_pTxShm = nullptr;
  m_pTxArea = nullptr;
  // What was sent to the peers reaches them before the sockets close: a
  // close with unread input would reset the connection and drop it.
  FinishSendingToAllUsers(kExitDrainTime);
  CNDKClient::FinishSending(kExitDrainTime);
  Stop();
  CleanUp();
  DebugLog("Stopped for exit");
}

void CUserTcpServer::RunningService() {
  CheckConnection();
  ReleaseIdleResources();
}

void CUserTcpServer::ReleaseIdleResources() {
  const auto now = std::chrono::steady_clock::now();
  if (now < m_nextHousekeeping) return;
  m_nextHousekeeping = now + kHousekeepingPeriod;
  ReleaseIdleThreads();
  // Connection threads free their read buffers into per-thread heaps; give
  // those pages back once the last client has gone.
  const bool bClients = GetNbUsers() > 0;
  if (m_bHadClients && !bClients) malloc_trim(0);
  m_bHadClients = bClients;
}

void CUserTcpServer::CheckConnection() {
  if (!m_bConnected) return;
  if (m_nMode == kTcpModeServer) {
    GetUserIds(&m_vecUserIds);
    // Clients on one host share its reachability: each host is pinged once
    // per cycle however many clients it has, so a crowd of connections from
    // one machine does not multiply the cycle's echo requests.
    m_vecCheckedHosts.clear();
    for (long lId : m_vecUserIds) {
      std::string strHost;
      unsigned nPort = 0;
      if (!GetUserPeerAddress(lId, strHost, nPort) || strHost.empty()) continue;
      if (std::find(m_vecCheckedHosts.begin(), m_vecCheckedHosts.end(), strHost) !=
          m_vecCheckedHosts.end())
        continue;
      m_vecCheckedHosts.push_back(strHost);
      if (!m_pPing->IsReachable(strHost, kPingAttempts)) {
        DebugLog("Detect Disconnect");
        DisconnectUser(lId);
        return;
      }
    }
  } else if (m_nMode == kTcpModeClient) {
    std::string strIp;
    {
      std::lock_guard<std::mutex> lock(m_paramMutex);
      strIp = m_strIp;
    }
    if (!m_pPing->IsReachable(strIp, kPingAttempts)) {
      DebugLog("Detect Disconnect");
      // Releases the connection (its listening thread ends) and runs the
      // disconnection handling, which reconnects.
      if (IsConnected())
        CloseConnection(CNDKClient::NDK_DISCONNECT_BY_REQUEST);
      else
        OnDisconnect(CNDKClient::NDK_DISCONNECT_BY_REQUEST);
    }
  }
}

// ------------------------------------------------------- outgoing messages

void CUserTcpServer::ResetSendBuffer() {
  m_nSendLength = 0;
  m_nLastChunk = 0;
}

bool CUserTcpServer::TakeChunk(TcpChunkRecord& record) {
  if (m_pTxArea == nullptr) return false;
  {
    SemaphoreGuard guard(m_semTx);
    std::memcpy(&record, m_pTxArea, sizeof record);
  }
  // Chunks count from 1 up to their count: a record outside that (a zeroed
  // or half-written area among them) is no chunk of any message, and what
  // was gathered cannot be completed either.
  if (record.nChunkIndex == 0 || record.nChunkCount == 0 ||
      record.nChunkIndex > record.nChunkCount) {
    DebugLog("Chunk record %u of %u is inconsistent: dropped with what was gathered",
             record.nChunkIndex, record.nChunkCount);
    ResetSendBuffer();
    m_bDiscarding = false;
    return false;
  }
  // The rest of a message dropped for its size is dropped too, up to its
  // final chunk or the first chunk of a new message.
  if (record.nChunkIndex == 1) m_bDiscarding = false;
  if (m_bDiscarding) {
    if (record.nChunkIndex >= record.nChunkCount) m_bDiscarding = false;
    return false;
  }
  const auto append = [&]() {
    if (record.nChunkLength > kTcpChunkDataSize) {
      DebugLog("Chunk %u of %u holds %u bytes, more than %u: message dropped", record.nChunkIndex,
               record.nChunkCount, record.nChunkLength, kTcpChunkDataSize);
      ResetSendBuffer();
      m_bDiscarding = record.nChunkIndex < record.nChunkCount;
      return false;
    }
    if (m_nSendLength + record.nChunkLength > kTcpMaxMessageSize) {
      DebugLog("Message longer than %u bytes: message dropped", kTcpMaxMessageSize);
      ResetSendBuffer();
      m_bDiscarding = record.nChunkIndex < record.nChunkCount;
      return false;
    }
    std::memcpy(m_chSendBuffer.get() + m_nSendLength, record.chData, record.nChunkLength);
    m_nSendLength += record.nChunkLength;
    return true;
  };
  if (record.nChunkIndex == record.nChunkCount) return append();
  ++m_nLastChunk;
  if (record.nChunkIndex == m_nLastChunk)
    append();
  else
    ResetSendBuffer();
  return false;
}

void CUserTcpServer::OnSendMessageToClient() {
  if (!m_bConnected) return;
  TcpChunkRecord record;
  if (!TakeChunk(record)) return;
  if (m_nSendLength == 0) {
    // An empty send would count as a failed one and drop the client.
    DebugLog("Empty message to client %u: nothing sent", record.nId);
    ResetSendBuffer();
    return;
  }
  GetUserIds(&m_vecUserIds);
  const long lId = static_cast<long>(record.nId);
  if (std::find(m_vecUserIds.begin(), m_vecUserIds.end(), lId) == m_vecUserIds.end()) {
    // Dropped rather than kept: kept bytes would be sent with the next
    // message to some other client.
    DebugLog("Client %u is not connected: message dropped", record.nId);
    ResetSendBuffer();
    return;
  }
  SendMessageToUser(lId, m_chSendBuffer.get(), static_cast<int>(m_nSendLength));
  ResetSendBuffer();
  DebugLog("SEND OK");
}

void CUserTcpServer::OnSendMessageToServer() {
  if (!m_bConnected) return;
  TcpChunkRecord record;
  if (!TakeChunk(record)) return;
  if (m_nSendLength == 0) {
    // An empty send would count as a failed one and drop the link.
    DebugLog("Empty message to server: nothing sent");
    ResetSendBuffer();
    return;
  }
  CNDKMessage message(m_chSendBuffer.get(), static_cast<long>(m_nSendLength));
  const bool bSent = SendMessageToServer(message);
  // On failure the client has already released the link and reconnected or
  // given up; the gathered bytes are not kept for another link.
  ResetSendBuffer();
  if (bSent) DebugLog("Send OK");
}

// ------------------------------------------------------- incoming messages

void CUserTcpServer::ForwardToKore(uint32_t nId, const char* pData, size_t nLength,
                                   uint32_t nEvent) {
  DebugLog("OnMessage");
  if (nLength == 0) {
    DebugLog("END");
    return;
  }
  const uint32_t nCount =
      static_cast<uint32_t>((nLength + kTcpChunkDataSize - 1) / kTcpChunkDataSize);
  auto record = std::make_unique<TcpChunkRecord>();
  for (uint32_t i = 1; i <= nCount; ++i) {
    const size_t nOffset = static_cast<size_t>(i - 1) * kTcpChunkDataSize;
    const uint32_t nChunk =
        static_cast<uint32_t>(std::min<size_t>(kTcpChunkDataSize, nLength - nOffset));
    std::memset(record.get(), 0, sizeof(TcpChunkRecord));
    record->nId = nId;
    record->nChunkLength = nChunk;
    record->nTotalLength = static_cast<uint32_t>(nLength);
    record->nChunkIndex = i;
    record->nChunkCount = nCount;
    std::memcpy(record->chData, pData + nOffset, nChunk);

    bool bAcknowledged = false;
    {
      std::lock_guard<std::mutex> exchange(m_exchangeMutex);
      if (m_pRxArea == nullptr || m_bAbortForwarding) {
        DebugLog("SEND MESSAGE FAIL");
        return;
      }
      {
        SemaphoreGuard guard(m_semRx);
        std::memcpy(m_pRxArea, record.get(), sizeof(TcpChunkRecord));
      }
      {
        std::lock_guard<std::mutex> lock(m_ackMutex);
        m_bWaitAck = true;
        m_bAckResult = false;
      }
      SendEvent(nEvent);
      std::unique_lock<std::mutex> lock(m_ackMutex);
      m_ackCondition.wait_for(lock, m_timings.ackTimeout,
                              [&] { return !m_bWaitAck || m_bAbortForwarding; });
      bAcknowledged = !m_bWaitAck && m_bAckResult;
      // A late answer must not count for the next chunk.
      m_bWaitAck = false;
    }
    if (!bAcknowledged) {
      DebugLog("SEND MESSAGE FAIL");
      return;
    }
    DebugLog("SEND MESSAGE SUCCESS");
    std::this_thread::sleep_for(m_timings.chunkPause);
  }
  DebugLog("END");
}

// ------------------------------------------------------- server callbacks

bool CUserTcpServer::OnIsConnectionAccepted() {
  DebugLog("OnIsConnectionAccepted");
  return true;
}

void CUserTcpServer::OnConnect(long lId) {
  DebugLog("OnConnect");
  std::string strHost;
  unsigned nPort = 0;
  GetUserPeerAddress(lId, strHost, nPort);
  DebugLog("Add new ID: %lu\n", static_cast<unsigned long>(lId));
  DebugLog("Address: %s\n", strHost.c_str());
  DebugLog("Port: %d\n", static_cast<int>(nPort));
  DebugLog("Total ID: %lu\n", static_cast<unsigned long>(GetNbUsers()));
  TcpPeerRecord record;
  std::memset(&record, 0, sizeof record);
  record.nId = static_cast<uint32_t>(lId);
  record.nPort = nPort;
  std::strncpy(record.chIp, strHost.c_str(), sizeof record.chIp - 1);
  if (DropIfGone(lId)) return;
  {
    // The peer record has no acknowledgement: keep the Rx area for it a
    // moment so that KORE reads it before the next chunk replaces it.
    std::lock_guard<std::mutex> exchange(m_exchangeMutex);
    // Announcements wait their turn here. A client that has gone meanwhile
    // without sending anything is dropped unannounced (no event 29, and so
    // no event 30): a storm of connect-and-close peers then costs nothing
    // but the accepts, instead of one Rx hold each.
    if (DropIfGone(lId)) return;
    if (m_pRxArea != nullptr) {
      SemaphoreGuard guard(m_semRx);
      std::memcpy(m_pRxArea, &record, sizeof record);
    }
    SendEvent(EN_NOTIFY_TCP_NEW_CONNECT, static_cast<uint32_t>(lId));
    std::this_thread::sleep_for(m_timings.chunkPause);
  }
  DebugLog("END");
}

bool CUserTcpServer::DropIfGone(long lId) {
  CNDKServerSocket* pSocket = GetUserSocket(lId);
  if (pSocket != nullptr && !pSocket->IsPeerGone()) return false;
  DropUser(lId);
  DebugLog("Client %ld left before it was announced: dropped", lId);
  return true;
}

void CUserTcpServer::OnMessage(long lId, CNDKMessage& message) {
  ForwardToKore(static_cast<uint32_t>(lId), static_cast<const char*>(message.GetBuffer()),
                static_cast<size_t>(message.GetLength()), EN_NOTIFY_TCP_SERVER_RECEIVED);
}

void CUserTcpServer::OnDisconnect(long lId, NDKServerDisconnection) {
  DebugLog("OnDisconnect");
  DebugLog("removed ID: %lu\n", static_cast<unsigned long>(lId));
  SendEvent(EN_NOTIFY_TCP_DISCONNECT, static_cast<uint32_t>(lId));
  DebugLog("END");
}

// ------------------------------------------------------- client callbacks

void CUserTcpServer::OnConnected() {
  DebugLog("OnConnected");
  m_bConnected = true;
  DebugLog("END");
}

void CUserTcpServer::OnMessage(CNDKMessage& message) {
  ForwardToKore(0, static_cast<const char*>(message.GetBuffer()),
                static_cast<size_t>(message.GetLength()), EN_NOTIFY_TCP_CLIENT_RECEIVED);
}

void CUserTcpServer::OnDisconnect(NDKClientDisconnection eReason) {
  DebugLog("OnDisconnect");
  m_bConnected = false;
  if (g_bForceStop) return;
  if (g_bFlagReconnecting.exchange(true)) return;
  std::string strIp;
  int32_t nPort = 0;
  {
    std::lock_guard<std::mutex> lock(m_paramMutex);
    strIp = m_strIp;
    nPort = m_nPort;
  }
  bool bConnected = false;
  for (int nAttempt = 0; nAttempt < m_timings.reconnectAttempts && !g_bForceStop; ++nAttempt) {
    bConnected = OpenConnection(strIp, static_cast<unsigned>(nPort));
    m_bConnected = bConnected;
    if (bConnected) {
      if (g_bForceStop) {
        // A close came while connecting: do not leave this link open.
        CleanUp();
        m_bConnected = false;
        bConnected = false;
      }
      break;
    }
    DebugLog("Reconnecting to: %s %d\n", strIp.c_str(), nPort);
    const auto until = std::chrono::steady_clock::now() + m_timings.reconnectPause;
    while (!g_bForceStop && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Cleared before the new link gets its reader: should that link fail at
  // once, its own disconnection handling must be free to reconnect.
  g_bFlagReconnecting = false;
  if (bConnected) {
    OnReconnected();
    StartListeningThread();
  } else if (!g_bForceStop) {
    SendEvent(EN_NOTIFY_TCP_RECONNECT_FAILED, static_cast<uint32_t>(eReason));
    DebugLog("Reconnect fail !");
  }
  DebugLog("END");
}

void CUserTcpServer::OnReconnected() {
  DebugLog("OnReconnected");
  SendEvent(EN_NOTIFY_TCP_RECONNECTED);
}

int CUserTcpServer::ClientListening() {
  StartListenToServer();
  return 1;
}

void CUserTcpServer::StartListeningThread() {
  std::thread([this] { ClientListening(); }).detach();
}

}  // namespace VeloFramework
