// CNDKClient: an abstract TCP client with one connection to a server. The
// owner provides the thread that reads (StartListenToServer) and hears of the
// connection, every message and the loss of the link through pure virtual
// calls. Also declares the client's connection classes.
#pragma once

#include <Poco/Mutex.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <chrono>
#include <mutex>
#include <string>

#include "NDKMessage.h"
#include "NDKSocket.h"

namespace VeloFramework {

class CNDKClient;

// A runnable that owns the client's stream socket (created unconnected) and
// a thread object.
class CNDKClientConnection : public Poco::Runnable {
 public:
  CNDKClientConnection();
  ~CNDKClientConnection() override;
  void run() override = 0;

 protected:
  Poco::Net::StreamSocket m_streamSocket;
  Poco::Thread m_thread;
};

// The client's connection: reads and writes through its CNDKSocket part.
// A connection released while its poll loop still runs is freed by that loop
// when it ends, never under it.
class CNDKClientSocket : public CNDKClientConnection, public CNDKSocket {
 public:
  explicit CNDKClientSocket(CNDKClient* pClient);
  ~CNDKClientSocket() override;

  void run() override;
  void OnConnect(int nError) override;
  void OnReceive(int nError) override;

  // Marks the poll loop as running; false when another thread runs it.
  bool BeginLoop();
  // Marks the loop as ended; frees the connection when it was released
  // meanwhile. The object must not be used by the caller afterwards.
  void EndLoop();
  // Frees the connection now, or when its running loop ends.
  void Release();

 private:
  std::mutex m_lifeMutex;
  bool m_bLooping = false;
  bool m_bReleased = false;
};

class CNDKClient {
 public:
  // Reasons passed to OnDisconnect.
  enum NDKClientDisconnection {
    NDK_DISCONNECT_BY_REQUEST = 0,
    NDK_DISCONNECT_SEND_FAILED = 3,
    NDK_DISCONNECT_RECEIVE_FAILED = 4,
  };

  CNDKClient();
  // CleanUp. The owner ends its listening thread first and must not be
  // inside a callback of this client.
  virtual ~CNDKClient();
  CNDKClient(const CNDKClient&) = delete;
  CNDKClient& operator=(const CNDKClient&) = delete;

  // Releases a connection still held (silently), then connects with a 1 s
  // timeout. True and OnConnected() (called with the lock held) on success;
  // false, disconnected and no callback on failure (the error is printed).
  bool OpenConnection(std::string strHost, unsigned nPort);
  // Closes the connection; OnDisconnect(reason) when there was one.
  void CloseConnection();
  void CloseConnection(NDKClientDisconnection eReason);
  // Closes the connection without a callback.
  void CleanUp();
  // Orderly end before CleanUp: shuts the sending direction down and gives
  // the server up to `limit` to take what was sent to it. No callback.
  void FinishSending(std::chrono::milliseconds limit);

  // True without sending when not connected. A failed send releases the
  // connection, reports OnDisconnect(NDK_DISCONNECT_SEND_FAILED) and gives
  // false; an empty message counts as a failed send.
  bool SendMessageToServer(CNDKMessage& message);

  // Runs the current connection's poll loop on the calling thread; returns
  // when the connection is released (or at once without one). A loop that
  // ends on an exception releases its connection and reports
  // NDK_DISCONNECT_RECEIVE_FAILED, so no connection stays without a reader.
  void StartListenToServer();

  // Read loop on the current connection: delivers each message with
  // OnMessage before reading the next, until nothing more is readable. A
  // failed read releases the connection, reports
  // NDK_DISCONNECT_RECEIVE_FAILED and gives false.
  bool ProcessPendingRead(long lError);
  // The same for the loop of `pCaller`; false at once when `pCaller` is no
  // longer the current connection.
  bool ProcessPendingRead(CNDKClientSocket* pCaller, long lError);
  // Configures the current connection (Initialize): OnConnected() on
  // success, CleanUp on failure; false also for a non-zero error.
  bool ProcessPendingConnect(long lError);

  bool IsConnected();
  // The peer's address and port when connected; outputs untouched otherwise.
  void GetIpAndPort(std::string& strHost, unsigned& nPort);

 protected:
  virtual void OnConnected() = 0;
  virtual void OnMessage(CNDKMessage& message) = 0;
  virtual void OnDisconnect(NDKClientDisconnection eReason) = 0;

 private:
  // With m_mutex held: shut down, close and release the current connection.
  // True when there was one.
  bool ReleaseLocked();

  CNDKClientSocket* m_pSocket;
  Poco::Mutex m_mutex;
};

}  // namespace VeloFramework
