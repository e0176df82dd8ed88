#include "NDKSocket.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Timespan.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <iostream>

namespace VeloFramework {

namespace {

constexpr int kBufferSize = 1000000;
constexpr long kSendTimeoutMicroseconds = 500;

// Runs `fn`; prints any exception with puts and reports it as false.
template <typename Fn>
bool PutsOnException(Fn&& fn) {
  try {
    fn();
    return true;
  } catch (const Poco::Exception& e) {
    std::puts(e.displayText().c_str());
  } catch (const std::exception& e) {
    std::puts(e.what());
  } catch (...) {
    std::puts("Unknown Exception");
  }
  std::fflush(stdout);
  return false;
}

// The same with the standard output stream.
template <typename Fn>
bool StreamOnException(Fn&& fn) {
  try {
    fn();
    return true;
  } catch (const Poco::Exception& e) {
    std::cout << e.displayText() << std::endl;
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
  } catch (...) {
    std::cout << "Unknown Exception\n" << std::endl;
  }
  return false;
}

}  // namespace

CNDKSocket::CNDKSocket()
    : m_pSocket(nullptr),
      m_lpServer(nullptr),
      m_lpClient(nullptr),
      m_bRun(true),
      m_bConnected(false) {}

CNDKSocket::CNDKSocket(Poco::Net::StreamSocket* pSocket, CNDKServer* pServer)
    : m_pSocket(pSocket),
      m_lpServer(pServer),
      m_lpClient(nullptr),
      m_bRun(true),
      m_bConnected(false) {}

CNDKSocket::CNDKSocket(Poco::Net::StreamSocket* pSocket, CNDKClient* pClient)
    : m_pSocket(pSocket),
      m_lpServer(nullptr),
      m_lpClient(pClient),
      m_bRun(true),
      m_bConnected(false) {}

CNDKSocket::~CNDKSocket() {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket != nullptr) {
    Poco::Net::StreamSocket* pSocket = m_pSocket;
    PutsOnException([&] { pSocket->close(); });
    m_pSocket = nullptr;
  }
}

void CNDKSocket::OnSend(int) {}
void CNDKSocket::OnReceive(int) {}
void CNDKSocket::OnAccept(int) {}
void CNDKSocket::OnClose(int) {}
void CNDKSocket::OnConnect(int) {}

void CNDKSocket::run() {
  Poco::Net::StreamSocket* pSocket = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_socketMutex);
    if (m_pSocket == nullptr) return;
    pSocket = m_pSocket;
    m_bLoopActive = true;
  }
  const Poco::Timespan timeout(1, 0);
  PutsOnException([&] {
    while (m_bRun.load()) {
      if (pSocket->poll(timeout, Poco::Net::Socket::SELECT_READ) && m_bRun.load()) OnReceive(0);
    }
  });
  std::lock_guard<std::mutex> lock(m_socketMutex);
  m_bLoopActive = false;
  if (m_bClosePending) {
    m_bClosePending = false;
    PutsOnException([&] { pSocket->close(); });
  }
}

bool CNDKSocket::Initialize() {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return true;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  return PutsOnException([&] {
    pSocket->setNoDelay(true);
    pSocket->setSendBufferSize(kBufferSize);
    pSocket->setReceiveBufferSize(kBufferSize);
    pSocket->setSendTimeout(Poco::Timespan(0, kSendTimeoutMicroseconds));
    pSocket->setBlocking(true);
  });
}

bool CNDKSocket::SetSendTimeout(const Poco::Timespan& timeout) {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return false;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  return PutsOnException([&] { pSocket->setSendTimeout(timeout); });
}

bool CNDKSocket::Connect(const std::string& strHost, unsigned& nPort) {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return false;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  const bool bOk = StreamOnException([&] {
    Poco::Net::SocketAddress address(strHost, static_cast<Poco::UInt16>(nPort));
    pSocket->connect(address, Poco::Timespan(1, 0));
  });
  if (bOk) m_bConnected = true;
  return bOk;
}

