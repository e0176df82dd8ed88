// CNDKSocket: the per-connection layer of the NDK toolkit. It configures a
// connected POCO stream socket, writes and reads unframed messages, and runs
// the poll loop that turns readable data into OnReceive calls on its owner.
#pragma once

#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <atomic>
#include <mutex>
#include <string>

#include "NDKMessage.h"

namespace VeloFramework {

class CNDKServer;
class CNDKClient;

// Largest number of bytes taken by one read; every read becomes one message.
constexpr int NDK_MAX_READ_LENGTH = 100000;

class CNDKSocket {
 public:
  CNDKSocket();
  CNDKSocket(Poco::Net::StreamSocket* pSocket, CNDKServer* pServer);
  CNDKSocket(Poco::Net::StreamSocket* pSocket, CNDKClient* pClient);
  // Closes the socket if it is still held; never frees the StreamSocket,
  // which belongs to the connection object.
  virtual ~CNDKSocket();
  CNDKSocket(const CNDKSocket&) = delete;
  CNDKSocket& operator=(const CNDKSocket&) = delete;

  // Hooks; the argument is an error code, 0 for none. Only OnReceive is
  // driven by the poll loop.
  virtual void OnSend(int nError);
  virtual void OnReceive(int nError);
  virtual void OnAccept(int nError);
  virtual void OnClose(int nError);
  virtual void OnConnect(int nError);

  // Poll loop: waits up to 1 s at a time for readable data and calls
  // OnReceive(0); returns once ShutDown cleared the run flag, or after
  // printing an exception thrown by the poll or the read step.
  virtual void run();

  // No-delay on, 1000000-byte kernel buffers both ways, 500 us send timeout,
  // blocking mode. True, also without a socket; false (exception printed)
  // when the socket refuses an option.
  bool Initialize();

  // Sets the send timeout alone; false (printed) when the socket refuses it.
  bool SetSendTimeout(const Poco::Timespan& timeout);

  // Connects to host:port (port taken as 16 bits) with a 1 s timeout and sets
  // the connected flag. False with the exception printed on failure.
  bool Connect(const std::string& strHost, unsigned& nPort);

  // Writes all bytes. False without a socket, for a length of 0 or less, or
  // when a send fails or times out. Does not look at the connected flag.
  bool SendMessage(char* pData, int nLength);
  // Client form: false without touching the socket while not connected;
  // a failed send clears the connected flag.
  bool SendMessage(CNDKMessage& message);

  // One read of at most 100000 bytes into `message`. False (message left
  // unchanged) when the peer closed, on error, or without a socket.
  bool ReceiveMessage(CNDKMessage& message);

  // The peer's address text and port; outputs unchanged without a socket.
  void GetPeerAddress(std::string* pHost, unsigned* pPort);

  // True without a socket or when nothing can be read without blocking.
  bool IsBufferEmpty();
  // True when the peer has closed its end (or the connection failed) and
  // left nothing unread; false while data waits or the peer is still there.
  // Does not block.
  bool IsPeerGone();

  // Orderly end of sending: shuts the sending direction down, so the peer
  // receives every byte already written and then the end of the stream.
  void FinishSending();
  // Makes the coming ShutDown / Close abort the connection: no FIN, the
  // peer gets a reset (SO_LINGER 0) and cannot take the end for a clean one.
  void AbortOnClose();
  // Bytes written to the socket that the peer has not acknowledged yet; 0
  // without a socket.
  int UnsentBytes();

  // Clears the run flag, then shuts the socket down both ways, which also
  // wakes a poll loop waiting on it.
  void ShutDown();
  // Closes the socket and forgets it. While the poll loop of this object is
  // running, the descriptor itself is released when the loop ends, so the
  // loop never polls a descriptor number that may already belong to another
  // connection.
  void Close();

  bool IsRunning() const { return m_bRun.load(); }
  bool IsConnected() const { return m_bConnected.load(); }

 protected:
  Poco::Net::StreamSocket* m_pSocket;  // guarded by m_socketMutex
  CNDKServer* m_lpServer;
  CNDKClient* m_lpClient;
  std::atomic<bool> m_bRun;
  std::atomic<bool> m_bConnected;

 private:
  bool SendAll(Poco::Net::StreamSocket& socket, const char* pData, int nLength);

  std::mutex m_socketMutex;
  bool m_bLoopActive = false;    // guarded by m_socketMutex
  bool m_bClosePending = false;  // guarded by m_socketMutex
  bool m_bAbort = false;         // guarded by m_socketMutex
};

}  // namespace VeloFramework
