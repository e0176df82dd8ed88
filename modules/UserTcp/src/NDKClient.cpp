#include "NDKClient.h"

#include <Poco/Net/SocketAddress.h>
#include <Poco/Timespan.h>

#include <thread>

namespace VeloFramework {

namespace {
// A send to a server that stops reading gives up after this long instead of
// blocking the sending thread (the module's service loop) for good.
const Poco::Timespan kClientSendTimeout(1, 0);
}  // namespace

// ---------------------------------------------------------------- connection

CNDKClientConnection::CNDKClientConnection() = default;
CNDKClientConnection::~CNDKClientConnection() = default;

CNDKClientSocket::CNDKClientSocket(CNDKClient* pClient) : CNDKSocket(&m_streamSocket, pClient) {}

CNDKClientSocket::~CNDKClientSocket() = default;

void CNDKClientSocket::run() {
  CNDKSocket::run();
}

void CNDKClientSocket::OnConnect(int) {}

void CNDKClientSocket::OnReceive(int nError) {
  if (m_lpClient != nullptr) m_lpClient->ProcessPendingRead(this, nError);
}

bool CNDKClientSocket::BeginLoop() {
  std::lock_guard<std::mutex> lock(m_lifeMutex);
  if (m_bLooping || m_bReleased) return false;
  m_bLooping = true;
  return true;
}

void CNDKClientSocket::EndLoop() {
  bool bFree = false;
  {
    std::lock_guard<std::mutex> lock(m_lifeMutex);
    m_bLooping = false;
    bFree = m_bReleased;
  }
  if (bFree) delete this;
}

void CNDKClientSocket::Release() {
  {
    std::lock_guard<std::mutex> lock(m_lifeMutex);
    m_bReleased = true;
    if (m_bLooping) return;
  }
  delete this;
}

// -------------------------------------------------------------------- client

CNDKClient::CNDKClient() : m_pSocket(nullptr) {}

CNDKClient::~CNDKClient() {
  CleanUp();
}

bool CNDKClient::ReleaseLocked() {
  if (m_pSocket == nullptr) return false;
  CNDKClientSocket* pSocket = m_pSocket;
  m_pSocket = nullptr;
  pSocket->ShutDown();
  pSocket->Close();
  pSocket->Release();
  return true;
}

bool CNDKClient::OpenConnection(std::string strHost, unsigned nPort) {
  Poco::Mutex::ScopedLock lock(m_mutex);
  ReleaseLocked();
  m_pSocket = new CNDKClientSocket(this);
  if (m_pSocket->Connect(strHost, nPort)) {
    m_pSocket->SetSendTimeout(kClientSendTimeout);
    OnConnected();
    return true;
  }
  ReleaseLocked();
  return false;
}

void CNDKClient::CloseConnection() {
  CloseConnection(NDK_DISCONNECT_BY_REQUEST);
}

void CNDKClient::CloseConnection(NDKClientDisconnection eReason) {
  bool bHad = false;
  {
    Poco::Mutex::ScopedLock lock(m_mutex);
    bHad = ReleaseLocked();
  }
  if (bHad) OnDisconnect(eReason);
}

void CNDKClient::CleanUp() {
  Poco::Mutex::ScopedLock lock(m_mutex);
  ReleaseLocked();
}

void CNDKClient::FinishSending(std::chrono::milliseconds limit) {
  Poco::Mutex::ScopedLock lock(m_mutex);
  if (m_pSocket == nullptr) return;
  m_pSocket->FinishSending();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (m_pSocket->UnsentBytes() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

bool CNDKClient::SendMessageToServer(CNDKMessage& message) {
  {
    Poco::Mutex::ScopedLock lock(m_mutex);
    if (m_pSocket == nullptr) return true;
    if (m_pSocket->SendMessage(message)) return true;
    // Release here, under the same lock as the send: the connection that
    // failed is the one released, never a newer one.
    ReleaseLocked();
  }
  OnDisconnect(NDK_DISCONNECT_SEND_FAILED);
  return false;
}

void CNDKClient::StartListenToServer() {
  CNDKClientSocket* pSocket = nullptr;
  {
    Poco::Mutex::ScopedLock lock(m_mutex);
    if (m_pSocket == nullptr || !m_pSocket->BeginLoop()) return;
    pSocket = m_pSocket;
  }
  pSocket->run();
  bool bStillCurrent = false;
  {
    Poco::Mutex::ScopedLock lock(m_mutex);
    // Still current: the loop ended on an exception, not by a release.
    if (m_pSocket == pSocket) bStillCurrent = ReleaseLocked();
    pSocket->EndLoop();
  }
  if (bStillCurrent) OnDisconnect(NDK_DISCONNECT_RECEIVE_FAILED);
}

bool CNDKClient::ProcessPendingRead(long lError) {
  CNDKClientSocket* pSocket = nullptr;
  {
    Poco::Mutex::ScopedLock lock(m_mutex);
    pSocket = m_pSocket;
  }
  return ProcessPendingRead(pSocket, lError);
}

bool CNDKClient::ProcessPendingRead(CNDKClientSocket* pCaller, long lError) {
  if (lError != 0 || pCaller == nullptr) return false;
  for (;;) {
    CNDKMessage message;
    bool bRead = false;
    {
      Poco::Mutex::ScopedLock lock(m_mutex);
      if (m_pSocket != pCaller) return false;
      bRead = pCaller->ReceiveMessage(message);
      if (!bRead) ReleaseLocked();
    }
    if (!bRead) {
      OnDisconnect(NDK_DISCONNECT_RECEIVE_FAILED);
      return false;
    }
    OnMessage(message);
    {
      Poco::Mutex::ScopedLock lock(m_mutex);
      if (m_pSocket != pCaller) return false;
      if (pCaller->IsBufferEmpty()) return true;
    }
  }
}

bool CNDKClient::ProcessPendingConnect(long lError) {
  if (lError != 0) return false;
  Poco::Mutex::ScopedLock lock(m_mutex);
  if (m_pSocket == nullptr) return false;
  if (m_pSocket->Initialize()) {
    OnConnected();
    return true;
  }
  ReleaseLocked();
  return false;
}

bool CNDKClient::IsConnected() {
  Poco::Mutex::ScopedLock lock(m_mutex);
  return m_pSocket != nullptr;
}

void CNDKClient::GetIpAndPort(std::string& strHost, unsigned& nPort) {
  Poco::Mutex::ScopedLock lock(m_mutex);
  if (m_pSocket != nullptr) m_pSocket->GetPeerAddress(&strHost, &nPort);
}

}  // namespace VeloFramework
