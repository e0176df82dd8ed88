// The module base end to end: the test plays KORE (its own pid is KORE's)
// and drives the test module program as a real process through the control
// queue, with records encoded by hand.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CommunicationModuleBase.h"
#include "MonitoringData.h"
#include "support/process.h"

using namespace test_support;
using namespace VeloFramework;

namespace {

const std::string kModule = TEST_MODULE_PATH;

class Kore {
 public:
  Kore() {
    FILE* f = fopen("controlMessageQueue.txt", "a");
    if (f) fclose(f);
    qid = msgget(ftok("controlMessageQueue.txt", 3479), IPC_CREAT | 0644);
  }

  void Send(pid_t dst, uint32_t event, const std::string& payload = "",
            int64_t src = static_cast<int64_t>(getpid())) {
    std::vector<unsigned char> rec(4120, 0);
    int64_t d = dst;
    std::memcpy(&rec[0], &d, 8);
    std::memcpy(&rec[8], &src, 8);
    std::memcpy(&rec[16], &event, 4);
    uint32_t len = static_cast<uint32_t>(payload.size());
    std::memcpy(&rec[20], &len, 4);
    std::memcpy(&rec[24], payload.data(), payload.size());
    ASSERT_EQ(msgsnd(qid, rec.data(), 4112, 0), 0);
  }

  // Waits for the next record addressed to KORE with the given event.
  bool Receive(uint32_t event, std::vector<unsigned char>* rec,
               std::chrono::milliseconds timeout = 10s) {
    return WaitUntil(
        [&] {
          std::vector<unsigned char> buf(4120);
          while (msgrcv(qid, buf.data(), 4112, getpid(), IPC_NOWAIT) == 4112) {
            uint32_t e;
            std::memcpy(&e, &buf[16], 4);
            if (e == event) {
              *rec = buf;
              return true;
            }
          }
          return false;
        },
        timeout);
  }

  int qid = -1;
};

template <typename T>
T At(const std::vector<unsigned char>& b, size_t off) {
  T v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}

std::string U32s(std::initializer_list<uint32_t> values) {
  std::string out;
  for (uint32_t v : values) out.append(reinterpret_cast<const char*>(&v), 4);
  return out;
}

// Cycle number printed with the HandleRequest line of `event`; -1 if none.
long CycleOf(const std::string& out, uint32_t event) {
  std::regex re("HandleRequest cycle ([0-9]+) event " + std::to_string(event) + " ");
  std::smatch m;
  return std::regex_search(out, m, re) ? std::stol(m[1]) : -1;
}

// User plus system CPU time of a process, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(all.substr(close + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoull(f);
    if (i == 15) stime = std::stoull(f);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::unique_ptr<ChildProcess> StartModule(Kore& kore, std::vector<unsigned char>* load) {
  auto module = ChildProcess::Start({kModule, std::to_string(getpid())}, "module");
  if (module && load != nullptr) {
    EXPECT_TRUE(kore.Receive(1, load)) << module->Stdout();
  }
  return module;
}

}  // namespace