bool CNDKSocket::SendAll(Poco::Net::StreamSocket& socket, const char* pData, int nLength) {
  if (nLength <= 0 || pData == nullptr) return false;
  int nSent = 0;
  while (nSent < nLength) {
    // MSG_NOSIGNAL: a peer that reset the connection gives an error here
    // instead of a SIGPIPE that would end the whole process.
    const int n = socket.sendBytes(pData + nSent, nLength - nSent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    nSent += n;
  }
  return true;
}

bool CNDKSocket::SendMessage(char* pData, int nLength) {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return false;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  bool bSent = false;
  if (!PutsOnException([&] { bSent = SendAll(*pSocket, pData, nLength); })) return false;
  return bSent;
}

bool CNDKSocket::SendMessage(CNDKMessage& message) {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return false;
  if (!m_bConnected.load()) return false;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  bool bSent = false;
  const bool bNoException = StreamOnException([&] {
    bSent = SendAll(*pSocket, static_cast<const char*>(message.GetBuffer()),
                    static_cast<int>(message.GetLength()));
  });
  if (!bNoException || !bSent) {
    m_bConnected = false;
    return false;
  }
  return true;
}

bool CNDKSocket::ReceiveMessage(CNDKMessage& message) {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return false;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  char buffer[NDK_MAX_READ_LENGTH];
  int nRead = 0;
  if (!PutsOnException([&] { nRead = pSocket->receiveBytes(buffer, NDK_MAX_READ_LENGTH); })) {
    return false;
  }
  if (nRead <= 0) return false;
  message.SetBuffer(buffer, nRead);
  std::string strHost;
  unsigned nPort = 0;
  PutsOnException([&] {
    const Poco::Net::SocketAddress peer = pSocket->peerAddress();
    strHost = peer.host().toString();
    nPort = peer.port();
  });
  std::printf("%s IP: %s\n", "ReceiveMessage", strHost.c_str());
  std::printf("%s Port: %d\n", "ReceiveMessage", static_cast<int>(nPort));
  std::printf("%s len: %d\n", "ReceiveMessage", nRead);
  std::fflush(stdout);
  return true;
}

void CNDKSocket::GetPeerAddress(std::string* pHost, unsigned* pPort) {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  PutsOnException([&] {
    const Poco::Net::SocketAddress peer = pSocket->peerAddress();
    if (pHost != nullptr) *pHost = peer.host().toString();
    if (pPort != nullptr) *pPort = peer.port();
  });
}

bool CNDKSocket::IsBufferEmpty() {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return true;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  int nAvailable = 0;
  if (!PutsOnException([&] { nAvailable = pSocket->available(); })) return true;
  return nAvailable <= 0;
}

bool CNDKSocket::IsPeerGone() {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return true;
  const int fd = m_pSocket->impl()->sockfd();
  if (fd < 0) return true;
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, 0) <= 0) return false;
  char byte = 0;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void CNDKSocket::FinishSending() {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  PutsOnException([&] { pSocket->shutdownSend(); });
}

int CNDKSocket::UnsentBytes() {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return 0;
  int nUnsent = 0;
  if (::ioctl(m_pSocket->impl()->sockfd(), SIOCOUTQ, &nUnsent) != 0) return 0;
  return nUnsent;
}

void CNDKSocket::AbortOnClose() {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return;
  m_bAbort = true;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  PutsOnException([&] { pSocket->setLinger(true, 0); });
}

void CNDKSocket::ShutDown() {
  m_bRun = false;
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  // An aborted connection sends no FIN: only the reading side is shut, which
  // wakes the connection's reader; the close then resets the connection.
  if (m_bAbort)
    PutsOnException([&] { pSocket->shutdownReceive(); });
  else
    PutsOnException([&] { pSocket->shutdown(); });
}

void CNDKSocket::Close() {
  std::lock_guard<std::mutex> lock(m_socketMutex);
  if (m_pSocket == nullptr) return;
  Poco::Net::StreamSocket* pSocket = m_pSocket;
  m_pSocket = nullptr;
  if (m_bLoopActive) {
    m_bClosePending = true;
    return;
  }
  PutsOnException([&] { pSocket->close(); });
}

}  // namespace VeloFramework
