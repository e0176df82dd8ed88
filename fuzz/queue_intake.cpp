// Queue record intake of the module base: records of any body size and any
// header (source, event, length) put on the control queue for the module,
// taken one per poll, partly through the backlog that a send waiting for
// room fills. Every record the module dispatches must be one that was sent,
// whole, in the order sent, with its length within the payload; every
// record whose received body is short of its length, or whose length is
// beyond the payload, must be dropped, never dispatched.
//
// Input: a list of operations, each an op byte and its bytes:
//   0 put a record: body size (2 bytes), source (1), event (1), length (2),
//     then payload bytes (the rest of the body from the input, zeros after)
//   1 poll once
//   2 send a message to KORE (the unload answer's path: it may wait for room
//     and take our own records into the backlog): length field (2 bytes)
//   3 send an image to KORE: length field (2 bytes)
// KORE's records are taken off the queue after each operation.
//
// Uses the control queue: run it inside scripts/isolated.
#include <sys/msg.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "CommunicationModuleBase.h"

using VeloFramework::CCommunicationModuleBase;
using VeloFramework::ControlMessage;
using VeloFramework::StructControlMessage;
using VeloFramework::StructMessageData;

namespace {

constexpr size_t kHeaderBytes = 16;     // source, event, length
constexpr size_t kBodyBytes = 4112;     // the fixed record after its type
constexpr size_t kMaxBodyBytes = 8192;  // the kernel's largest message

// One record put on the queue for the module, as the module should see it.
struct Sent {
  bool valid;  // whole and within bounds: must be dispatched
  std::vector<uint8_t> body;
};

std::deque<Sent> g_expected;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

class IntakeModule : public CCommunicationModuleBase {
 public:
  void StartService() override {}
  void RunningService() override {}
  void StopService() override {}
  using CCommunicationModuleBase::SendImageToKORE;
  using CCommunicationModuleBase::SendMessageToKORE;

 protected:
  void HandleRequest(StructControlMessage& message) override {
    // Dropped records and unloads (dispatched elsewhere) come off first.
    while (!g_expected.empty() &&
           (!g_expected.front().valid ||
            ReadEvent(g_expected.front().body) == VeloFramework::EN_REQ_MODULE_MANAGER_UNLOAD))
      g_expected.pop_front();
    if (g_expected.empty()) Fail("a record was dispatched that was never sent whole");
    const std::vector<uint8_t>& body = g_expected.front().body;
    if (message.msgData.nMsgLength > sizeof message.msgData.chMsgData)
      Fail("a record was dispatched with a length beyond its payload");
    const uint8_t* got = reinterpret_cast<const uint8_t*>(&message) + sizeof(int64_t);
    const size_t compared = kHeaderBytes + message.msgData.nMsgLength;
    if (body.size() < compared || std::memcmp(got, body.data(), compared) != 0)
      Fail("a dispatched record differs from the one sent next");
    g_expected.pop_front();
  }

 private:
  static uint32_t ReadEvent(const std::vector<uint8_t>& body) {
    uint32_t event = 0;
    if (body.size() >= 12) std::memcpy(&event, body.data() + 8, 4);
    return event;
  }
};

IntakeModule* g_module = nullptr;
int g_queue = -1;
long g_kore = 0;

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Done() const { return m_at >= m_size; }
  uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

void DrainKore() {
  static ControlMessage record;
  while (msgrcv(g_queue, &record, kBodyBytes, g_kore, IPC_NOWAIT | MSG_NOERROR) >= 0) {
  }
}

size_t QueuedRecords() {
  msqid_ds info;
  return msgctl(g_queue, IPC_STAT, &info) == 0 ? info.msg_qnum : 0;
}

// Everything of ours left on the queue or in the backlog is polled away
// (KORE's records are drained, so whatever is queued is ours).
void PollAll() {
  for (int i = 0; i < 8192 && (QueuedRecords() > 0 || g_module->BacklogSize() > 0); ++i) {
    g_module->GetControlMessage();
    DrainKore();
  }
}

void Put(Reader& in) {
  const size_t size = in.Word() % (kMaxBodyBytes + 1);
  struct {
    long type;
    uint8_t body[kMaxBodyBytes];
  } message;
  std::memset(&message, 0, sizeof message);
  message.type = static_cast<long>(getpid());
  const int64_t source = static_cast<int8_t>(in.Byte());  // negative sources too
  const uint32_t event = in.Byte();
  const uint32_t length = in.Word();
  std::memcpy(message.body, &source, 8);
  std::memcpy(message.body + 8, &event, 4);
  std::memcpy(message.body + 12, &length, 4);
  for (size_t i = kHeaderBytes; i < size && !in.Done(); ++i) message.body[i] = in.Byte();
  if (msgsnd(g_queue, &message, size, IPC_NOWAIT) != 0) return;  // queue full: not sent
  // The module receives at most the fixed body; a longer one is dropped.
  const bool whole = size <= kBodyBytes;
  const bool valid = whole && size >= kHeaderBytes && length <= 4096 &&
                     size >= kHeaderBytes + length && source >= 0;
  g_expected.push_back(Sent{valid, std::vector<uint8_t>(message.body, message.body + size)});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // KORE is the parent here: a process that exists and never reads.
  g_kore = static_cast<long>(getppid());
  CCommunicationModuleBase::UpdateKorePID(static_cast<pid_t>(g_kore));
  std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
  (void)quiet;
  g_module = new IntakeModule();
  const key_t key = ftok("controlMessageQueue.txt", 3479);
  g_queue = key == -1 ? -1 : msgget(key, 0);
  if (g_queue == -1) Fail("no control queue (run inside scripts/isolated)");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  Reader in(data, size);
  StructMessageData payload;
  while (!in.Done()) {
    const int op = in.Byte() % 4;
    switch (op) {
      case 0:
        Put(in);
        break;
      case 1:
        g_module->GetControlMessage();
        break;
      case 2:
      case 3: {
        const bool image = op == 3;
        std::memset(&payload, 0x5a, sizeof payload);
        payload.nMsgLength = in.Word();
        if (image)
          g_module->SendImageToKORE(44, &payload);
        else
          g_module->SendMessageToKORE(21, &payload);
        break;
      }
    }
    DrainKore();
  }
  PollAll();
  if (!g_expected.empty()) {
    // Only dropped records and unloads may remain unmatched.
    for (const Sent& s : g_expected)
      if (s.valid && s.body.size() >= 12 && s.body[8] != 2)
        Fail("a whole record was never dispatched");
    g_expected.clear();
  }
  return 0;
}
