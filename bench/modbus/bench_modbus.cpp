// bench_modbus: read-holding-registers round trip and requests per second of
// the Modbus slave module with 1, 8 and 64 clients, beside a bare libmodbus
// server over the same tables (no controller work, no cycle pause) measured
// in the same run. Needs port 502 and the system's global names, so it runs
// itself inside scripts/isolated.
#include <fcntl.h>
#include <modbus/modbus.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double g_seconds = 2.0;  // measuring time per configuration and server

// --- bare libmodbus server --------------------------------------------------

[[noreturn]] void BareServer() {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  modbus_t* ctx = modbus_new_tcp(nullptr, 502);
  modbus_mapping_t* map = modbus_mapping_new_start_address(0, 301, 0, 0, 0, 601, 0, 0);
  const int server = modbus_tcp_listen(ctx, 64);
  if (ctx == nullptr || map == nullptr || server < 0) _exit(1);
  fd_set watched;
  FD_ZERO(&watched);
  FD_SET(server, &watched);
  int fdMax = server;
  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    fd_set ready = watched;
    if (select(fdMax + 1, &ready, nullptr, nullptr, nullptr) < 0) continue;
    for (int fd = 0; fd <= fdMax; ++fd) {
      if (!FD_ISSET(fd, &ready)) continue;
      if (fd == server) {
        const int client = modbus_tcp_accept(ctx, const_cast<int*>(&server));
        if (client >= 0 && client < FD_SETSIZE) {
          FD_SET(client, &watched);
          fdMax = std::max(fdMax, client);
        } else if (client >= 0) {
          close(client);
        }
        continue;
      }
      modbus_set_socket(ctx, fd);
      const int rc = modbus_receive(ctx, query);
      if (rc > 0) {
        modbus_reply(ctx, query, rc, map);
      } else {
        FD_CLR(fd, &watched);
        close(fd);
      }
    }
  }
}

// --- KORE stand-in for the module --------------------------------------------

class MiniKore {
 public:
  MiniKore() {
    FILE* f = std::fopen("controlMessageQueue.txt", "a");
    if (f != nullptr) std::fclose(f);
    m_queue = msgget(ftok("controlMessageQueue.txt", 3479), IPC_CREAT | 0644);
    const int fd = shm_open("/mm-shared-mem", O_CREAT | O_RDWR, 0660);
    m_ok = m_queue >= 0 && fd >= 0 && ftruncate(fd, 532) == 0;
    if (fd >= 0) close(fd);
    m_drain = std::thread([this] { Drain(); });
  }
  ~MiniKore() {
    m_stop = true;
    m_drain.join();
  }
  bool Ok() const { return m_ok; }
  bool Loaded() const { return m_loaded; }
  long Images() const { return m_images; }

 private:
  void Drain() {
    struct {
      long type;
      char body[4112];
    } msg;
    while (!m_stop) {
      if (msgrcv(m_queue, &msg, sizeof(msg.body), getpid(), IPC_NOWAIT) < 0) {
        std::this_thread::sleep_for(200us);
        continue;
      }
      uint32_t event;
      std::memcpy(&event, msg.body + 8, 4);
      if (event == 1) m_loaded = true;
      if (event == 43) ++m_images;
    }
  }
  int m_queue = -1;
  bool m_ok = false;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_loaded{false};
  std::atomic<long> m_images{0};
  std::thread m_drain;
};

// --- clients -------------------------------------------------------------------

struct Result {
  double requestsPerSecond = 0;
  double medianUs = 0;
  double p99Us = 0;
  long failures = 0;
};

modbus_t* Connect() {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", 502);
  modbus_set_response_timeout(ctx, 5, 0);
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (modbus_connect(ctx) == 0) return ctx;
    std::this_thread::sleep_for(10ms);
  }
  modbus_free(ctx);
  return nullptr;
}

Result RunClients(int clients) {
  std::vector<modbus_t*> ctxs;
  for (int i = 0; i < clients; ++i) {
    modbus_t* ctx = Connect();
    if (ctx == nullptr) break;
    uint16_t warm[10];
    modbus_read_registers(ctx, 270, 10, warm);  // accepted and served once
    ctxs.push_back(ctx);
  }
  Result result;
  if (static_cast<int>(ctxs.size()) != clients) {
    result.failures = clients;
    return result;
  }
  std::atomic<bool> go{false};
  std::atomic<long> failures{0};
  std::vector<std::vector<float>> latencies(clients);
  const auto deadline = Clock::now() + std::chrono::duration<double>(g_seconds) + 10ms;
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      uint16_t regs[10];
      while (Clock::now() < deadline) {
        const auto t0 = Clock::now();
        if (modbus_read_registers(ctxs[i], 270, 10, regs) != 10) ++failures;
        latencies[i].push_back(std::chrono::duration<float, std::micro>(Clock::now() - t0).count());
      }
    });
  }
  const auto start = Clock::now();
  go = true;
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<float> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  result.requestsPerSecond = all.size() / elapsed;
  if (!all.empty()) {
    result.medianUs = all[all.size() / 2];
    result.p99Us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  }
  result.failures = failures;
  for (modbus_t* ctx : ctxs) {
    modbus_close(ctx);
    modbus_free(ctx);
  }
  return result;
}

