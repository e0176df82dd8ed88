// Round trip of a request through the module base: the benchmark plays KORE,
// sends a request to a running module (framework-echo-module) and times the
// answer. In the same run it times a bare msgsnd/msgrcv ping-pong between two
// processes over the same queue and record size (no service-loop pause), and
// prints both next to the loop's 1000-microsecond pause.
//
// It uses the system's fixed queue key file, so it runs itself in private
// namespaces (scripts/isolated) unless it already is in them.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MessageQueue.h"

using namespace VeloFramework;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kStopEvent = 0xFFFFFFFFu;
constexpr uint32_t kEchoEvent = 1000;
constexpr double kLoopPauseUs = 1000.0;

void OnAlarm(int) {}

// Blocking receive of a record for `type`, given up after `seconds`.
bool Receive(int qid, long type, ControlMessage* msg, unsigned seconds) {
  alarm(seconds);
  // SIGALRM interrupts the wait (no SA_RESTART) when the peer never answers.
  ssize_t n = msgrcv(qid, msg, kControlMessageBodySize, type, 0);
  alarm(0);
  return n == static_cast<ssize_t>(kControlMessageBodySize);
}

bool SendRecord(int qid, long dst, uint32_t event, uint64_t seq) {
  ControlMessage msg;
  std::memset(&msg, 0, sizeof msg);
  msg.lMsgTypeDst = dst;
  msg.nMsgTypeSrc = getpid();
  msg.nEvent = event;
  msg.msgData.nMsgLength = sizeof seq;
  std::memcpy(msg.msgData.chMsgData, &seq, sizeof seq);
  return msgsnd(qid, &msg, kControlMessageBodySize, 0) == 0;
}

struct Stats {
  double median = 0, p99 = 0, max = 0;
};

Stats Summarise(std::vector<double> us) {
  Stats s;
  if (us.empty()) return s;
  std::sort(us.begin(), us.end());
  s.median = us[us.size() / 2];
  s.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  s.max = us.back();
  return s;
}

// Times `count` round trips of request -> answer to node `peer`. With
// `spread`, each request waits a random 0..1000 us first (not timed), so that
// it reaches the module at a random point of its loop pause rather than
// right after the previous answer.
bool TimeRoundTrips(int qid, pid_t peer, int count, int warmup, std::vector<double>* out,
                    bool spread = false) {
  ControlMessage reply;
  unsigned seed = 12345;
  for (int i = -warmup; i < count; ++i) {
    uint64_t seq = static_cast<uint64_t>(i + warmup);
    if (spread) usleep(static_cast<useconds_t>(rand_r(&seed) % 1000));
    auto t0 = Clock::now();
    if (!SendRecord(qid, peer, kEchoEvent, seq)) return false;
    if (!Receive(qid, getpid(), &reply, 10)) return false;
    auto t1 = Clock::now();
    uint64_t back = 0;
    std::memcpy(&back, reply.msgData.chMsgData, sizeof back);
    if (reply.nEvent != kEchoEvent || back != seq) return false;
    if (i >= 0) out->push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  return true;
}

// The baseline peer: answers every record at once, without any pause.
[[noreturn]] void PingPongPeer(int qid) {
  ControlMessage msg;
  for (;;) {
    ssize_t n = msgrcv(qid, &msg, kControlMessageBodySize, getpid(), 0);
    if (n < 0) _exit(errno == EINTR ? 0 : 1);
    if (msg.nEvent == kStopEvent) _exit(0);
    msg.lMsgTypeDst = msg.nMsgTypeSrc;
    msg.nMsgTypeSrc = getpid();
    if (msgsnd(qid, &msg, kControlMessageBodySize, 0) != 0) _exit(1);
  }
}

void Usage() {
  printf(
      "Usage: bench_framework [--requests N]\n"
      "Times the request-to-response round trip through a running module's service loop\n"
      "(median, p99) against a bare msgsnd/msgrcv ping-pong between two processes, and\n"
      "against the loop's 1000-microsecond pause. Runs itself under scripts/isolated.\n");
}

}  // namespace

