#include "MessageQueue.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace VeloFramework {

namespace {

// Prints one whole line on standard output and flushes it, so that lines of
// several threads do not interleave and reach a pipe at once.
void PrintLine(const std::string& line) {
  std::string text = line + "\n";
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

// Creates the key file when it is missing; true when it exists afterwards.
// Done directly rather than through a shell so that nothing depends on the
// shell or on how the file name would be quoted.
bool CreateKeyFile(const char* path) {
  int fd = open(path, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
}

}  // namespace

CMessageQueue::CMessageQueue()
    : m_nCtlMsgQueueID(-1),
      m_lMsgQueueType(static_cast<long>(getpid())),
      m_lMsgQueueMaxSize(0),
      m_controlMessage() {}

CMessageQueue::~CMessageQueue() {
  if (m_nCtlMsgQueueID == -1) {
    PrintLine("[MessageQueue][ERROR] Destroy Message Queue [" + std::to_string(m_nCtlMsgQueueID) +
              "]: FAILED [Invalid Queue ID]");
  }
  // A held queue is left in place: the other nodes go on using it.
}

void CMessageQueue::InitMessageQueue() {
  const char* keyFile = kControlMessageQueueKeyFile;
  struct stat st;
  if (stat(keyFile, &st) != 0) {
    if (CreateKeyFile(keyFile)) {
      PrintLine(std::string("[MessageQueue][INFO] Create Message Queue file [") + keyFile +
                "] SUCCESS");
    } else {
      PrintLine(std::string("[MessageQueue][ERROR] Create Message Queue file [") + keyFile +
                "] FAILED");
      return;
    }
  }

  key_t key = ftok(keyFile, kControlMessageQueueProjectId);
  if (key == -1) {
    PrintLine("[MessageQueue][ERROR] Create unique key for Control Message Queue FAILED");
    return;
  }

  m_nCtlMsgQueueID = msgget(key, IPC_CREAT | 0644);
  if (m_nCtlMsgQueueID == -1) {
    fflush(stdout);
    perror("[MessageQueue][ERROR] Get Control Message Queue ID FAILED");
    return;
  }

  struct msqid_ds info;
  if (msgctl(static_cast<int>(m_nCtlMsgQueueID), IPC_STAT, &info) == -1) {
    fflush(stdout);
    perror("[MessageQueue][WARNING] Get Message Queue information: FAILED");
    return;
  }
  m_lMsgQueueMaxSize = static_cast<int>(info.msg_qbytes / sizeof(ControlMessage));
  PrintLine("[MessageQueue][INFO] Get Control Message Queue [" + std::to_string(m_nCtlMsgQueueID) +
            "] SUCCESS");
}

bool CMessageQueue::PrepareMessage(int lMsgTypeDst, uint32_t nEvent, StructMessageData* message,
                                   ControlMessage& record) {
  if (m_nCtlMsgQueueID == -1) {
    PrintLine("[MessageQueue][ERROR] Sending message FAILED [Message Queue not found]");
    return false;
  }
  if (lMsgTypeDst < 1) {
    PrintLine("[MessageQueue][ERROR] Sending message FAILED [Invalid destination node " +
              std::to_string(lMsgTypeDst) + "]");
    return false;
  }

  std::memset(&record, 0, sizeof record);
  if (message != nullptr && message->nMsgLength != 0) {
    if (message->nMsgLength > kMaxMessageDataLength) message->nMsgLength = kMaxMessageDataLength;
    record.msgData.nMsgLength = message->nMsgLength;
    std::memcpy(record.msgData.chMsgData, message->chMsgData, message->nMsgLength);
  } else {
    record.msgData.nMsgLength = 0;
    PrintLine("[MessageQueue][WARNING] Send a message without data to Control queue");
  }
  record.lMsgTypeDst = lMsgTypeDst;
  record.nMsgTypeSrc = m_lMsgQueueType;
  record.nEvent = nEvent;
  return true;
}

int CMessageQueue::SendRecord(const ControlMessage& record, bool wait) {
  int rc;
  do {
    // A signal delivered while the queue is full interrupts the wait; that
    // is not a failure of the send, so the wait is resumed.
    rc = msgsnd(static_cast<int>(m_nCtlMsgQueueID), &record, kControlMessageBodySize,
                wait ? 0 : IPC_NOWAIT);
  } while (rc == -1 && errno == EINTR);
  if (rc == 0) return static_cast<int>(kControlMessageBodySize);
  if (!wait && errno == EAGAIN) return 0;
  // The caller that must never wait reports a removed queue itself, once.
  if (!wait && (errno == EIDRM || errno == EINVAL)) return kQueueGone;

  fflush(stdout);
  perror("[MessageQueue][ERROR] Send message to Control Message Queue FAILED");
  PrintLine("[MessageQueue][DEBUG] Message content:");
  PrintLine("[MessageQueue][DEBUG] Destination node ID: [" + std::to_string(record.lMsgTypeDst) +
            "]");
  PrintLine("[MessageQueue][DEBUG] Current node ID: [" + std::to_string(record.nMsgTypeSrc) + "]");
  PrintLine("[MessageQueue][DEBUG] Event ID: [" + std::to_string(record.nEvent) + "]");
  PrintLine("[MessageQueue][DEBUG] Additional data length: [" +
            std::to_string(record.msgData.nMsgLength) + "]");
  size_t textLength = strnlen(record.msgData.chMsgData, record.msgData.nMsgLength);
  PrintLine("[MessageQueue][DEBUG] Additional data: [" +
            std::string(record.msgData.chMsgData, textLength) + "]");
  return -1;
}

int CMessageQueue::TrySendPrepared(const ControlMessage& record) {
  if (m_nCtlMsgQueueID == -1) {
    PrintLine("[MessageQueue][ERROR] Sending message FAILED [Message Queue not found]");
    return -1;
  }
  return SendRecord(record, false);
}

int CMessageQueue::SendMessage(int lMsgTypeDst, uint32_t nEvent, StructMessageData* message) {
  // The outgoing record lives on this call's stack: several threads of a
  // module send at the same time, and a shared buffer would mix their records.
  ControlMessage record;
  if (!PrepareMessage(lMsgTypeDst, nEvent, message, record)) return -1;
  return SendRecord(record, true);
}

bool CMessageQueue::IsGone() {
  if (m_nCtlMsgQueueID == -1) return false;
  struct msqid_ds info;
  return msgctl(static_cast<int>(m_nCtlMsgQueueID), IPC_STAT, &info) == -1 &&
         (errno == EIDRM || errno == EINVAL);
}

bool CMessageQueue::Reattach() {
  const key_t key = ftok(kControlMessageQueueKeyFile, kControlMessageQueueProjectId);
  if (key == -1) return false;
  const int id = msgget(key, 0);
  if (id == -1) return false;
  m_nCtlMsgQueueID = id;
  PrintLine("[MessageQueue][INFO] Get Control Message Queue [" + std::to_string(id) + "] SUCCESS");
  return true;
}

bool CMessageQueue::HasMessage() {
  if (m_nCtlMsgQueueID == -1) return false;
  // A receive into no room leaves a waiting record on the queue and fails
  // with E2BIG; ENOMSG when none waits. (A record with an empty body is
  // taken by this call; it carries nothing and would be dropped anyway.)
  long type = 0;
  return msgrcv(static_cast<int>(m_nCtlMsgQueueID), &type, 0, m_lMsgQueueType, IPC_NOWAIT) == -1 &&
         errno == E2BIG;
}

ssize_t CMessageQueue::GetMessage(StructControlMessage& message) {
  if (m_nCtlMsgQueueID == -1) return -1;
  std::memset(&message, 0, sizeof message);
  ssize_t received = msgrcv(static_cast<int>(m_nCtlMsgQueueID), &message, kControlMessageBodySize,
                            m_lMsgQueueType, IPC_NOWAIT);
  if (received == -1 && errno == E2BIG) {
    // A record longer than the fixed body would stay at the head of this
    // node's messages and block every later one; take it, truncated, and
    // drop it.
    msgrcv(static_cast<int>(m_nCtlMsgQueueID), &message, kControlMessageBodySize, m_lMsgQueueType,
           IPC_NOWAIT | MSG_NOERROR);
    PrintLine("[MessageQueue][ERROR] Dropped an oversized message from node [" +
              std::to_string(message.nMsgTypeSrc) + "]");
    std::memset(&message, 0, sizeof message);
    return -1;
  }
  if (received <= 0) return -1;
  return received;
}

uint64_t CMessageQueue::GetCurQueueSize() {
  struct msqid_ds info;
  if (msgctl(static_cast<int>(m_nCtlMsgQueueID), IPC_STAT, &info) == -1) {
    fflush(stdout);
    perror("[MessageQueue][ERROR] Get Message Queue Information: FAILED");
    return ~static_cast<uint64_t>(0);
  }
  return static_cast<uint64_t>(info.msg_qnum);
}

}  // namespace VeloFramework
