#include "NDKServer.h"

#include <Poco/Bugcheck.h>
#include <Poco/Net/TCPServerParams.h>

#include <algorithm>

namespace VeloFramework {

namespace {
// The server whose connection the current thread runs, if any; lets Stop,
// called from a callback, leave its own connection out of the wait.
thread_local CNDKServer* t_pServingServer = nullptr;
}  // namespace

// ---------------------------------------------------------------- connection

CNDKServerSocket::CNDKServerSocket(const Poco::Net::StreamSocket& socket, CNDKServer* pServer,
                                   std::shared_ptr<CNDKServerLink> link)
    : Poco::Net::TCPServerConnection(socket),
      CNDKSocket(&this->socket(), pServer),
      m_link(std::move(link)) {}

CNDKServerSocket::~CNDKServerSocket() = default;

void CNDKServerSocket::run() {
  if (m_lpServer == nullptr) return;  // made after the server stopped
  CNDKServer* pServer = m_lpServer;
  t_pServingServer = pServer;
  CNDKSocket::run();
  pServer->ProcessConnectionEnd(this);
  t_pServingServer = nullptr;
  // Last use of the server: after this, Stop may return and the server go.
  std::lock_guard<std::mutex> lock(m_link->mutex);
  --m_link->nActive;
  m_link->finished.notify_all();
}

void CNDKServerSocket::OnAccept(int nError) {
  poco_assert(m_lpServer != NULL);
  m_lpServer->ProcessPendingAccept(this, nError);
}

void CNDKServerSocket::OnReceive(int nError) {
  poco_assert(m_lpServer != NULL);
  m_lpServer->ProcessPendingRead(this, nError);
}

// ------------------------------------------------------------------- factory

CNDKServerConnectionFactory::CNDKServerConnectionFactory(std::shared_ptr<CNDKServerLink> link)
    : m_link(std::move(link)) {}

CNDKServerConnectionFactory::~CNDKServerConnectionFactory() = default;

Poco::Net::TCPServerConnection* CNDKServerConnectionFactory::createConnection(
    const Poco::Net::StreamSocket& socket) {
  CNDKServer* pServer = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_link->mutex);
    pServer = m_link->pServer;
    if (pServer != nullptr) ++m_link->nActive;
  }
  auto* pConnection = new CNDKServerSocket(socket, pServer, m_link);
  if (pServer != nullptr) pServer->ProcessPendingAccept(pConnection, 0);
  return pConnection;
}

// ---------------------------------------------------------------- TCPServerEx

TCPServerEx::TCPServerEx(Poco::Net::TCPServerConnectionFactory::Ptr pFactory,
                         Poco::ThreadPool& threadPool, const Poco::Net::ServerSocket& socket,
                         Poco::Net::TCPServerParams::Ptr pParams)
    : Poco::Net::TCPServer(pFactory, threadPool, socket, pParams) {}

TCPServerEx::~TCPServerEx() = default;

void TCPServerEx::run() {
  Poco::Net::TCPServer::run();
}

// -------------------------------------------------------------------- server

CNDKServer::CNDKServer()
    : m_pServerSocket(nullptr),
      m_nPort(-1),
      m_lpServer(nullptr),
      m_bListening(false),
      // Idle time 1 s (the pool's shortest): a thread without work since
      // the last whole second is released by the next ReleaseIdleThreads.
      m_pThreadPool(new Poco::ThreadPool("NDKServer", 2, NDK_SERVER_MAX_THREADS, 1)) {}

CNDKServer::~CNDKServer() {
  Stop();
}

bool CNDKServer::StartListening(int nPort) {
  std::lock_guard<std::mutex> control(m_controlMutex);
  poco_assert(m_lpServer == NULL);
  m_nPort = nPort;
  try {
    // Address reuse lets a restarted server bind past connections still in
    // TIME_WAIT; port reuse is not set, so a port another socket listens on
    // fails here instead of being shared with it.
    m_pServerSocket = new Poco::Net::ServerSocket();
    m_pServerSocket->bind(
        Poco::Net::SocketAddress(Poco::Net::IPAddress(), static_cast<Poco::UInt16>(nPort)), true,
        false);
    m_pServerSocket->listen(NDK_SERVER_BACKLOG);
    m_link = std::make_shared<CNDKServerLink>();
    m_link->pServer = this;
    Poco::Net::TCPServerParams::Ptr pParams = new Poco::Net::TCPServerParams;
    pParams->setMaxThreads(NDK_SERVER_MAX_THREADS);
    pParams->setMaxQueued(NDK_SERVER_MAX_QUEUED);
    pParams->setThreadIdleTime(Poco::Timespan(0, NDK_SERVER_THREAD_IDLE_MS * 1000));
    m_lpServer = new TCPServerEx(new CNDKServerConnectionFactory(m_link), *m_pThreadPool,
                                 *m_pServerSocket, pParams);
    m_lpServer->start();
    m_bListening = true;
    return true;
  } catch (...) {
    StopLocked();
    return false;
  }
}

void CNDKServer::AbortAllUsersOnStop() {
  m_userManager.AbortAllUsersOnClose();
}

void CNDKServer::Stop() {
  std::lock_guard<std::mutex> control(m_controlMutex);
  StopLocked();
}