void Usage() {
  std::puts(
      "Usage: bench_modbus [--seconds S]\n"
      "\n"
      "Measures read-holding-registers round trip and requests per second of\n"
      "modbus-slave-module with 1, 8 and 64 clients against a bare libmodbus\n"
      "server over the same tables, in the same run, and prints the ratios.\n"
      "Re-runs itself inside scripts/isolated (port 502, control queue and\n"
      "monitoring record are private to the run).");
}

}  // namespace

int main(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      Usage();
      return 0;
    }
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
      g_seconds = std::atof(argv[++i]);
      if (!(g_seconds > 0.05 && g_seconds < 600)) {
        std::fprintf(stderr, "bench_modbus: --seconds wants a value between 0.05 and 600\n");
        return 2;
      }
    } else {
      Usage();
      return 2;
    }
  }
  if (std::getenv("ISOLATED_WORKDIR") == nullptr) {
    // The isolated run starts in a fresh directory: pass our absolute path.
    static char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
      std::perror("bench_modbus: cannot find its own path");
      return 1;
    }
    self[n] = '\0';
    std::vector<char*> args = {const_cast<char*>(ISOLATED_SCRIPT), self};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(ISOLATED_SCRIPT, args.data());
    std::perror("bench_modbus: cannot run scripts/isolated");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  const int counts[] = {1, 8, 64};
  Result bare[3], module[3];
  double cyclesPerSecond[3] = {};

  const pid_t server = fork();
  if (server == 0) BareServer();
  for (int k = 0; k < 3; ++k) bare[k] = RunClients(counts[k]);
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);

  MiniKore kore;
  if (!kore.Ok()) {
    std::fprintf(stderr, "bench_modbus: cannot create the control queue or monitoring record\n");
    return 1;
  }
  const pid_t slave = fork();
  if (slave == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    const std::string pid = std::to_string(getppid());
    execl(MODBUS_SLAVE_MODULE, MODBUS_SLAVE_MODULE, pid.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500 && !kore.Loaded(); ++i) std::this_thread::sleep_for(10ms);
  if (!kore.Loaded()) {
    std::fprintf(stderr, "bench_modbus: the module did not load\n");
    kill(slave, SIGKILL);
    return 1;
  }
  for (int k = 0; k < 3; ++k) {
    const long before = kore.Images();
    const auto t0 = Clock::now();
    module[k] = RunClients(counts[k]);
    cyclesPerSecond[k] =
        (kore.Images() - before) / std::chrono::duration<double>(Clock::now() - t0).count();
  }
  kill(slave, SIGKILL);
  waitpid(slave, nullptr, 0);

  std::printf(
      "Modbus read of 10 holding registers, %.1f s per row; bare = libmodbus server without "
      "controller work\n\n",
      g_seconds);
  std::printf("%7s | %12s %12s %7s | %10s %10s %9s %9s | %8s %13s\n", "clients", "module req/s",
              "bare req/s", "ratio", "module p50", "module p99", "bare p50", "bare p99", "cycles/s",
              "req per cycle");
  bool ok = true;
  for (int k = 0; k < 3; ++k) {
    const double perCycle =
        cyclesPerSecond[k] > 0 ? module[k].requestsPerSecond / cyclesPerSecond[k] : 0;
    std::printf(
        "%7d | %12.0f %12.0f %6.3fx | %8.0fus %8.0fus %7.0fus %7.0fus | %8.0f %6.2f of %3d\n",
        counts[k], module[k].requestsPerSecond, bare[k].requestsPerSecond,
        bare[k].requestsPerSecond > 0 ? module[k].requestsPerSecond / bare[k].requestsPerSecond : 0,
        module[k].medianUs, module[k].p99Us, bare[k].medianUs, bare[k].p99Us, cyclesPerSecond[k],
        perCycle, counts[k]);
    if (module[k].failures || bare[k].failures) {
      std::printf("        failures: module %ld, bare %ld\n", module[k].failures, bare[k].failures);
      ok = false;
    }
  }
  std::printf(
      "\nratio = module / bare requests per second. The module serves one request per ready\n"
      "client per cycle (1 ms pause + two image messages to KORE + select); 'req per cycle'\n"
      "compares what it served with that design limit.\n");
  return ok ? 0 : 1;
}
