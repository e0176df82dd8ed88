// The control message queue: one System V message queue shared by KORE, the
// Module Manager and every communication module. Each process is a node whose
// id is its pid; a record is addressed to a node by using the node's pid as
// the System V message type.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace VeloFramework {

// Largest payload a control message carries.
constexpr uint32_t kMaxMessageDataLength = 4096;
// Body of every record on the queue: the record without its leading
// destination (the System V message type).
constexpr size_t kControlMessageBodySize = 4112;
// Key file (relative to the working directory) and project id of the queue.
constexpr const char* kControlMessageQueueKeyFile = "controlMessageQueue.txt";
constexpr int kControlMessageQueueProjectId = 3479;

// Payload of a control message. Host byte order (little-endian).
struct MessageData {
  uint32_t nMsgLength;                    // meaningful bytes in chMsgData, 0..4096
  char chMsgData[kMaxMessageDataLength];  // payload
};
using StructMessageData = MessageData;

// The fixed 4120-byte record of the control message queue.
struct ControlMessage {
  int64_t lMsgTypeDst;  // destination node (pid); the System V message type, at least 1
  int64_t nMsgTypeSrc;  // sender node (pid)
  uint32_t nEvent;      // request or event code
  MessageData msgData;
};
using StructControlMessage = ControlMessage;

static_assert(sizeof(MessageData) == 4100, "MessageData is 4100 bytes");
static_assert(offsetof(MessageData, nMsgLength) == 0, "nMsgLength at 0");
static_assert(offsetof(MessageData, chMsgData) == 4, "chMsgData at 4");
static_assert(sizeof(ControlMessage) == 4120, "ControlMessage is 4120 bytes");
static_assert(offsetof(ControlMessage, lMsgTypeDst) == 0, "lMsgTypeDst at 0");
static_assert(offsetof(ControlMessage, nMsgTypeSrc) == 8, "nMsgTypeSrc at 8");
static_assert(offsetof(ControlMessage, nEvent) == 16, "nEvent at 16");
static_assert(offsetof(ControlMessage, msgData) == 20, "msgData at 20");
static_assert(offsetof(ControlMessage, msgData.chMsgData) == 24, "chMsgData at 24");
static_assert(sizeof(ControlMessage) - offsetof(ControlMessage, nMsgTypeSrc) ==
                  kControlMessageBodySize,
              "queue body is the record after its destination");

// Module Manager request codes.
enum {
  EN_REQ_MODULE_MANAGER_NONE = 0,
  EN_REQ_MODULE_MANAGER_LOAD = 1,
  EN_REQ_MODULE_MANAGER_UNLOAD = 2,
};

// Module request codes (the gaps are not used).
enum {
  EN_REQ_MODULE_SUB_CMD_NONE = 0,
  EN_REQ_TCP_OPEN = 20,
  EN_REQ_TCP_CLOSE = 21,
  EN_REQ_TCP_WRITE_TCP_SERVER = 22,
  EN_REQ_TCP_WRITE_TCP_CLIENT = 23,
  EN_REQ_TCP_QUERY_TCP_INFO = 24,
  EN_REQ_TCP_QUERY_TCP_CLIENT_INFO = 25,
  EN_REQ_TCP_SERVER_RECEIVED = 26,
  EN_REQ_TCP_CLIENT_RECEIVED = 27,
  EN_REQ_TCP_NOTIFY_NEW_CONNECT = 28,
  EN_REQ_TCP_NOTIFY_DISCONNECT = 29,
  EN_REQ_TCP_CLIENT_ON_DISCONNECTED = 30,
  EN_REQ_TCP_CLIENT_ON_RECONNECTED = 31,
  EN_REQ_TCP_END = 32,
  EN_REQ_SERIAL_OPEN = 50,
  EN_REQ_SERIAL_CLOSE = 51,
  EN_REQ_SERIAL_READ = 52,
  EN_REQ_SERIAL_WRITE = 53,
  EN_REQ_SERIAL_QUERY = 54,
  EN_REQ_SERIAL_QUERY_ALL = 55,
  EN_REQ_SERIAL_END = 56,
  EN_REQ_MODBUSIO_ADDVARIABLE = 70,
  EN_REQ_MODBUSIO_ADDVARIABLE_RTU = 71,
  EN_REQ_MODBUSIO_DELVARIABLE = 72,
  EN_REQ_MODBUSIO_SETVARIABLE = 73,
  EN_REQ_MODBUSIO_SETVARIABLE_BURST = 74,
  EN_REQ_MODBUSIO_GETVARIABLE = 75,
  EN_REQ_MODBUSIO_ADDVARIABLE_MULTI = 76,
  EN_REQ_MODBUSIO_ADDVARIABLE_RTU_MULTI = 77,
  EN_REQ_MODBUSIO_DELVARIABLE_MULTI = 78,
  EN_REQ_MODBUSIO_SETVARIABLE_MULTI = 79,
  EN_REQ_MODBUSIO_GET_MODBUS_CONNECTION_COUNT = 80,
  EN_REQ_MODBUSIO_GET_MODBUS_DATA = 81,
  EN_REQ_MODBUSIO_GET_MODBUS_UNIQUEID = 82,
  EN_REQ_MODBUSIO_END = 83,
  EN_REQ_AI_RUN = 90,
  EN_REQ_AI_MESSAGE_DP = 91,
  EN_REQ_AI_MESSAGE_DP_SEND_ZSL = 92,
  EN_REQ_AI_END = 93,
  EN_REQ_MODBUS_SET_SLAVE_GPR = 110,
  EN_REQ_MODBUS_END = 111,
};

