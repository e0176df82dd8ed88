#include "NDKUserManager.h"

#include <algorithm>
#include <thread>

#include "NDKServer.h"

namespace VeloFramework {

using Lock = std::lock_guard<std::recursive_mutex>;

CNDKUserManager::CNDKUserManager() : m_lLastId(0) {}

CNDKUserManager::~CNDKUserManager() {
  Lock lock(m_mutex);
  m_users.clear();
}

long CNDKUserManager::AddUser(CNDKServerSocket* pServerSocket) {
  Lock lock(m_mutex);
  ++m_lLastId;
  m_users.emplace_back(static_cast<long>(m_lLastId), pServerSocket);
  return static_cast<long>(m_lLastId);
}

bool CNDKUserManager::RemoveUser(long lId) {
  Lock lock(m_mutex);
  auto it = std::find_if(m_users.begin(), m_users.end(),
                         [lId](const CNDKUser& user) { return user.GetId() == lId; });
  if (it == m_users.end()) return false;
  it->CloseSocket();
  m_users.erase(it);
  return true;
}

bool CNDKUserManager::RemoveUserBySocket(CNDKServerSocket* pServerSocket, long& lId) {
  Lock lock(m_mutex);
  lId = 0;
  auto it = std::find_if(m_users.begin(), m_users.end(), [pServerSocket](const CNDKUser& user) {
    return user.IsSocketEqual(pServerSocket);
  });
  if (it == m_users.end()) return false;
  lId = it->GetId();
  it->CloseSocket();
  m_users.erase(it);
  return true;
}

void CNDKUserManager::RemoveAllUsers() {
  Lock lock(m_mutex);
  for (const CNDKUser& user : m_users) user.CloseSocket();
  m_users.clear();
}

void CNDKUserManager::AbortAllUsersOnClose() {
  Lock lock(m_mutex);
  for (const CNDKUser& user : m_users) user.GetSocket()->AbortOnClose();
}

void CNDKUserManager::FinishSendingToAllUsers(std::chrono::milliseconds limit) {
  // Under the lock throughout: no connection can end and be freed meanwhile.
  Lock lock(m_mutex);
  for (const CNDKUser& user : m_users) user.GetSocket()->FinishSending();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (const CNDKUser& user : m_users) {
    while (user.GetSocket()->UnsentBytes() > 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool CNDKUserManager::SendMessage(long lId, char* pData, int nLength) {
  Lock lock(m_mutex);
  auto it = std::find_if(m_users.begin(), m_users.end(),
                         [lId](const CNDKUser& user) { return user.GetId() == lId; });
  if (it == m_users.end()) return false;
  // The send runs under the lock: the connection cannot end and be freed
  // meanwhile, since its thread removes its entry under this same lock.
  if (it->SendMessage(pData, nLength)) return true;
  it->CloseSocket();
  m_users.erase(it);
  return false;
}

bool CNDKUserManager::SendMessageToAllUsers(char* pData, int nLength, std::list<long>& failed) {
  return SendMessageToAllUsersExceptFor({}, pData, nLength, failed);
}

bool CNDKUserManager::SendMessageToAllUsersExceptFor(const std::vector<long>& except, char* pData,
                                                     int nLength, std::list<long>& failed) {
  Lock lock(m_mutex);
  for (const CNDKUser& user : m_users) {
    if (std::find(except.begin(), except.end(), user.GetId()) != except.end()) continue;
    if (!user.SendMessage(pData, nLength)) failed.push_back(user.GetId());
  }
  for (long lId : failed) RemoveUser(lId);
  return failed.empty();
}

CNDKServerSocket* CNDKUserManager::GetSocketFromId(long lId) {
  Lock lock(m_mutex);
  for (const CNDKUser& user : m_users)
    if (user.GetId() == lId) return user.GetSocket();
  return nullptr;
}

CNDKUser CNDKUserManager::GetUserFromId(long lId) {
  Lock lock(m_mutex);
  for (const CNDKUser& user : m_users)
    if (user.GetId() == lId) return user;
  return CNDKUser();
}

CNDKUser CNDKUserManager::GetUserFromSocket(CNDKServerSocket* pServerSocket) {
  Lock lock(m_mutex);
  for (const CNDKUser& user : m_users)
    if (user.IsSocketEqual(pServerSocket)) return user;
  return CNDKUser();
}

void CNDKUserManager::GetUserIds(std::vector<long>& ids) {
  Lock lock(m_mutex);
  ids.clear();
  for (const CNDKUser& user : m_users) ids.push_back(user.GetId());
}

bool CNDKUserManager::GetUserPeerAddress(long lId, std::string& strHost, unsigned& nPort) {
  Lock lock(m_mutex);
  for (const CNDKUser& user : m_users) {
    if (user.GetId() != lId) continue;
    user.GetSocket()->GetPeerAddress(&strHost, &nPort);
    return true;
  }
  return false;
}

long CNDKUserManager::GetNbUsers() {
  Lock lock(m_mutex);
  return static_cast<long>(m_users.size());
}

bool CNDKUserManager::ProcessPendingRead(CNDKServerSocket* pServerSocket, long lError, long& lId,
                                         std::list<CNDKMessage>& messages) {
  const CNDKUser user = GetUserFromSocket(pServerSocket);
  lId = user.GetId();
  if (lError != 0 || lId == 0) return false;
  // Read outside the list lock: the connection belongs to the calling thread,
  // and a concurrent removal only makes the next read fail. One read per
  // step: the poll loop reads again only after the owner has taken this
  // message, so a peer that sends faster than the owner passes data on is
  // held by TCP flow control instead of filling this process's memory.
  CNDKMessage message;
  if (!user.ReadMessage(message)) return false;
  messages.push_back(std::move(message));
  return true;
}

}  // namespace VeloFramework
