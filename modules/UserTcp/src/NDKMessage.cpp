#include "NDKMessage.h"

#include <cstring>
#include <utility>

namespace VeloFramework {

CNDKMessage::CNDKMessage() : m_pBuffer(nullptr), m_lLength(0) {}

CNDKMessage::CNDKMessage(const void* pData, long lLength) : m_pBuffer(nullptr), m_lLength(0) {
  SetBuffer(pData, lLength);
}

CNDKMessage::CNDKMessage(const CNDKMessage& other) : m_pBuffer(nullptr), m_lLength(0) {
  SetBuffer(other.m_pBuffer, static_cast<long>(other.m_lLength));
}

CNDKMessage& CNDKMessage::operator=(const CNDKMessage& other) {
  if (this != &other) SetBuffer(other.m_pBuffer, static_cast<long>(other.m_lLength));
  return *this;
}

CNDKMessage::CNDKMessage(CNDKMessage&& other) noexcept
    : m_pBuffer(std::exchange(other.m_pBuffer, nullptr)),
      m_lLength(std::exchange(other.m_lLength, 0)) {}

CNDKMessage& CNDKMessage::operator=(CNDKMessage&& other) noexcept {
  if (this != &other) {
    delete[] m_pBuffer;
    m_pBuffer = std::exchange(other.m_pBuffer, nullptr);
    m_lLength = std::exchange(other.m_lLength, 0);
  }
  return *this;
}

CNDKMessage::~CNDKMessage() {
  delete[] m_pBuffer;
}

void CNDKMessage::SetBuffer(const void* pData, long lLength) {
  // Copy first so that a source inside our own buffer stays valid.
  unsigned char* pNew = nullptr;
  if (lLength > 0 && pData != nullptr) {
    pNew = new unsigned char[static_cast<size_t>(lLength)];
    std::memcpy(pNew, pData, static_cast<size_t>(lLength));
  } else {
    lLength = 0;
  }
  delete[] m_pBuffer;
  m_pBuffer = pNew;
  m_lLength = lLength;
}

}  // namespace VeloFramework
