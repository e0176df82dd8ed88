// Modbus frame assembly and serving from arbitrary byte streams split at
// arbitrary points. The input is a list of segments, each a length byte L
// followed by L bytes of the stream (the last one may be short); the
// segments reach the module's client socket one at a time, and after each
// the module's ServeClient runs until it has taken every byte sent so far,
// as the service loop does cycle by cycle. The stream then ends (the client
// closes its side).
//
// Besides crashes and sanitizer reports it checks one property: requests
// change only the output fields of the monitoring record.
//
// Needs port 502 and the global names: run it inside scripts/isolated.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modbus_tcp_slave.h"

using VeloFramework::CCommunicationModuleBase;
using VeloFramework::CModbusTcpSlave;
using VeloFramework::MonitoringData;

namespace {

CModbusTcpSlave* g_slave = nullptr;
uint8_t* g_record = nullptr;

// Byte ranges of the record a Modbus write may change.
bool IsOutputByte(size_t offset) {
  return offset < 4                          // output_command_
         || (offset >= 14 && offset < 16)    // control-box outputs
         || offset == 17                     // tool outputs
         || offset == 24 || offset == 32     // analog input types
         || (offset >= 40 && offset < 56)    // analog outputs
         || (offset >= 56 && offset < 312);  // general-purpose registers
}

size_t Unread(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

void Drain(int fd) {
  char sink[4096];
  while (recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  signal(SIGPIPE, SIG_IGN);
  const int fd = shm_open("/mm-shared-mem", O_CREAT | O_RDWR, 0660);
  if (fd < 0 || ftruncate(fd, sizeof(MonitoringData)) != 0) {
    std::fprintf(stderr, "fuzz: cannot create the monitoring record\n");
    std::abort();
  }
  g_record = static_cast<uint8_t*>(
      mmap(nullptr, sizeof(MonitoringData), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  for (size_t i = 0; i < sizeof(MonitoringData); ++i) g_record[i] = static_cast<uint8_t>(i * 7);

  // The module's own log lines would drown the fuzzer's.
  const int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, STDOUT_FILENO);
  CCommunicationModuleBase::UpdateKorePID(getpid());
  g_slave = new CModbusTcpSlave();
  if (!g_slave->IsStarted()) {
    std::fprintf(stderr, "fuzz: the module did not start (run inside scripts/isolated)\n");
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;  // stays within the socket buffers
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  uint8_t before[sizeof(MonitoringData)];
  std::memcpy(before, g_record, sizeof(before));

  bool open = true;
  for (size_t at = 0; open && at < size;) {
    const size_t length = std::min<size_t>(data[at], size - at - 1);
    ++at;
    if (length > 0 && write(pair[1], data + at, length) != static_cast<ssize_t>(length))
      std::abort();
    at += length;
    // Every call takes at least one unread byte or serves a whole frame.
    while (open && Unread(pair[0]) > 0) {
      open = g_slave->ServeClient(pair[0]);
      Drain(pair[1]);
    }
  }
  // End of stream: the module sees the close and forgets the connection
  // (a frame cut short by it is dropped). Bounded: a frame per call.
  shutdown(pair[1], SHUT_WR);
  for (size_t i = 0; open && i <= size + 1; ++i) {
    open = g_slave->ServeClient(pair[0]);
    Drain(pair[1]);
  }
  if (open) {
    std::fprintf(stderr, "fuzz: the module did not see the end of the stream\n");
    std::abort();
  }
  close(pair[0]);
  close(pair[1]);

  for (size_t i = 0; i < sizeof(before); ++i) {
    if (!IsOutputByte(i) && g_record[i] != before[i]) {
      std::fprintf(stderr, "fuzz: request changed record byte %zu\n", i);
      std::abort();
    }
  }
  return 0;
}
