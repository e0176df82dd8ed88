// CNDKServer: an abstract multi-client TCP server on POCO's TCPServer. Every
// accepted client gets a user id (1, 2, ...; never reused); the owner hears of
// connections, messages and disconnections through four pure virtual calls.
// Also declares the server's connection (CNDKServerSocket), its connection
// factory and the TCPServerEx wrapper.
#pragma once

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/ThreadPool.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "NDKMessage.h"
#include "NDKSocket.h"
#include "NDKUserManager.h"

namespace VeloFramework {

enum NDKServerDisconnection {
  NDK_DISCONNECT_BY_REQUEST = 0,
  NDK_DISCONNECT_SEND_FAILED = 2,
  NDK_DISCONNECT_RECEIVE_FAILED = 3,
};

// How many connections one server serves at once. Each connection keeps a
// pool thread for its whole life (its poll loop blocks), so the thread limit
// is the number of clients served at the same time; POCO's defaults (16
// threads from the shared default pool, 64 queued) would leave the 17th
// client unserved. 1024 threads leaves ample room above the hundreds of
// clients a robot cell may see while keeping a runaway peer from exhausting
// the process: an idle connection costs one thread whose stack is reserved,
// not committed, plus two socket buffers. Up to 1024 further connections wait
// for a free thread before POCO refuses them.
constexpr int NDK_SERVER_MAX_THREADS = 1024;
constexpr int NDK_SERVER_MAX_QUEUED = 1024;
// A connection thread whose connection ended waits this long (milliseconds)
// for the next accepted connection before it returns to the pool, where
// ReleaseIdleThreads ends it. A burst of connections therefore leaves no
// threads behind once it is over.
constexpr int NDK_SERVER_THREAD_IDLE_MS = 250;
// Backlog of the listening socket. Connections beyond it are not refused:
// while it is full the kernel drops new connection requests and the peer's
// kernel retries them (after 1 s, 3 s, ...), so a larger burst is served,
// only later.
constexpr int NDK_SERVER_BACKLOG = 64;

class CNDKServer;

// What a server's connections and factory share with it. It outlives the
// server's TCPServer, so a connection that finishes after Stop never touches
// a server that is gone: Stop detaches the server here and waits until every
// connection counted here has left its poll loop.
struct CNDKServerLink {
  std::mutex mutex;
  std::condition_variable finished;
  CNDKServer* pServer = nullptr;  // null once the server stopped
  int nActive = 0;                // connections whose run has not ended
};

// One accepted connection: a POCO TCPServerConnection that owns the stream
// socket and a CNDKSocket that reads and writes it.
class CNDKServerSocket : public Poco::Net::TCPServerConnection, public CNDKSocket {
 public:
  CNDKServerSocket(const Poco::Net::StreamSocket& socket, CNDKServer* pServer,
                   std::shared_ptr<CNDKServerLink> link);
  ~CNDKServerSocket() override;

  // The poll loop; when it ends, a user still listed for this connection is
  // removed and reported, then the connection stops counting as active.
  void run() override;
  void OnAccept(int nError) override;
  void OnReceive(int nError) override;

  CNDKServerLink& GetLink() { return *m_link; }

 private:
  std::shared_ptr<CNDKServerLink> m_link;
};

// Makes a CNDKServerSocket for every connection the TCPServer accepts and
// runs the server's accept step on it.
class CNDKServerConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
 public:
  explicit CNDKServerConnectionFactory(std::shared_ptr<CNDKServerLink> link);
  ~CNDKServerConnectionFactory() override;
  Poco::Net::TCPServerConnection* createConnection(const Poco::Net::StreamSocket& socket) override;

 private:
  std::shared_ptr<CNDKServerLink> m_link;
};

class TCPServerEx : public Poco::Net::TCPServer {
 public:
  TCPServerEx(Poco::Net::TCPServerConnectionFactory::Ptr pFactory, Poco::ThreadPool& threadPool,
              const Poco::Net::ServerSocket& socket, Poco::Net::TCPServerParams::Ptr pParams);
  ~TCPServerEx() override;

 protected:
  void run() override;
};

