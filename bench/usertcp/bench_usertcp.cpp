// Bytes per second through the user TCP module in server mode, both ways,
// against the limits of its chunk exchange, with a bare loopback socket copy
// measured in the same run as the baseline. Runs in private namespaces (the
// module uses the system's fixed names), with a KORE of its own that answers
// every chunk at once.
#include <cstdio>
#include <cstring>

#include "fake_kore.h"
#include "peer.h"
#include "support/isolation.h"

using namespace usertcp_test;
using namespace std::chrono;
using ndk_test::Pattern;
using ndk_test::Peer;

namespace {

constexpr int kPort = 5600;
constexpr double kChunk = 4062;

double Seconds(steady_clock::time_point since) {
  return duration_cast<duration<double>>(steady_clock::now() - since).count();
}

// Bare loopback copy: one TCP stream, 64 KiB writes.
double LoopbackBytesPerSecond() {
  ndk_test::Listener listener(kPort + 1);
  Peer a;
  if (!a.Connect(kPort + 1)) return 0;
  Peer b = listener.Accept();
  const std::string block(65536, 'x');
  const size_t total = 64u << 20;
  const auto start = steady_clock::now();
  std::thread writer([&] {
    for (size_t sent = 0; sent < total; sent += block.size()) a.Send(block);
  });
  size_t got = 0;
  while (got < total) {
    std::string s = b.Receive(std::min<size_t>(total - got, 1 << 20));
    if (s.empty()) break;
    got += s.size();
  }
  writer.join();
  return got / Seconds(start);
}

int Bench() {
  std::printf("user TCP module throughput (server mode, loopback)\n");
  const double baseline = LoopbackBytesPerSecond();
  std::printf("  baseline: bare loopback socket copy      %12.0f B/s\n", baseline);

  FakeKore kore;
  kore.SetTakenMargin(milliseconds(1));
  if (!kore.StartModule(USERTCP_MODULE)) {
    std::printf("bench_usertcp: the module did not start\n");
    return 1;
  }
  kore.Open(1, kPort);
  if (!kore.WaitEvent(21) || !kore.WaitOutput("End of startServices")) return 1;
  Peer peer;
  Event e;
  if (!peer.Connect(kPort) || !kore.WaitEvent(29, 10s, &e)) return 1;
  const uint32_t id = e.Value();

  // Peer to KORE: every chunk waits for its acknowledgement and a 50 ms
  // pause, so one connection is bounded by 4062 bytes per 50 ms.
  const std::string in = Pattern(200000, 1);
  auto start = steady_clock::now();
  peer.Send(in);
  test_support::WaitUntil([&] { return kore.Data(id).size() >= in.size(); }, 60s);
  const double inward = kore.Data(id).size() / Seconds(start);
  const bool inOk = kore.Data(id) == in;
  const double inLimit = kChunk / 0.050;

  // KORE to peer: one chunk per request, one request per service cycle
  // (1 ms pause plus the cycle's work): at most 4062 bytes per millisecond.
  const std::string out = Pattern(100000, 2);
  std::string received;
  start = steady_clock::now();
  std::thread reader([&] { received = peer.Receive(3 * out.size(), 60s); });
  for (int i = 0; i < 3; ++i) kore.SendMessage(23, id, out);
  reader.join();
  const double outward = received.size() / Seconds(start);
  const bool outOk = received == out + out + out;
  const double outLimit = kChunk / 0.001;

  std::printf(
      "  peer to KORE  %12.0f B/s  limit %10.0f B/s  ratio to limit %.2f  to baseline %.6f%s\n",
      inward, inLimit, inward / inLimit, inward / baseline, inOk ? "" : "  DATA MISMATCH");
  std::printf(
      "  KORE to peer  %12.0f B/s  limit %10.0f B/s  ratio to limit %.2f  to baseline %.6f%s\n",
      outward, outLimit, outward / outLimit, outward / baseline, outOk ? "" : "  DATA MISMATCH");
  std::printf(
      "  limits: inward one 4062-byte chunk per acknowledgement plus a 50 ms pause;\n"
      "          outward one 4062-byte chunk per request and 1 ms service cycle\n");
  return inOk && outOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf(
        "usage: bench_usertcp\nBytes per second through the user TCP module both ways "
        "against its design limits and a bare loopback copy. Needs root or user "
        "namespaces (runs in private namespaces).\n");
    return 0;
  }
  if (argc > 1) {
    std::fprintf(stderr, "bench_usertcp: unknown argument '%s' (see --help)\n", argv[1]);
    return 2;
  }
  return test_support::RunIsolated(Bench);
}
