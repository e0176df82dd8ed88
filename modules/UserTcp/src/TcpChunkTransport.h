// The chunk transport of the user TCP module, apart from sockets, areas and
// the control queue:
//  - TcpChunkAssembler gathers KORE's outbound chunk records (requests 22
//    and 23, one record per request) into whole messages;
//  - SendInChunks cuts inbound data into chunk records (events 28 and 31)
//    and hands them to a delivery step one at a time.
// Both report what they drop through a log sink, one line per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "UserTcpRecords.h"

namespace VeloFramework {

using TcpChunkLog = std::function<void(const std::string&)>;

class TcpChunkAssembler {
 public:
  explicit TcpChunkAssembler(TcpChunkLog log);

  // Gathers one chunk record. Chunks count from 1 up to their count; a
  // record outside that (index 0, count 0, index above count) drops it and
  // what was gathered. A chunk longer than kTcpChunkDataSize, or one that
  // would make the message longer than kTcpMaxMessageSize, drops the message
  // and skips its remaining chunks. A chunk out of sequence (the final one
  // too) drops itself and what was gathered; a first chunk (index 1) always
  // begins a new message, dropping an unfinished one. True when `record`
  // was the final chunk of a message that is now ready in Data() /
  // Length(); the caller then calls Reset().
  bool Add(const TcpChunkRecord& record);

  const char* Data() const { return m_data.get(); }
  char* Data() { return m_data.get(); }
  uint32_t Length() const { return m_nLength; }
  // Forgets what was gathered (not the skipping of a dropped message).
  void Reset();

 private:
  bool Append(const TcpChunkRecord& record);

  TcpChunkLog m_log;
  std::unique_ptr<char[]> m_data;
  uint32_t m_nLength = 0;
  uint32_t m_nLastChunk = 0;
  // The message being gathered was dropped for its size; its remaining
  // chunks are skipped.
  bool m_bDiscarding = false;
};

// Cuts `nLength` bytes of `pData` from peer `nId` into chunk records of at
// most kTcpChunkDataSize bytes (index from 1, count, total length) built in
// `scratch`, and passes each to `deliver` in order. Stops at the first chunk
// `deliver` refuses. True when every chunk was delivered; true at once for
// no data.
bool SendInChunks(uint32_t nId, const char* pData, size_t nLength, TcpChunkRecord& scratch,
                  const std::function<bool(const TcpChunkRecord&)>& deliver);

}  // namespace VeloFramework