// Status carried as a little-endian uint32 in load and unload responses.
typedef enum : uint32_t {
  EN_RET_STATUS_SUCCESS = 0,
  EN_RET_STATUS_FAILED = 1,
  EN_RET_STATUS_LOAD_FALSE_SHM = 2,
  EN_RET_STATUS_LOAD_FALSE_SEM = 3,
  EN_RET_STATUS_SERIAL_OPENED = 50,
  EN_RET_STATUS_SERIAL_OPENED_NOT_LOADED = 51,
  EN_RET_STATUS_SERIAL_OPEN_NO_CONFIG = 52,
  EN_RET_STATUS_SERIAL_OPEN_INVALID_PORT = 53,
  EN_RET_STATUS_SERIAL_OPEN_INVALID_BAURATE = 54,
  EN_RET_STATUS_SERIAL_OPEN_INVALID_PARITY = 55,
  EN_RET_STATUS_SERIAL_OPEN_INVALID_BYTESIZE = 56,
  EN_RET_STATUS_SERIAL_OPEN_INVALID_STOPBITS = 57,
  EN_RET_STATUS_SERIAL_OPEN_INVALID_TIMEOUT = 58,
  EN_RET_STATUS_SERIAL_WRITE_UNKNOW_DATA = 59,
  EN_RET_STATUS_SERIAL_READ_UNKNOW_DATA = 60,
  EN_RET_STATUS_SERIAL_CONNECTION_NOT_FOUND = 61,
  EN_RET_STATUS_END = 62,  // bound, never sent
} EN_RET_STATUS;

// One node of the control message queue: the calling process.
//
// Not copyable. Sends may come from several threads at once (each msgsnd
// moves one whole record atomically); receiving belongs to one thread.
class CMessageQueue {
 public:
  // Takes the process's pid as the node id; does not touch the queue.
  CMessageQueue();
  // Prints the "Invalid Queue ID" line when no queue was obtained; never
  // removes the queue, which other nodes go on using.
  virtual ~CMessageQueue();

  CMessageQueue(const CMessageQueue&) = delete;
  CMessageQueue& operator=(const CMessageQueue&) = delete;

  // Obtains the shared queue through the key file in the working directory
  // (created when missing). Failures print their line and leave the object
  // without a queue; calling it again obtains the same queue again.
  void InitMessageQueue();

  // Sends one record to node lMsgTypeDst (at least 1). `message` may be null;
  // a length above 4096 is cut to 4096 and written back into *message.
  // Blocks while the queue is full (kore-sim's side; a module sends through
  // the base's bounded sends instead). Returns 4112 on success, -1 on any
  // failure (reported on standard output / error).
  int SendMessage(int lMsgTypeDst, uint32_t nEvent, StructMessageData* message);

  // The two halves of SendMessage, for senders that must never wait on a
  // full queue (the module base retries within its own bounds).
  //
  // PrepareMessage makes the outgoing record for node lMsgTypeDst with the
  // same checks, cut and lines as SendMessage: false (and the error line)
  // when there is no queue or the destination is invalid.
  bool PrepareMessage(int lMsgTypeDst, uint32_t nEvent, StructMessageData* message,
                      ControlMessage& record);
  // One send of a prepared record without waiting. Returns 4112 when it was
  // sent, 0 when the queue is full (nothing sent, nothing printed; the caller
  // may try again), kQueueGone when the queue was removed (nothing printed),
  // -1 on any other failure (reported and dumped like SendMessage).
  int TrySendPrepared(const ControlMessage& record);
  static constexpr int kQueueGone = -2;
  // True when the queue this node holds has been removed.
  bool IsGone();
  // Obtains the queue again through the key file, without creating the file
  // or the queue; true (and one INFO line) when the queue exists again.
  bool Reattach();

  // True when a record addressed to this process waits on the queue; the
  // record stays there (a zero-byte receive that fails with E2BIG).
  bool HasMessage();
  // Takes the oldest record addressed to this process without waiting.
  // Returns the body bytes received (4112 for a well-formed record) or -1
  // when there is no queue, no message or an error. Bytes not received are
  // zero in `message`.
  ssize_t GetMessage(StructControlMessage& message);

  // Number of records currently on the queue (all nodes); all bits set when
  // the queue cannot be inspected.
  uint64_t GetCurQueueSize();

 private:
  // msgsnd of a prepared record; `wait` false makes a full queue return 0.
  int SendRecord(const ControlMessage& record, bool wait);

  // System V queue id; -1 while no queue is held. Atomic: obtained again by
  // the receiving thread (Reattach) while other threads send.
  std::atomic<long> m_nCtlMsgQueueID;
  long m_lMsgQueueType;             // own node id (pid)
  int m_lMsgQueueMaxSize;           // capacity in whole records; 0 until known
  ControlMessage m_controlMessage;  // a record held by the object
};

}  // namespace VeloFramework
