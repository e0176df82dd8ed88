// CNDKUserManager: the list of a server's connected users and the id counter.
// Every operation takes the list's lock, so the acceptor, the connection
// threads and the owner's threads may call it at the same time.
#pragma once

#include <chrono>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "NDKMessage.h"
#include "NDKUser.h"

namespace VeloFramework {

class CNDKServerSocket;

class CNDKUserManager {
 public:
  CNDKUserManager();
  // Empties the list without closing any connection.
  virtual ~CNDKUserManager();
  CNDKUserManager(const CNDKUserManager&) = delete;
  CNDKUserManager& operator=(const CNDKUserManager&) = delete;

  // Appends a user with the next id (1, 2, ...; never reused) and returns it.
  long AddUser(CNDKServerSocket* pServerSocket);
  // Closes the user's connection (ShutDown, Close) and erases it; false for
  // an unknown id.
  bool RemoveUser(long lId);
  // Removes the user of this connection if it is still listed; its id in
  // `lId` (0 when none). Used when a connection ends on its own.
  bool RemoveUserBySocket(CNDKServerSocket* pServerSocket, long& lId);
  // Closes and erases every user; the id counter keeps its value.
  void RemoveAllUsers();
  // Makes every user's coming close a reset (CNDKSocket::AbortOnClose).
  void AbortAllUsersOnClose();
  // Shuts the sending direction of every user down, then waits until the
  // peers have acknowledged what was written to them, at most `limit`. The
  // users stay listed.
  void FinishSendingToAllUsers(std::chrono::milliseconds limit);

  // Unknown id: false. A failed send removes the user and gives false.
  bool SendMessage(long lId, char* pData, int nLength);
  // Sends to every user, collects the ids whose send failed in `failed` and
  // removes those users; true when none failed.
  bool SendMessageToAllUsers(char* pData, int nLength, std::list<long>& failed);
  bool SendMessageToAllUsersExceptFor(const std::vector<long>& except, char* pData, int nLength,
                                      std::list<long>& failed);

  CNDKServerSocket* GetSocketFromId(long lId);
  // A copy, or an empty record (id 0).
  CNDKUser GetUserFromId(long lId);
  CNDKUser GetUserFromSocket(CNDKServerSocket* pServerSocket);
  void GetUserIds(std::vector<long>& ids);
  // The peer address of a listed user, looked up under the lock; false for
  // an unknown id.
  bool GetUserPeerAddress(long lId, std::string& strHost, unsigned& nPort);
  long GetNbUsers();

  // Read step of one connection; must run on that connection's own thread
  // (its poll loop), which keeps the connection alive while it reads. Stores
  // the user's id (0 when the connection is not listed) and appends the one
  // message of a single read (at most NDK_MAX_READ_LENGTH bytes): what a
  // connection holds in memory is bounded by one read, and the rest waits in
  // the peer's socket until the owner has taken it. False on a non-zero
  // error, an unlisted connection or a failed read.
  bool ProcessPendingRead(CNDKServerSocket* pServerSocket, long lError, long& lId,
                          std::list<CNDKMessage>& messages);

 private:
  std::recursive_mutex m_mutex;
  std::list<CNDKUser> m_users;
  long long m_lLastId;
};

}  // namespace VeloFramework
