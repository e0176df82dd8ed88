// Echo throughput of the NDK server against a plain POCO TCPServer echo
// written for this benchmark, both measured in the same run with the same
// clients: MB/s and round trips per second with 1 and 32 clients.
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/Net/TCPServerParams.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "NDKServer.h"

using namespace std::chrono;

namespace {

// NDK echo: every message goes straight back to its sender.
class EchoServer : public VeloFramework::CNDKServer {
 public:
  ~EchoServer() override { Stop(); }

 protected:
  bool OnIsConnectionAccepted() override { return true; }
  void OnConnect(long) override {}
  void OnMessage(long id, VeloFramework::CNDKMessage& m) override {
    SendMessageToUser(id, static_cast<char*>(m.GetBuffer()), static_cast<int>(m.GetLength()));
  }
  void OnDisconnect(long, VeloFramework::NDKServerDisconnection) override {}
};

// Plain POCO echo with the same socket options the NDK server applies.
class PlainEcho : public Poco::Net::TCPServerConnection {
 public:
  using Poco::Net::TCPServerConnection::TCPServerConnection;
  void run() override {
    auto& s = socket();
    s.setNoDelay(true);
    char buf[100000];
    try {
      for (;;) {
        int n = s.receiveBytes(buf, sizeof buf);
        if (n <= 0) return;
        for (int off = 0; off < n;) {
          int k = s.sendBytes(buf + off, n - off);
          if (k <= 0) return;
          off += k;
        }
      }
    } catch (...) {
    }
  }
};

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

struct Result {
  double mbPerSecond = 0;
  double roundTripsPerSecond = 0;
  bool ok = true;
};

// `clients` threads each send a message of `size` bytes and wait for its
// echo, again and again for `duration`.
Result Run(int port, int clients, size_t size, milliseconds runFor) {
  std::atomic<uint64_t> bytes{0}, trips{0};
  std::atomic<bool> ok{true};
  std::vector<std::thread> threads;
  const auto end = steady_clock::now() + runFor;
  const auto start = steady_clock::now();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ok = false;
        close(fd);
        return;
      }
      std::string out(size, 'x'), in(size, '\0');
      while (steady_clock::now() < end) {
        if (send(fd, out.data(), size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
          ok = false;
          break;
        }
        size_t got = 0;
        while (got < size) {
          ssize_t n = recv(fd, &in[got], size - got, 0);
          if (n <= 0) {
            ok = false;
            break;
          }
          got += static_cast<size_t>(n);
        }
        if (got < size) break;
        bytes += size;
        ++trips;
      }
      close(fd);
    });
  }
  for (auto& t : threads) t.join();
  const double seconds = duration_cast<duration<double>>(steady_clock::now() - start).count();
  return {bytes / seconds / 1e6, trips / seconds, ok.load()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::printf(
        "usage: bench_ndk [SECONDS]\nEcho throughput of the NDK server against a plain "
        "POCO TCPServer echo on loopback, 1 and 32 clients (best of 3 runs, default 0.5 s "
        "each).\n");
    return 0;
  }
  double seconds = 0.5;
  if (argc > 1) {
    char* end = nullptr;
    seconds = std::strtod(argv[1], &end);
    if (argc > 2 || *end != '\0' || !(seconds > 0.0 && seconds <= 600.0)) {
      std::fprintf(stderr, "bench_ndk: SECONDS is one number above 0, at most 600 (see --help)\n");
      return 2;
    }
  }
  const milliseconds duration(static_cast<int>(seconds * 1000));
  // The NDK layer logs every read on standard output; keep the results
  // readable by sending that to /dev/null.
  const int results = dup(STDOUT_FILENO);
  FILE* out = fdopen(results, "w");
  const int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, STDOUT_FILENO);

  EchoServer ndk;
  const int ndkPort = FreePort();
  if (!ndk.StartListening(ndkPort)) {
    std::fprintf(out, "bench_ndk: cannot listen on %d\n", ndkPort);
    return 1;
  }
  Poco::Net::ServerSocket plainSocket(Poco::Net::SocketAddress("127.0.0.1", 0), 64);
  Poco::Net::TCPServerParams::Ptr params = new Poco::Net::TCPServerParams;
  params->setMaxThreads(64);
  Poco::ThreadPool pool(2, 64);
  Poco::Net::TCPServer plain(new Poco::Net::TCPServerConnectionFactoryImpl<PlainEcho>(), pool,
                             plainSocket, params);
  plain.start();
  const int plainPort = plainSocket.address().port();

  std::fprintf(out, "NDK echo vs plain POCO TCPServer echo, loopback, best of 3 runs of %.1f s\n",
               duration.count() / 1000.0);
  std::fprintf(out, "%8s %8s | %10s %12s | %10s %12s | %8s\n", "clients", "bytes", "NDK MB/s",
               "NDK trips/s", "POCO MB/s", "POCO trips/s", "ratio");
  bool allOk = true;
  for (int clients : {1, 32}) {
    for (size_t size : {size_t{64}, size_t{4096}, size_t{65536}}) {
      // Best of three alternating runs: the machine is shared and noisy.
      Result n, p;
      for (int rep = 0; rep < 3; ++rep) {
        const Result rn = Run(ndkPort, clients, size, duration);
        const Result rp = Run(plainPort, clients, size, duration);
        if (rn.mbPerSecond > n.mbPerSecond) n = rn;
        if (rp.mbPerSecond > p.mbPerSecond) p = rp;
        n.ok = n.ok && rn.ok;
        p.ok = p.ok && rp.ok;
      }
      allOk = allOk && n.ok && p.ok;
      std::fprintf(out, "%8d %8zu | %10.2f %12.0f | %10.2f %12.0f | %8.2f%s\n", clients, size,
                   n.mbPerSecond, n.roundTripsPerSecond, p.mbPerSecond, p.roundTripsPerSecond,
                   p.mbPerSecond > 0 ? n.mbPerSecond / p.mbPerSecond : 0.0,
                   n.ok && p.ok ? "" : "  (errors)");
      std::fflush(out);
    }
  }
  std::fprintf(out, "ratio = NDK throughput / plain POCO throughput\n");
  plain.stop();
  ndk.Stop();
  return allOk ? 0 : 1;
}
