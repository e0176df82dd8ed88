// KORE's requests: open, close, the two writes and the acknowledgements.
#include <algorithm>
#include <cstring>

#include "UserTcp.h"
#include "UserTcpSupport.h"

namespace VeloFramework {

using namespace usertcp;

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

bool CUserTcpServer::TakeChunk(TcpChunkRecord& record) {
  if (m_pTxArea == nullptr) return false;
  {
    SemaphoreGuard guard(m_semTx);
    std::memcpy(&record, m_pTxArea, sizeof record);
  }
  return m_assembler.Add(record);
}

void CUserTcpServer::OnSendMessageToClient() {
  if (!m_bConnected) return;
  TcpChunkRecord record;
  if (!TakeChunk(record)) return;
  if (m_assembler.Length() == 0) {
    // An empty send would count as a failed one and drop the client.
    DebugLog("Empty message to client %u: nothing sent", record.nId);
    m_assembler.Reset();
    return;
  }
  GetUserIds(&m_vecUserIds);
  const long lId = static_cast<long>(record.nId);
  if (std::find(m_vecUserIds.begin(), m_vecUserIds.end(), lId) == m_vecUserIds.end()) {
    // Dropped rather than kept: kept bytes would be sent with the next
    // message to some other client.
    DebugLog("Client %u is not connected: message dropped", record.nId);
    m_assembler.Reset();
    return;
  }
  SendMessageToUser(lId, m_assembler.Data(), static_cast<int>(m_assembler.Length()));
  m_assembler.Reset();
  DebugLog("SEND OK");
}

void CUserTcpServer::OnSendMessageToServer() {
  if (!m_bConnected) return;
  TcpChunkRecord record;
  if (!TakeChunk(record)) return;
  if (m_assembler.Length() == 0) {
    // An empty send would count as a failed one and drop the link.
    DebugLog("Empty message to server: nothing sent");
    m_assembler.Reset();
    return;
  }
  CNDKMessage message(m_assembler.Data(), static_cast<long>(m_assembler.Length()));
  const bool bSent = SendMessageToServer(message);
  // On failure the client has already released the link and reconnected or
  // given up; the gathered bytes are not kept for another link.
  m_assembler.Reset();
  if (bSent) DebugLog("Send OK");
}

}  // namespace VeloFramework