class CNDKServer {
 public:
  CNDKServer();
  // Does what Stop does. A derived owner must call Stop in its own
  // destructor, so that no callback reaches a half-destroyed owner.
  virtual ~CNDKServer();
  CNDKServer(const CNDKServer&) = delete;
  CNDKServer& operator=(const CNDKServer&) = delete;

  // Listens on `nPort` (all addresses, backlog 64) and starts serving. False,
  // with the server left stopped and nothing printed, when the port cannot be
  // bound. Calling it while listening is a programming error.
  bool StartListening(int nPort);
  // Stops accepting, closes every client without callbacks and returns once
  // no connection thread uses this server any more. Safe to call when
  // stopped. From inside a callback it waits for every other connection.
  void Stop();
  bool IsStarted();
  int GetPort();

  long GetNbUsers();
  void GetUserIds(std::vector<long>* pIds);
  // The user's connection, null when unknown. Valid only while the user is
  // listed: use it from the owner's callbacks of that user, or briefly.
  CNDKServerSocket* GetUserSocket(long lId);
  // The peer's address of a user; false when the id is unknown.
  bool GetUserPeerAddress(long lId, std::string& strHost, unsigned& nPort);

  // False for an unknown id or a failed send; both are reported with
  // OnDisconnect(id, NDK_DISCONNECT_SEND_FAILED), a failed send after the
  // user has been removed.
  bool SendMessageToUser(long lId, char* pData, int nLength);
  // Every user whose send failed is removed, then reported in order; true
  // when no send failed.
  bool SendMessageToAllUsers(char* pData, int nLength);
  // Sends to each listed id in order; each failure is reported once. True.
  bool SendMessageToSomeUsers(const std::vector<long>& ids, char* pData, int nLength);
  bool SendMessageToAllUsersExceptFor(const std::vector<long>& ids, char* pData, int nLength);
  bool SendMessageToAllUsersExceptFor(long lId, char* pData, int nLength);

  // Removes the user, then reports OnDisconnect(id, reason) whether or not
  // the id was known; returns whether a user was removed.
  bool DisconnectUser(long lId);
  bool DisconnectUser(long lId, NDKServerDisconnection eReason);
  // Removes every user without callbacks.
  void DisconnectAllUsers();
  // Orderly end before Stop: every user's sending direction is shut down
  // and the peers get up to `limit` to take what was sent to them. No
  // callback.
  void FinishSendingToAllUsers(std::chrono::milliseconds limit);
  // The next Stop resets every client connection instead of ending it.
  void AbortAllUsersOnStop();
  // Removes the user without a callback; false for an unknown id. For an
  // owner that never announced the user.
  bool DropUser(long lId);
  // Ends the pool threads that serve no connection (beyond the pool's two
  // standing threads). Call it regularly from the owner's loop: the pool
  // never shrinks by itself.
  void ReleaseIdleThreads();

  // Accept step, run by the factory on the connection's thread.
  void ProcessPendingAccept(CNDKServerSocket* pServerSocket, long lError);
  // Read step, run from the connection's poll loop.
  bool ProcessPendingRead(CNDKServerSocket* pServerSocket, long lError);
  // End of a connection's poll loop: removes and reports a user still listed.
  void ProcessConnectionEnd(CNDKServerSocket* pServerSocket);
  void TranslateMessage(long lId, CNDKMessage& message);

 protected:
  virtual bool OnIsConnectionAccepted() = 0;
  virtual void OnConnect(long lId) = 0;
  virtual void OnMessage(long lId, CNDKMessage& message) = 0;
  virtual void OnDisconnect(long lId, NDKServerDisconnection eReason) = 0;

 private:
  void StopLocked();

  Poco::Net::ServerSocket* m_pServerSocket;
  std::atomic<int> m_nPort;
  TCPServerEx* m_lpServer;
  CNDKUserManager m_userManager;

  std::mutex m_controlMutex;  // serialises StartListening and Stop
  std::atomic<bool> m_bListening;
  std::shared_ptr<CNDKServerLink> m_link;
  std::unique_ptr<Poco::ThreadPool> m_pThreadPool;
};

}  // namespace VeloFramework
