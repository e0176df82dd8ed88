// Delivery over the control queue: the poll that takes one record per cycle
// (from the backlog first), and the sends that never block inside msgsnd and
// make room by taking this module's own records into the backlog.
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "CommunicationModuleBase.h"
#include "ModuleSupport.h"

namespace VeloFramework {

using detail::g_stopSignal;
using detail::NowNs;
using detail::PrintLine;
using detail::ProcessExists;

namespace {

// Pause between two tries of a send that found the queue full.
constexpr useconds_t kSendRetryMicroseconds = 200;
// How long an image may wait for room in the queue.
constexpr auto kImageSendBudget = std::chrono::milliseconds(2);
// How often a waiting send checks that its destination still exists.
constexpr auto kPeerCheckPeriod = std::chrono::milliseconds(100);
// A waiting send says so once it has waited this long.
constexpr auto kSendWaitReport = std::chrono::seconds(1);
// Header of a record body: source (8), event (4), length (4).
constexpr ssize_t kRecordHeaderBytes = 16;

}  // namespace

void CCommunicationModuleBase::GetControlMessage() {
  ControlMessage message;
  ssize_t received;
  if (m_nBacklogCount > 0) {
    PendingRecord& oldest = m_backlog[m_nBacklogHead];
    std::memcpy(&message, &oldest.message, sizeof message);
    received = oldest.received;
    m_nBacklogHead = (m_nBacklogHead + 1) % kBacklogCapacity;
    --m_nBacklogCount;
  } else {
    received = m_ctlMsgQueue.GetMessage(message);
    if (received <= 0) return;
  }
  // A sender may put a body shorter than the fixed one on the queue; what
  // was not received reads as zeros and must not be taken for data.
  const uint32_t length = message.msgData.nMsgLength;
  if (received < kRecordHeaderBytes || length > kMaxMessageDataLength ||
      received < kRecordHeaderBytes + static_cast<ssize_t>(length)) {
    PrintLine("[COMMBASE][ERROR] Dropped a record from node [" +
              std::to_string(message.nMsgTypeSrc) + "]: event " + std::to_string(message.nEvent) +
              ", length " + std::to_string(length) + ", " + std::to_string(received) +
              " body bytes received");
    return;
  }
  const int32_t source =
      static_cast<int32_t>(static_cast<uint64_t>(message.nMsgTypeSrc) & 0xffffffffu);
  if (source < 0) return;
  if (message.nEvent == EN_REQ_MODULE_MANAGER_UNLOAD) {
    UnloadModule();
  } else {
    HandleRequest(message);
  }
}

void CCommunicationModuleBase::HandleRequest(StructControlMessage&) {}

int CCommunicationModuleBase::SendMessage(int lMsgTypeDst, uint32_t nEvent,
                                          StructMessageData* message) {
  ControlMessage record;
  if (!m_ctlMsgQueue.PrepareMessage(lMsgTypeDst, nEvent, message, record)) return -1;
  return DeliverRecord(record, false);
}

int CCommunicationModuleBase::SendMessageToKORE(uint32_t nEvent, StructMessageData* message) {
  return SendMessage(m_korePID, nEvent, message);
}

bool CCommunicationModuleBase::SendImageToKORE(uint32_t nEvent, StructMessageData* message) {
  ControlMessage record;
  if (!m_ctlMsgQueue.PrepareMessage(m_korePID, nEvent, message, record)) return false;
  return DeliverRecord(record, true) > 0;
}

bool CCommunicationModuleBase::TakeIntoBacklog(size_t limit) {
  if (m_nBacklogCount >= limit || m_nBacklogCount >= kBacklogCapacity) return false;
  if (m_receiverThread.load() != std::this_thread::get_id()) return false;
  PendingRecord& slot = m_backlog[(m_nBacklogHead + m_nBacklogCount) % kBacklogCapacity];
  slot.received = m_ctlMsgQueue.GetMessage(slot.message);
  if (slot.received <= 0) return false;
  ++m_nBacklogCount;
  return true;
}

int CCommunicationModuleBase::DeliverRecord(const ControlMessage& record, bool image) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto nextPeerCheck = start + kPeerCheckPeriod;
  bool reported = false;
  for (;;) {
    const int rc = m_ctlMsgQueue.TrySendPrepared(record);
    if (rc != 0) return rc;  // sent, or failed for good (reported)

    // The queue is full. Records addressed to us may be what fills it:
    // taking one off makes room, so try again at once.
    if (TakeIntoBacklog(image ? kImageBacklogLimit : kBacklogCapacity)) continue;

    const auto now = Clock::now();
    if (image && now - start >= kImageSendBudget) {
      const uint64_t skipped = ++m_nSkippedImages;
      const int64_t nowNs = NowNs();
      int64_t last = m_lLastSkipReportNs.load();
      if (last == 0 || nowNs - last >= 1000000000) {
        m_lLastSkipReportNs = nowNs;
        PrintLine("[COMMBASE][WARNING] Control queue full: image event " +
                  std::to_string(record.nEvent) + " skipped (" + std::to_string(skipped) +
                  " skipped so far)");
      }
      return 0;
    }
    if (g_stopSignal.load() != 0) {
      PrintLine("[COMMBASE][ERROR] Event " + std::to_string(record.nEvent) + " to node [" +
                std::to_string(record.lMsgTypeDst) + "] not sent: the module is stopping");
      return -1;
    }
    if (!image && now >= nextPeerCheck) {
      nextPeerCheck = now + kPeerCheckPeriod;
      if (!ProcessExists(static_cast<pid_t>(record.lMsgTypeDst))) {
        PrintLine("[COMMBASE][ERROR] Event " + std::to_string(record.nEvent) + " to node [" +
                  std::to_string(record.lMsgTypeDst) +
                  "] not sent: the control queue is full and the node is gone");
        return -1;
      }
      if (!reported && now - start >= kSendWaitReport) {
        reported = true;
        PrintLine("[COMMBASE][WARNING] Event " + std::to_string(record.nEvent) + " to node [" +
                  std::to_string(record.lMsgTypeDst) + "] waits for room in the control queue");
      }
    }
    usleep(kSendRetryMicroseconds);
  }
}

}  // namespace VeloFramework
