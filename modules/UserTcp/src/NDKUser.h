// CNDKUser: a small value record pairing a server-side user id with its
// connection.
#pragma once

#include "NDKMessage.h"

namespace VeloFramework {

class CNDKServerSocket;

class CNDKUser {
 public:
  // An empty record: id 0, no connection.
  CNDKUser();
  // A real user: requires a positive id and a connection.
  CNDKUser(long lId, CNDKServerSocket* pServerSocket);
  CNDKUser(const CNDKUser&) = default;
  CNDKUser& operator=(const CNDKUser&) = default;
  virtual ~CNDKUser();

  long GetId() const { return static_cast<long>(m_lId); }
  CNDKServerSocket* GetSocket() const { return m_lpServerSocket; }
  bool IsSocketEqual(const CNDKServerSocket* pServerSocket) const {
    return m_lpServerSocket == pServerSocket;
  }

  // These forward to the connection and require one.
  bool IsSocketBufferEmpty() const;
  bool SendMessage(char* pData, int nLength) const;
  bool ReadMessage(CNDKMessage& message) const;
  // ShutDown then Close on the connection, when there is one.
  void CloseSocket() const;

  bool operator==(const CNDKUser& other) const {
    return m_lId == other.m_lId && m_lpServerSocket == other.m_lpServerSocket;
  }

 private:
  long long m_lId;
  CNDKServerSocket* m_lpServerSocket;
};

}  // namespace VeloFramework
