// Records, names and codes shared by the user TCP module and KORE: the Tx and
// Rx shared areas, the three records laid in them, the requests the module
// serves and the events it sends. Every integer is 32 bits in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VeloFramework {

// Shared areas and their private semaphores; %d is the module's pid.
constexpr const char* kUserTcpTxAreaFormat = "SHM_UserTcp_%d_Tx";
constexpr const char* kUserTcpRxAreaFormat = "SHM_UserTcp_%d_Rx";
constexpr const char* kUserTcpSemaphoreFormat = "SEM_UserTcp_%d";
constexpr int32_t kUserTcpAreaSize = 100000;

constexpr uint32_t kTcpChunkDataSize = 4062;     // bytes of data per chunk
constexpr uint32_t kTcpMaxMessageSize = 100000;  // largest message KORE may send

// Modes of the open record.
constexpr int32_t kTcpModeServer = 1;
constexpr int32_t kTcpModeClient = 2;

#pragma pack(push, 1)
// One chunk of a message: in the Rx area (module to KORE, events 28 and 31)
// and in the Tx area (KORE to module, requests 22 and 23).
struct TcpChunkRecord {
  uint32_t nReserved;
  uint32_t nId;           // client id (server mode): sender (Rx) or destination (Tx)
  uint32_t nChunkLength;  // data bytes in this chunk, at most 4062
  uint32_t nTotalLength;  // length of the whole message (Rx)
  uint32_t nChunkIndex;   // from 1
  uint32_t nChunkCount;
  char chData[kTcpChunkDataSize];
};

// The open parameters, at the start of the Tx area (request 20).
struct TcpOpenRecord {
  uint32_t nReserved;
  int32_t nMode;  // 1 server, 2 client
  int32_t nPort;  // to listen on, or to connect to
  char reserved[52];
  char chIp[16];  // zero-terminated server address (client mode)
};

// A new client's details, at the start of the Rx area before event 29.
struct TcpPeerRecord {
  uint32_t nId;
  uint32_t nPort;
  char chIp[16];  // zero-terminated
};
#pragma pack(pop)

static_assert(sizeof(TcpChunkRecord) == 4086, "chunk record is 4086 bytes");
static_assert(offsetof(TcpChunkRecord, nId) == 4, "nId at 4");
static_assert(offsetof(TcpChunkRecord, nChunkLength) == 8, "nChunkLength at 8");
static_assert(offsetof(TcpChunkRecord, nTotalLength) == 12, "nTotalLength at 12");
static_assert(offsetof(TcpChunkRecord, nChunkIndex) == 16, "nChunkIndex at 16");
static_assert(offsetof(TcpChunkRecord, nChunkCount) == 20, "nChunkCount at 20");
static_assert(offsetof(TcpChunkRecord, chData) == 24, "chData at 24");
static_assert(sizeof(TcpOpenRecord) == 80, "open record is 80 bytes");
static_assert(offsetof(TcpOpenRecord, nMode) == 4, "nMode at 4");
static_assert(offsetof(TcpOpenRecord, nPort) == 8, "nPort at 8");
static_assert(offsetof(TcpOpenRecord, chIp) == 64, "chIp at 64");
static_assert(sizeof(TcpPeerRecord) == 24, "peer record is 24 bytes");
static_assert(offsetof(TcpPeerRecord, nPort) == 4, "nPort at 4");
static_assert(offsetof(TcpPeerRecord, chIp) == 8, "chIp at 8");

// Requests KORE sends besides those of the control queue's table: the
// acknowledgement of a chunk read from the Rx area, and its refusal.
enum {
  EN_REQ_TCP_ACK_SUCCESS = 34,
  EN_REQ_TCP_ACK_FAILURE = 35,
};

// Events the module sends to KORE.
enum {
  EN_NOTIFY_TCP_OPEN_FAILED = 20,
  EN_NOTIFY_TCP_OPENED = 21,
  EN_NOTIFY_TCP_CLOSE_BAD_MODE = 22,
  EN_NOTIFY_TCP_CLOSED = 23,
  EN_NOTIFY_TCP_SERVER_RECEIVED = 28,   // chunk record in Rx
  EN_NOTIFY_TCP_NEW_CONNECT = 29,       // 4 bytes: client id; peer record in Rx
  EN_NOTIFY_TCP_DISCONNECT = 30,        // 4 bytes: client id
  EN_NOTIFY_TCP_CLIENT_RECEIVED = 31,   // chunk record in Rx
  EN_NOTIFY_TCP_RECONNECT_FAILED = 32,  // 4 bytes: disconnection reason
  EN_NOTIFY_TCP_RECONNECTED = 33,       // empty payload
};

}  // namespace VeloFramework
