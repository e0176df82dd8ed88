#include "NDKUser.h"

#include <Poco/Bugcheck.h>

#include "NDKServer.h"

namespace VeloFramework {

CNDKUser::CNDKUser() : m_lId(0), m_lpServerSocket(nullptr) {}

CNDKUser::CNDKUser(long lId, CNDKServerSocket* pServerSocket)
    : m_lId(lId), m_lpServerSocket(pServerSocket) {
  poco_assert((lId > 0) && (pServerSocket != NULL));
}

CNDKUser::~CNDKUser() = default;

bool CNDKUser::IsSocketBufferEmpty() const {
  poco_assert(m_lpServerSocket != NULL);
  return m_lpServerSocket->IsBufferEmpty();
}

bool CNDKUser::SendMessage(char* pData, int nLength) const {
  poco_assert(m_lpServerSocket != NULL);
  return m_lpServerSocket->SendMessage(pData, nLength);
}

bool CNDKUser::ReadMessage(CNDKMessage& message) const {
  poco_assert(m_lpServerSocket != NULL);
  return m_lpServerSocket->ReceiveMessage(message);
}

void CNDKUser::CloseSocket() const {
  if (m_lpServerSocket == nullptr) return;
  m_lpServerSocket->ShutDown();
  m_lpServerSocket->Close();
}

}  // namespace VeloFramework
