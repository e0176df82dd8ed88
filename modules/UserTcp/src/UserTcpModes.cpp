// The state of both modes: starting, stopping and watching the open link.
#include <malloc.h>

#include <algorithm>

#include "UserTcp.h"
#include "UserTcpSupport.h"

namespace VeloFramework {

using namespace usertcp;

void CUserTcpServer::StartService() {
  if (m_nMode == kTcpModeServer) {
    // Opened only once the port listens: a port in use (by another server,
    // or another instance of this module) fails the open.
    if (StartListening(m_nPort)) {
      m_bConnected = true;
      SendEvent(EN_NOTIFY_TCP_OPENED);
    } else {
      DebugLog("Cannot listen on port %d: open failed", m_nPort);
      SendEvent(EN_NOTIFY_TCP_OPEN_FAILED);
    }
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

void CUserTcpServer::StopService() {
  if (StopRequested()) {
    StopForExit();
    return;
  }
  StopServer(true);
}

void CUserTcpServer::StopServer(bool bReset) {
  // Stop waits for every connection thread; one that waits for an
  // acknowledgement would wait in vain, since this loop cannot take it now.
  {
    std::lock_guard<std::mutex> lock(m_ackMutex);
    m_bAbortForwarding = true;
    m_ackCondition.notify_all();
  }
  if (bReset) AbortAllUsersOnStop();
  Stop();
  // An unload leaves a client link open: its data is forwarded as before.
  if (m_nMode == kTcpModeClient && m_bConnected) m_bAbortForwarding = false;
  // The server has stopped: the module is idle, and the next open is served.
  if (m_nMode == kTcpModeServer) m_bConnected = false;
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
  }
  DeleteSharedMemory(m_pTxShm, m_pTxArea);
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

}  // namespace VeloFramework
