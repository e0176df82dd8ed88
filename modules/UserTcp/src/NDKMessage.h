// CNDKMessage: an owned byte buffer that carries one unframed message between
// an NDK socket and its owner.
#pragma once

#include <cstdint>

namespace VeloFramework {

class CNDKMessage {
 public:
  // An empty message: no buffer, length 0.
  CNDKMessage();
  // Copies `lLength` bytes from `pData`; a length of 0 (or less) or a null
  // pointer gives an empty message.
  CNDKMessage(const void* pData, long lLength);
  CNDKMessage(const CNDKMessage& other);
  CNDKMessage& operator=(const CNDKMessage& other);
  CNDKMessage(CNDKMessage&& other) noexcept;
  CNDKMessage& operator=(CNDKMessage&& other) noexcept;
  virtual ~CNDKMessage();

  // Replaces the content with a copy of `lLength` bytes from `pData`; the
  // previous array is freed first. A length of 0 leaves the buffer null.
  void SetBuffer(const void* pData, long lLength);

  // The bytes, or null when the message is empty.
  void* GetBuffer() const { return m_pBuffer; }
  long GetLength() const { return static_cast<long>(m_lLength); }

 private:
  unsigned char* m_pBuffer;
  int64_t m_lLength;
};

}  // namespace VeloFramework
