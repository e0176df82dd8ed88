#include "TcpChunkTransport.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace VeloFramework {

namespace {

std::string Printf(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* szFormat, ...) {
  char text[256];
  va_list args;
  va_start(args, szFormat);
  std::vsnprintf(text, sizeof text, szFormat, args);
  va_end(args);
  return text;
}

}  // namespace

TcpChunkAssembler::TcpChunkAssembler(TcpChunkLog log)
    : m_log(std::move(log)), m_data(new char[kTcpMaxMessageSize]) {}

void TcpChunkAssembler::Reset() {
  m_nLength = 0;
  m_nLastChunk = 0;
}

bool TcpChunkAssembler::Append(const TcpChunkRecord& record) {
  if (record.nChunkLength > kTcpChunkDataSize) {
    m_log(Printf("Chunk %u of %u holds %u bytes, more than %u: message dropped", record.nChunkIndex,
                 record.nChunkCount, record.nChunkLength, kTcpChunkDataSize));
    Reset();
    m_bDiscarding = record.nChunkIndex < record.nChunkCount;
    return false;
  }
  if (m_nLength + record.nChunkLength > kTcpMaxMessageSize) {
    m_log(Printf("Message longer than %u bytes: message dropped", kTcpMaxMessageSize));
    Reset();
    m_bDiscarding = record.nChunkIndex < record.nChunkCount;
    return false;
  }
  std::memcpy(m_data.get() + m_nLength, record.chData, record.nChunkLength);
  m_nLength += record.nChunkLength;
  return true;
}

bool TcpChunkAssembler::Add(const TcpChunkRecord& record) {
  // A zeroed or half-written area is no chunk of any message, and what was
  // gathered cannot be completed either.
  if (record.nChunkIndex == 0 || record.nChunkCount == 0 ||
      record.nChunkIndex > record.nChunkCount) {
    m_log(Printf("Chunk record %u of %u is inconsistent: dropped with what was gathered",
                 record.nChunkIndex, record.nChunkCount));
    Reset();
    m_bDiscarding = false;
    return false;
  }
  // A first chunk begins a new message: what was gathered of an unfinished
  // one is dropped, and so is the rest of a message dropped for its size.
  if (record.nChunkIndex == 1) {
    if (m_nLastChunk > 0)
      m_log(Printf("Message unfinished after chunk %u: dropped for a new one", m_nLastChunk));
    Reset();
    m_bDiscarding = false;
  }
  if (m_bDiscarding) {
    if (record.nChunkIndex >= record.nChunkCount) m_bDiscarding = false;
    return false;
  }
  // Every chunk, the final one too, must follow the one before: a message
  // missing a chunk is never handed on as whole.
  if (record.nChunkIndex != m_nLastChunk + 1) {
    m_log(Printf("Chunk %u of %u out of sequence after chunk %u: dropped with what was gathered",
                 record.nChunkIndex, record.nChunkCount, m_nLastChunk));
    Reset();
    return false;
  }
  m_nLastChunk = record.nChunkIndex;
  return Append(record) && record.nChunkIndex == record.nChunkCount;
}

bool SendInChunks(uint32_t nId, const char* pData, size_t nLength, TcpChunkRecord& scratch,
                  const std::function<bool(const TcpChunkRecord&)>& deliver) {
  const uint32_t nCount =
      static_cast<uint32_t>((nLength + kTcpChunkDataSize - 1) / kTcpChunkDataSize);
  for (uint32_t i = 1; i <= nCount; ++i) {
    const size_t nOffset = static_cast<size_t>(i - 1) * kTcpChunkDataSize;
    const uint32_t nChunk =
        static_cast<uint32_t>(std::min<size_t>(kTcpChunkDataSize, nLength - nOffset));
    std::memset(&scratch, 0, sizeof scratch);
    scratch.nId = nId;
    scratch.nChunkLength = nChunk;
    scratch.nTotalLength = static_cast<uint32_t>(nLength);
    scratch.nChunkIndex = i;
    scratch.nChunkCount = nCount;
    std::memcpy(scratch.chData, pData + nOffset, nChunk);
    if (!deliver(scratch)) return false;
  }
  return true;
}

}  // namespace VeloFramework