int main(int argc, char* argv[]) {
  int requests = 3000;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a == "--requests" && i + 1 < argc) {
      requests = std::atoi(argv[++i]);
      if (requests < 10 || requests > 1000000) {
        fprintf(stderr, "bench_framework: --requests takes 10..1000000\n");
        return 2;
      }
    } else {
      Usage();
      return 2;
    }
  }

  if (getenv("ISOLATED_WORKDIR") == nullptr) {
    // The fixed key file and the module's global names stay private.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0 && access(ISOLATED_SCRIPT, X_OK) == 0) {
      self[n] = '\0';
      std::vector<char*> args = {const_cast<char*>(ISOLATED_SCRIPT), const_cast<char*>("--"), self};
      for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
      args.push_back(nullptr);
      fflush(stdout);
      execv(ISOLATED_SCRIPT, args.data());
    }
    fprintf(stderr, "bench_framework: cannot run isolated (%s); run it as: scripts/isolated %s\n",
            ISOLATED_SCRIPT, argv[0]);
    return 2;
  }

  struct sigaction sa {};
  sa.sa_handler = OnAlarm;
  sigaction(SIGALRM, &sa, nullptr);

  int fd = open(kControlMessageQueueKeyFile, O_CREAT | O_WRONLY, 0644);
  if (fd >= 0) close(fd);
  int qid =
      msgget(ftok(kControlMessageQueueKeyFile, kControlMessageQueueProjectId), IPC_CREAT | 0644);
  if (qid < 0) {
    perror("bench_framework: msgget");
    return 1;
  }

  // Baseline: two processes, no pause.
  std::vector<double> bare;
  pid_t peer = fork();
  if (peer == 0) PingPongPeer(qid);
  bool ok = TimeRoundTrips(qid, peer, requests, 200, &bare);
  SendRecord(qid, peer, kStopEvent, 0);
  waitpid(peer, nullptr, 0);
  if (!ok) {
    fprintf(stderr, "bench_framework: baseline ping-pong failed\n");
    return 1;
  }

  // The module base: request -> service loop -> HandleRequest -> answer.
  pid_t module = fork();
  if (module == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    std::string kore = std::to_string(getppid());
    execl(ECHO_MODULE_PATH, ECHO_MODULE_PATH, kore.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ControlMessage load;
  std::vector<double> loop, spread;
  ok = Receive(qid, getpid(), &load, 10) && load.nEvent == 1 &&
       TimeRoundTrips(qid, module, requests, 50, &loop) &&
       TimeRoundTrips(qid, module, requests, 0, &spread, true);
  kill(module, SIGTERM);
  waitpid(module, nullptr, 0);
  msgctl(qid, IPC_RMID, nullptr);
  unlink(kControlMessageQueueKeyFile);
  if (!ok) {
    fprintf(stderr, "bench_framework: module round trips failed\n");
    return 1;
  }

  Stats b = Summarise(bare), m = Summarise(loop), r = Summarise(spread);
  printf("framework: request-to-response round trip through the control queue\n");
  printf("  %d requests each, 4112-byte records, one queue, two processes\n", requests);
  printf("  %-44s median %8.1f us   p99 %8.1f us   max %8.1f us\n",
         "baseline: bare msgsnd/msgrcv ping-pong", b.median, b.p99, b.max);
  printf("  %-44s median %8.1f us   p99 %8.1f us   max %8.1f us\n", "module base, back to back",
         m.median, m.p99, m.max);
  printf("  %-44s median %8.1f us   p99 %8.1f us   max %8.1f us\n",
         "module base, requests at random times", r.median, r.p99, r.max);
  printf("  %-44s %8.1f us\n", "service loop pause", kLoopPauseUs);
  printf("  ratio module/baseline (back to back): median %.1fx, p99 %.1fx\n", m.median / b.median,
         m.p99 / b.p99);
  printf(
      "  ratio module/loop pause: back to back median %.2f p99 %.2f; random times median %.2f "
      "p99 %.2f\n",
      m.median / kLoopPauseUs, m.p99 / kLoopPauseUs, r.median / kLoopPauseUs, r.p99 / kLoopPauseUs);
  return 0;
}