void CNDKServer::StopLocked() {
  m_bListening = false;
  if (m_lpServer != nullptr) {
    m_lpServer->stop();
    // Detach: connections made from now on do nothing, and no accept step
    // can add a user after the list is emptied below.
    {
      std::lock_guard<std::mutex> lock(m_link->mutex);
      m_link->pServer = nullptr;
    }
    m_userManager.RemoveAllUsers();
    {
      std::unique_lock<std::mutex> lock(m_link->mutex);
      const int nOwn = (t_pServingServer == this) ? 1 : 0;
      m_link->finished.wait(lock, [&] { return m_link->nActive <= nOwn; });
    }
    delete m_lpServer;
    m_lpServer = nullptr;
  }
  if (m_pServerSocket != nullptr) {
    try {
      m_pServerSocket->close();
    } catch (...) {
    }
    delete m_pServerSocket;
    m_pServerSocket = nullptr;
  }
  m_link.reset();
  m_nPort = -1;
}

bool CNDKServer::IsStarted() {
  return m_bListening.load();
}

int CNDKServer::GetPort() {
  return m_nPort.load();
}

long CNDKServer::GetNbUsers() {
  return m_userManager.GetNbUsers();
}

void CNDKServer::GetUserIds(std::vector<long>* pIds) {
  if (pIds != nullptr) m_userManager.GetUserIds(*pIds);
}

CNDKServerSocket* CNDKServer::GetUserSocket(long lId) {
  return m_userManager.GetSocketFromId(lId);
}

bool CNDKServer::GetUserPeerAddress(long lId, std::string& strHost, unsigned& nPort) {
  return m_userManager.GetUserPeerAddress(lId, strHost, nPort);
}

bool CNDKServer::SendMessageToUser(long lId, char* pData, int nLength) {
  if (m_userManager.SendMessage(lId, pData, nLength)) return true;
  OnDisconnect(lId, NDK_DISCONNECT_SEND_FAILED);
  return false;
}

bool CNDKServer::SendMessageToAllUsers(char* pData, int nLength) {
  std::list<long> failed;
  const bool bResult = m_userManager.SendMessageToAllUsers(pData, nLength, failed);
  for (long lId : failed) OnDisconnect(lId, NDK_DISCONNECT_SEND_FAILED);
  return bResult;
}

bool CNDKServer::SendMessageToSomeUsers(const std::vector<long>& ids, char* pData, int nLength) {
  for (long lId : ids) SendMessageToUser(lId, pData, nLength);
  return true;
}

bool CNDKServer::SendMessageToAllUsersExceptFor(const std::vector<long>& ids, char* pData,
                                                int nLength) {
  std::list<long> failed;
  const bool bResult = m_userManager.SendMessageToAllUsersExceptFor(ids, pData, nLength, failed);
  for (long lId : failed) OnDisconnect(lId, NDK_DISCONNECT_SEND_FAILED);
  return bResult;
}

bool CNDKServer::SendMessageToAllUsersExceptFor(long lId, char* pData, int nLength) {
  return SendMessageToAllUsersExceptFor(std::vector<long>{lId}, pData, nLength);
}

bool CNDKServer::DisconnectUser(long lId) {
  return DisconnectUser(lId, NDK_DISCONNECT_BY_REQUEST);
}

bool CNDKServer::DisconnectUser(long lId, NDKServerDisconnection eReason) {
  const bool bRemoved = m_userManager.RemoveUser(lId);
  OnDisconnect(lId, eReason);
  return bRemoved;
}

void CNDKServer::DisconnectAllUsers() {
  m_userManager.RemoveAllUsers();
}

void CNDKServer::FinishSendingToAllUsers(std::chrono::milliseconds limit) {
  m_userManager.FinishSendingToAllUsers(limit);
}

bool CNDKServer::DropUser(long lId) {
  return m_userManager.RemoveUser(lId);
}

void CNDKServer::ReleaseIdleThreads() {
  m_pThreadPool->collect();
}

void CNDKServer::ProcessPendingAccept(CNDKServerSocket* pServerSocket, long lError) {
  if (lError != 0 || pServerSocket == nullptr) return;
  long lId = 0;
  if (pServerSocket->Initialize() && OnIsConnectionAccepted()) {
    // Add under the link's lock, so that Stop either sees this user when it
    // empties the list or stops us from adding it.
    std::lock_guard<std::mutex> lock(pServerSocket->GetLink().mutex);
    if (pServerSocket->GetLink().pServer == this) lId = m_userManager.AddUser(pServerSocket);
  }
  if (lId > 0) {
    OnConnect(lId);
    return;
  }
  pServerSocket->ShutDown();
  pServerSocket->Close();
}

bool CNDKServer::ProcessPendingRead(CNDKServerSocket* pServerSocket, long lError) {
  long lId = 0;
  std::list<CNDKMessage> messages;
  if (m_userManager.ProcessPendingRead(pServerSocket, lError, lId, messages)) {
    for (CNDKMessage& message : messages) TranslateMessage(lId, message);
    return true;
  }
  // Report only when this thread removed the user: a removal by a send
  // failure, DisconnectUser or Stop has been (or is not to be) reported there.
  if (lId == 0) {
    // A connection that was dropped meanwhile has its run flag cleared and is
    // not news to anyone; one that was never listed is reported with id 0.
    if (pServerSocket->IsRunning()) {
      pServerSocket->ShutDown();
      OnDisconnect(0, NDK_DISCONNECT_RECEIVE_FAILED);
    }
    return false;
  }
  if (m_userManager.RemoveUser(lId)) OnDisconnect(lId, NDK_DISCONNECT_RECEIVE_FAILED);
  return false;
}

void CNDKServer::ProcessConnectionEnd(CNDKServerSocket* pServerSocket) {
  long lId = 0;
  if (m_userManager.RemoveUserBySocket(pServerSocket, lId))
    OnDisconnect(lId, NDK_DISCONNECT_RECEIVE_FAILED);
}

void CNDKServer::TranslateMessage(long lId, CNDKMessage& message) {
  OnMessage(lId, message);
}

}  // namespace VeloFramework