TEST(ModuleProcess, EntryPointAcceptsAPidAndRejectsTheRest) {
  const std::string self = std::to_string(getpid());
  auto ok = ChildProcess::Start({kModule, self}, "ok");
  ASSERT_NE(ok, nullptr);
  EXPECT_TRUE(ok->WaitForOutput("[TestModule] constructed, pid " + std::to_string(ok->Pid()) +
                                ", KORE pid " + self + "\n"));
  EXPECT_TRUE(ok->Running());
  // Its load response is addressed to this process: not left for a later test.
  ASSERT_TRUE(ok->WaitForOutput("RunningService first call"));
  ok.reset();
  Kore drain;
  std::vector<unsigned char> load;
  drain.Receive(1, &load, 1s);

  // A pid that was a process and is no longer one.
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  const std::string gone = std::to_string(dead);
  const std::string name = kModule.substr(kModule.rfind('/'));
  int n = 0;
  for (const char* bad : {"-5", "12a", "", "99999999", gone.c_str()}) {
    auto p = ChildProcess::Start({kModule, bad}, "bad" + std::to_string(n++));
    ASSERT_NE(p, nullptr);
    int status = 0;
    ASSERT_TRUE(p->WaitExit(&status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255) << bad;
    EXPECT_EQ(p->Stdout(), "[TestModule][ERROR] Run " + name + " FAILED [Parameter 1 is invalid]\n")
        << bad;
  }
  auto missing = ChildProcess::Start({kModule}, "missing");
  int status = 0;
  ASSERT_TRUE(missing->WaitExit(&status));
  EXPECT_EQ(WEXITSTATUS(status), 255);
  EXPECT_EQ(missing->Stdout(),
            "[TestModule][ERROR] Run " + name + " FAILED [Missing parameters]\n");
}

TEST(ModuleProcess, LoadResponseThenUnloadKeepsTheLoopRunning) {
  Kore kore;
  std::vector<unsigned char> rec;
  auto module = StartModule(kore, &rec);
  ASSERT_NE(module, nullptr);
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(At<int64_t>(rec, 0), getpid());
  EXPECT_EQ(At<int64_t>(rec, 8), module->Pid());
  EXPECT_EQ(At<uint32_t>(rec, 16), 1u);
  EXPECT_EQ(At<uint32_t>(rec, 20), 4u);
  EXPECT_EQ(At<uint32_t>(rec, 24), 0u);
  ASSERT_TRUE(module->WaitForOutput("RunningService first call, monitoring not mapped"));

  // Any other event goes to HandleRequest unchanged, and is not answered.
  kore.Send(module->Pid(), 20, "payload");
  ASSERT_TRUE(module->WaitForOutput("event 20 src " + std::to_string(getpid()) +
                                    " length 7 data 7061796c6f6164\n"));

  kore.Send(module->Pid(), EN_REQ_MODULE_MANAGER_UNLOAD);
  ASSERT_TRUE(kore.Receive(2, &rec));
  EXPECT_EQ(At<int64_t>(rec, 8), module->Pid());
  EXPECT_EQ(At<uint32_t>(rec, 20), 4u);
  EXPECT_EQ(At<uint32_t>(rec, 24), 0u);
  EXPECT_NE(module->Stdout().find("StopService at cycle"), std::string::npos);

  // Still serving after the unload; a second unload is answered again.
  kore.Send(module->Pid(), 77);
  ASSERT_TRUE(module->WaitForOutput("event 77 "));
  EXPECT_GT(CycleOf(module->Stdout(), 77), CycleOf(module->Stdout(), 20));
  kore.Send(module->Pid(), EN_REQ_MODULE_MANAGER_UNLOAD);
  ASSERT_TRUE(kore.Receive(2, &rec));
  EXPECT_TRUE(module->Running());
  // Nothing but the two unload answers came back.
  std::vector<unsigned char> extra(4120);
  EXPECT_EQ(msgrcv(kore.qid, extra.data(), 4112, getpid(), IPC_NOWAIT), -1);
}

TEST(ModuleProcess, OneMessagePerCycleAndNegativeSourcesDropped) {
  Kore kore;
  std::vector<unsigned char> rec;
  auto module = StartModule(kore, &rec);
  ASSERT_NE(module, nullptr);
  // Hold the loop inside HandleRequest while the next messages queue up.
  kore.Send(module->Pid(), 1002, std::string("go") + '\0');
  ASSERT_TRUE(module->WaitForOutput("blocked until go exists"));
  kore.Send(module->Pid(), 50);
  kore.Send(module->Pid(), 60, "", -7);
  kore.Send(module->Pid(), 51);  // a queue of the default size is now full
  std::ofstream("go").put('x');
  ASSERT_TRUE(module->WaitForOutput("event 51 "));
  std::string out = module->Stdout();
  long blocked = CycleOf(out, 1002);
  EXPECT_EQ(CycleOf(out, 50), blocked + 1);
  // The dropped message still takes its cycle.
  EXPECT_EQ(CycleOf(out, 51), blocked + 3);
  EXPECT_EQ(CycleOf(out, 60), -1);
}

TEST(ModuleProcess, ResponseRefusesStatus62AndSends61) {
  Kore kore;
  std::vector<unsigned char> rec;
  auto module = StartModule(kore, &rec);
  ASSERT_NE(module, nullptr);
  kore.Send(module->Pid(), 1001, U32s({1, 62}));
  ASSERT_TRUE(module->WaitForOutput(
      "[CCommunicationModuleBase][ERROR] Invalid Response Value [62] to respond\n"));
  kore.Send(module->Pid(), 1001, U32s({7, 61}));
  ASSERT_TRUE(kore.Receive(7, &rec));
  EXPECT_EQ(At<uint32_t>(rec, 24), 61u);
  // Only the event 7 answer arrived; the refused one never did.
  EXPECT_FALSE(kore.Receive(1, &rec, 200ms));
}

TEST(ModuleProcess, OutputRequestsReachTheMonitoringRecord) {
  MonitoringData* record = nullptr;
  ASSERT_EQ(CCommunicationModuleBase::AllocationMonitoringData(&record),
            _STATUS_MONITORING_SUCCESS);
  std::memset(record, 0, sizeof *record);
  record->actual_joint_pose_[0] = 12.5f;
  Kore kore;
  std::vector<unsigned char> rec;
  auto module = StartModule(kore, &rec);
  ASSERT_NE(module, nullptr);
  ASSERT_TRUE(module->WaitForOutput("monitoring mapped"));
  kore.Send(module->Pid(), 1003, std::string("\x03\x01", 2));
  ASSERT_TRUE(WaitUntil([&] { return record->output_command_ == 1; }));
  EXPECT_EQ(record->control_box_digital_output_, 0x0008);
  kore.Send(module->Pid(), 1005);
  ASSERT_TRUE(module->WaitForOutput(
      "snapshot output_command 1 control_box_digital_output 8 joint1 12.500000"));
  // A bad index from a peer is refused by the module, not written.
  record->output_command_ = 0;
  kore.Send(module->Pid(), 1003, std::string("\x40\x01", 2));
  ASSERT_TRUE(module->WaitForOutput("output index 64 out of range"));
  EXPECT_EQ(record->output_command_, 0u);
  EXPECT_TRUE(module->Running());
}

TEST(ModuleProcess, QueueRemovedUnderARunningModule) {
  setenv("TEST_MODULE_HEARTBEAT_MS", "50", 1);
  Kore kore;
  std::vector<unsigned char> rec;
  auto module = StartModule(kore, &rec);
  unsetenv("TEST_MODULE_HEARTBEAT_MS");
  ASSERT_NE(module, nullptr);
  ASSERT_TRUE(kore.Receive(1099, &rec));

  ASSERT_EQ(msgctl(kore.qid, IPC_RMID, nullptr), 0);
  ASSERT_TRUE(module->WaitForOutput("heartbeat FAILED"));
  EXPECT_TRUE(module->WaitForOutput("[COMMBASE][ERROR] Control queue removed"));

  // Still alive and idle: over a second it uses a small part of one core
  // (a spinning loop would use all of it).
  double before = CpuSeconds(module->Pid());
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1s);
  double used = CpuSeconds(module->Pid()) - before;
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(used, 0.5 * elapsed) << "CPU seconds used: " << used;
  EXPECT_TRUE(module->Running());
}
