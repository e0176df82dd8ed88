// Socket callbacks of both modes, and the forwarding of peers' data to KORE.
#include <cstring>
#include <thread>

#include "UserTcp.h"
#include "UserTcpSupport.h"

namespace VeloFramework {

using namespace usertcp;

void CUserTcpServer::ForwardToKore(uint32_t nId, const char* pData, size_t nLength,
                                   uint32_t nEvent) {
  DebugLog("OnMessage");
  auto record = std::make_unique<TcpChunkRecord>();
  const bool bDelivered =
      SendInChunks(nId, pData, nLength, *record, [&](const TcpChunkRecord& chunk) {
        bool bAcknowledged = false;
        {
          std::lock_guard<std::mutex> exchange(m_exchangeMutex);
          if (m_pRxArea == nullptr || m_bAbortForwarding) {
            DebugLog("SEND MESSAGE FAIL");
            return false;
          }
          {
            SemaphoreGuard guard(m_semRx);
            std::memcpy(m_pRxArea, &chunk, sizeof(TcpChunkRecord));
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
          return false;
        }
        DebugLog("SEND MESSAGE SUCCESS");
        std::this_thread::sleep_for(m_timings.chunkPause);
        return true;
      });
  if (bDelivered) DebugLog("END");
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

}  // namespace VeloFramework
