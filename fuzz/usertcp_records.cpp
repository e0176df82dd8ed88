// The user TCP records KORE writes into the module's Tx area: open records
// (request 20) and chunk records (requests 22 and 23), through the module's
// own request handling, in a module that runs on the real queue, areas and
// loopback sockets; and the chunk records alone through the assembler,
// where every message it completes is checked against the chunks it got.
//
// Input: a list of operations, each an op byte and its bytes:
//   0 open: the 80-byte open record; mode and port are kept to server and
//     client on ports 20000..20015 by two bytes, so that they open
//   1 close (request 21)
//   2 chunk: the 24-byte header, then up to its length of data; sent with
//     request 23 when the op byte has 0x10 set, else 22
//   3 the raw open record as given, request 20 (any mode, port, address)
//   4 a peer: a loopback client connects to the last server port opened,
//     sends a byte count (1 byte) of bytes and leaves (its peer record and
//     chunks go to KORE, who does not acknowledge)
//
// The module's state carries over from input to input, as it does from
// request to request (a server stays open until a close: stopping one takes
// a quarter of a second). Uses the control queue, /dev/shm and sockets: run
// it inside scripts/isolated.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TcpChunkTransport.h"
#include "UserTcp.h"

using namespace VeloFramework;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

class FuzzUserTcp : public CUserTcpServer {
 public:
  using CUserTcpServer::CUserTcpServer;
  void Request(uint32_t event) {
    StructControlMessage message;
    std::memset(&message, 0, sizeof message);
    message.nEvent = event;
    HandleRequest(message);
  }
};

FuzzUserTcp* g_module = nullptr;
uint8_t* g_tx = nullptr;

// KORE's side of the queue: takes every record the module sends.
void DrainKore(int queue, long kore) {
  static ControlMessage record;
  for (;;) msgrcv(queue, &record, sizeof record - sizeof(long), kore, MSG_NOERROR);
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Done() const { return m_at >= m_size; }
  uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  void Bytes(void* out, size_t n) {
    for (size_t i = 0; i < n; ++i) static_cast<uint8_t*>(out)[i] = Byte();
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

// The chunks the standalone assembler took since its last complete message.
struct Gathered {
  std::vector<uint32_t> indices;
  std::string data;
};

void CheckComplete(const TcpChunkAssembler& assembler, const std::vector<Gathered>& runs) {
  // A complete message is chunks 1..n of one message, in order, whole.
  if (runs.empty()) Fail("a message completed from no chunks");
  const Gathered& g = runs.back();
  for (size_t i = 0; i < g.indices.size(); ++i)
    if (g.indices[i] != i + 1) Fail("a message completed from chunks out of sequence");
  if (assembler.Length() != g.data.size() ||
      std::memcmp(assembler.Data(), g.data.data(), g.data.size()) != 0)
    Fail("a completed message differs from its chunks");
  if (assembler.Length() > kTcpMaxMessageSize) Fail("a message beyond the largest size");
}

void Peer(uint16_t port, const std::string& data) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && !data.empty())
    send(fd, data.data(), data.size(), MSG_NOSIGNAL);
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const long kore = static_cast<long>(getppid());
  CCommunicationModuleBase::UpdateKorePID(static_cast<pid_t>(kore));
  std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
  (void)quiet;
  UserTcpTimings timings;
  timings.ackTimeout = std::chrono::milliseconds(1);
  timings.chunkPause = std::chrono::milliseconds(0);
  timings.echoTimeout = std::chrono::milliseconds(1);
  timings.reconnectPause = std::chrono::milliseconds(1);
  timings.reconnectAttempts = 1;
  g_module = new FuzzUserTcp(timings);
  const key_t key = ftok("controlMessageQueue.txt", 3479);
  const int queue = key == -1 ? -1 : msgget(key, 0);
  if (queue == -1) Fail("no control queue (run inside scripts/isolated)");
  std::thread(DrainKore, queue, kore).detach();
  char name[64];
  std::snprintf(name, sizeof name, kUserTcpTxAreaFormat, static_cast<int>(getpid()));
  const int fd = shm_open(name, O_RDWR, 0);
  if (fd < 0) Fail("no Tx area");
  g_tx = static_cast<uint8_t*>(
      mmap(nullptr, kUserTcpAreaSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  if (g_tx == MAP_FAILED) Fail("Tx area not mapped");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  Reader in(data, size);
  TcpChunkAssembler assembler([](const std::string&) {});
  std::vector<Gathered> runs(1);
  int32_t port = 0;
  while (!in.Done()) {
    const uint8_t op = in.Byte();
    switch (op % 5) {
      case 0:
      case 3: {
        TcpOpenRecord record;
        in.Bytes(&record, sizeof record);
        if (op % 5 == 0) {
          record.nMode = (record.nMode & 1) ? kTcpModeServer : kTcpModeClient;
          record.nPort = 20000 + (record.nPort & 15);
          std::snprintf(record.chIp, sizeof record.chIp, "127.0.0.1");
        }
        std::memcpy(g_tx, &record, sizeof record);
        g_module->Request(EN_REQ_TCP_OPEN);
        if (record.nMode == kTcpModeServer) port = record.nPort;
        break;
      }
      case 4: {
        const size_t n = in.Byte();
        if (port > 0 && port < 65536) Peer(static_cast<uint16_t>(port), std::string(n, 'p'));
        break;
      }
      case 1:
        g_module->Request(EN_REQ_TCP_CLOSE);
        break;
      case 2: {
        TcpChunkRecord& record = *reinterpret_cast<TcpChunkRecord*>(g_tx);
        in.Bytes(&record, offsetof(TcpChunkRecord, chData));
        // Small fields, so that sequences happen: index and count 0..7,
        // the length in steps of 32 up to 4064 (just beyond a chunk); a
        // field whose low byte is above 0x7f is taken as it is.
        for (uint32_t* field : {&record.nChunkIndex, &record.nChunkCount})
          if ((*field & 0x80) == 0) *field &= 0x7;
        if ((record.nChunkLength & 0x80) == 0)
          record.nChunkLength = (record.nChunkLength & 0x7f) * 32;
        const size_t length = std::min<size_t>(record.nChunkLength, kTcpChunkDataSize);
        in.Bytes(record.chData, length);
        // The standalone assembler and the record history it is checked by.
        const bool inSequence = record.nChunkIndex >= 1 && record.nChunkIndex <= record.nChunkCount;
        if (record.nChunkIndex == 1 || !inSequence) runs.assign(1, Gathered());
        if (inSequence && record.nChunkLength <= kTcpChunkDataSize) {
          runs.back().indices.push_back(record.nChunkIndex);
          runs.back().data.append(record.chData, record.nChunkLength);
        }
        if (assembler.Add(record)) {
          CheckComplete(assembler, runs);
          assembler.Reset();
          runs.assign(1, Gathered());
        }
        g_module->Request((op & 0x10) ? EN_REQ_TCP_WRITE_TCP_CLIENT : EN_REQ_TCP_WRITE_TCP_SERVER);
        break;
      }
    }
  }
  return 0;
}
