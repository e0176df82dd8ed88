// kore-sim driven as a process: scripts, events, output requests, the
// robot animation, clean shutdown, bad input, and the extension interface.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "CommunicationModuleBase.h"
#include "MonitoringData.h"
#include "support/process.h"

using namespace test_support;
using namespace VeloFramework;

namespace {

const std::string kModule = TEST_MODULE_PATH;
const std::string kKoreSim = KORE_SIM_PATH;
const std::string kKoreSimProbe = KORE_SIM_PROBE_PATH;

void WriteScript(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

int ExitCode(ChildProcess& p, std::chrono::milliseconds timeout = 20s) {
  int status = 0;
  if (!p.WaitExit(&status, timeout)) return -1000;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::vector<std::string> ShmEntries() {
  std::vector<std::string> names;
  DIR* d = opendir("/dev/shm");
  while (dirent* e = d ? readdir(d) : nullptr) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  if (d) closedir(d);
  return names;
}

// Lines of /proc/sysvipc/msg after its header: the message queues left.
int QueueCount() {
  std::ifstream in("/proc/sysvipc/msg");
  std::string line;
  int n = -1;
  while (std::getline(in, line)) ++n;
  return n;
}

void ExpectCleanedUp() {
  EXPECT_TRUE(ShmEntries().empty()) << ShmEntries().front();
  EXPECT_EQ(QueueCount(), 0);
  struct stat st;
  EXPECT_NE(stat("controlMessageQueue.txt", &st), 0);
}

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

pid_t ModulePidFrom(const std::string& out) {
  std::smatch m;
  std::regex re("\"type\":\"module-started\".*\"pid\":([0-9]+)");
  return std::regex_search(out, m, re) ? static_cast<pid_t>(std::stol(m[1])) : -1;
}

}  // namespace

TEST(KoreSim, ScriptDrivesTheModuleAndEverythingIsRemovedAfterwards) {
  WriteScript("script",
              "wait-event 1 5s status=0   # the load response\n"
              "send 77 text hi there\n"
              "send 1003 u8 3 1\n"
              "unload\n"
              "wait-event 2 5s status=0\n"
              "quit\n"
              "wait-event 99 1s  # never reached\n");
  auto sim =
      ChildProcess::Start({kKoreSim, "--json", "--module", kModule, "--script", "script"}, "sim");
  ASSERT_NE(sim, nullptr);
  EXPECT_EQ(ExitCode(*sim), 0) << sim->Stdout() << sim->Stderr();
  std::string out = sim->Stdout();
  EXPECT_TRUE(Contains(out, "\"type\":\"event\"")) << out;
  EXPECT_TRUE(Contains(out, "\"event\":1,\"name\":\"load\"")) << out;
  EXPECT_TRUE(Contains(out, "\"event\":2,\"name\":\"unload\"")) << out;
  EXPECT_TRUE(Contains(out, "\"status\":0"));
  EXPECT_TRUE(Contains(out, "\"type\":\"sent\",") && Contains(out, "\"data\":\"6869207468657265\""))
      << out;
  EXPECT_TRUE(Contains(out, "HandleRequest cycle")) << out;
  EXPECT_TRUE(Contains(out, "event 77 src " + std::to_string(sim->Pid()))) << out;
  EXPECT_TRUE(Contains(out, "\"output\":\"control-box\",\"index\":3,\"value\":\"1\"")) << out;
  EXPECT_TRUE(Contains(out, "StopService")) << out;
  EXPECT_TRUE(Contains(out, "\"type\":\"module-exit\"")) << out;
  EXPECT_TRUE(Contains(out, "\"type\":\"shutdown\"")) << out;
  EXPECT_FALSE(Contains(out, "\"event\":99"));
  pid_t module = ModulePidFrom(out);
  ASSERT_GT(module, 0);
  EXPECT_NE(kill(module, 0), 0);  // ended and reaped
  ExpectCleanedUp();
}

TEST(KoreSim, TimedOutWaitFailsTheScriptAndStillCleansUp) {
  WriteScript("script", "wait-event 1 5s\nwait-event 4242 200ms\nsay not reached\n");
  auto sim =
      ChildProcess::Start({kKoreSim, "--json", "--module", kModule, "--script", "script"}, "sim");
  ASSERT_NE(sim, nullptr);
  EXPECT_EQ(ExitCode(*sim), 1);
  std::string out = sim->Stdout();
  EXPECT_TRUE(Contains(out, "\"type\":\"wait-timeout\"")) << out;
  EXPECT_TRUE(Contains(out, "line 2 failed")) << out;
  EXPECT_FALSE(Contains(out, "not reached"));
  pid_t module = ModulePidFrom(out);
  ASSERT_GT(module, 0);
  EXPECT_NE(kill(module, 0), 0);
  ExpectCleanedUp();

  // A load response with another status than expected also fails.
  setenv("TEST_MODULE_LOAD_STATUS", "3", 1);
  WriteScript("script2", "wait-event 1 5s status=0\n");
  auto sim2 = ChildProcess::Start({kKoreSim, "--module", kModule, "--script", "script2"}, "sim2");
  unsetenv("TEST_MODULE_LOAD_STATUS");
  EXPECT_EQ(ExitCode(*sim2), 1);
  EXPECT_TRUE(Contains(sim2->Stdout(), "status 3 (EN_RET_STATUS_LOAD_FALSE_SEM)"))
      << sim2->Stdout();
  ExpectCleanedUp();

  // Forgotten events are not found by later waits.
  WriteScript("script3",
              "send 1001 u32 7 0\n"  // the module answers event 7,
              "send 1001 u32 8 0\n"  // then event 8
              "wait-event 8 5s\n"    // so event 7 is here, unclaimed
              "forget-events\n"
              "wait-event 7 200ms\n");
  auto sim3 = ChildProcess::Start({kKoreSim, "--module", kModule, "--script", "script3"}, "sim3");
  EXPECT_EQ(ExitCode(*sim3), 1);
  EXPECT_TRUE(Contains(sim3->Stdout(), "event 7 from")) << sim3->Stdout();
  EXPECT_TRUE(Contains(sim3->Stdout(), "wait-event 7: no such event")) << sim3->Stdout();
}

TEST(KoreSim, SigtermAndEndOfInputEndTheModuleAndCleanUp) {
  WriteScript("script", "wait-event 1 5s\nwait 60s\n");
  auto sim =
      ChildProcess::Start({kKoreSim, "--json", "--module", kModule, "--script", "script"}, "sim");
  ASSERT_NE(sim, nullptr);
  ASSERT_TRUE(sim->WaitForOutput("\"name\":\"load\""));
  sim->Signal(SIGTERM);
  EXPECT_EQ(ExitCode(*sim, 10s), 0);
  EXPECT_TRUE(Contains(sim->Stdout(), "\"type\":\"signal\"")) << sim->Stdout();
  EXPECT_TRUE(Contains(sim->Stdout(), "\"type\":\"module-exit\""));
  ExpectCleanedUp();

  // Standard input at its end (here /dev/null): kore-sim quits at once.
  auto eof = ChildProcess::Start({kKoreSim, "--module", kModule}, "eof");
  EXPECT_EQ(ExitCode(*eof, 10s), 0);
  EXPECT_TRUE(Contains(eof->Stdout(), "[kore-sim] shut down; removed control queue"))
      << eof->Stdout();
  ExpectCleanedUp();
}

TEST(KoreSim, AnimatesTheRobotAndAppliesOutputRequests) {
  WriteScript("script", "wait 60s\n");
  auto sim = ChildProcess::Start({kKoreSim, "--script", "script"}, "sim");
  ASSERT_NE(sim, nullptr);
  ASSERT_TRUE(sim->WaitForOutput("KORE stand-in ready"));
  MonitoringData* r = nullptr;
  ASSERT_EQ(CCommunicationModuleBase::GetMonitoringData(&r), _STATUS_MONITORING_SUCCESS);

  float joint0 = r->actual_joint_pose_[0];
  uint16_t inputs = r->control_box_digital_input_;
  EXPECT_TRUE(WaitUntil([&] { return r->actual_joint_pose_[0] != joint0; }));
  EXPECT_TRUE(WaitUntil([&] { return r->control_box_digital_input_ != inputs; }, 5s));
  EXPECT_EQ(r->system_status_.system_status_group_.servo_on_, 1u);
  // The tool is somewhere in front of and above the base, within reach.
  float x = r->actual_task_space_pose_[0], y = r->actual_task_space_pose_[1],
        z = r->actual_task_space_pose_[2];
  float reach = std::sqrt(x * x + y * y + z * z);
  EXPECT_GT(z, 0.0f);
  EXPECT_GT(reach, 100.0f);
  EXPECT_LT(reach, 1500.0f);
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(std::isfinite(r->actual_task_sapce_velocity_[i]));

  // An output request as a module writes it.
  r->control_box_digital_output_ |= 1u << 5;
  r->tool_digital_output_ |= 1u << 2;
  r->general_purpose_register_[2] = 99;
  r->control_box_analog_output_data_[1].analog_data_ = 500.0f;
  __atomic_store_n(&r->output_command_, 1u, __ATOMIC_RELEASE);
  EXPECT_TRUE(WaitUntil([&] { return r->output_command_ == 0; }));
  ASSERT_TRUE(sim->WaitForOutput("[kore-sim] robot: analog output 1 -> 500.000"));
  std::string out = sim->Stdout();
  EXPECT_TRUE(Contains(out, "[kore-sim] robot: control-box output 5 -> ON\n")) << out;
  EXPECT_TRUE(Contains(out, "[kore-sim] robot: tool output 2 -> ON\n"));
  EXPECT_TRUE(Contains(out, "[kore-sim] robot: general-purpose register 2 -> 99\n"));

  // A request that changes nothing is still taken and cleared.
  __atomic_store_n(&r->output_command_, 1u, __ATOMIC_RELEASE);
  EXPECT_TRUE(WaitUntil([&] { return r->output_command_ == 0; }));
  EXPECT_TRUE(sim->WaitForOutput("output request (nothing changed)"));
  sim->Signal(SIGINT);
  EXPECT_EQ(ExitCode(*sim, 10s), 0);
}

TEST(KoreSim, MalformedEventsAndBadCommandsAreReportedNotFatal) {
  WriteScript("script", "wait 60s\n");
  auto sim = ChildProcess::Start({kKoreSim, "--json", "--script", "script"}, "sim");
  ASSERT_NE(sim, nullptr);
  ASSERT_TRUE(sim->WaitForOutput("\"type\":\"ready\""));
  int qid = msgget(ftok("controlMessageQueue.txt", 3479), 0);
  ASSERT_NE(qid, -1);
  // A record claiming far more payload than a record holds, from a
  // negative source, and a short record.
  std::vector<unsigned char> rec(4120, 0x41);
  int64_t dst = sim->Pid(), src = -9;
  uint32_t event = 28, length = 0xFFFFFFFFu;
  std::memcpy(&rec[0], &dst, 8);
  std::memcpy(&rec[8], &src, 8);
  std::memcpy(&rec[16], &event, 4);
  std::memcpy(&rec[20], &length, 4);
  ASSERT_EQ(msgsnd(qid, rec.data(), 4112, 0), 0);
  event = 5;
  std::memcpy(&rec[16], &event, 4);
  ASSERT_EQ(msgsnd(qid, rec.data(), 12, 0), 0);
  ASSERT_TRUE(sim->WaitForOutput("\"event\":5,"));
  std::string out = sim->Stdout();
  EXPECT_TRUE(Contains(out, "\"length\":4294967295")) << out.substr(0, 300);
  EXPECT_TRUE(Contains(out, "\"src\":-9"));
  EXPECT_TRUE(sim->Running());
  sim->Signal(SIGTERM);
  EXPECT_EQ(ExitCode(*sim, 10s), 0);
  ExpectCleanedUp();

  WriteScript("bad", "frobnicate\n");
  auto bad = ChildProcess::Start({kKoreSim, "--script", "bad"}, "bad");
  EXPECT_EQ(ExitCode(*bad), 1);
  EXPECT_TRUE(Contains(bad->Stdout(), "unknown command \"frobnicate\""));
  WriteScript("send", "send 20 hex abc\n");
  auto send = ChildProcess::Start({kKoreSim, "--script", "send"}, "send");
  EXPECT_EQ(ExitCode(*send), 1);
  auto noModule = ChildProcess::Start({kKoreSim, "--module", "/nonexistent/module"}, "nomodule");
  EXPECT_EQ(ExitCode(*noModule), 2);
  EXPECT_TRUE(Contains(noModule->Stdout(), "cannot start module"));
  // A module that refuses its argument ends at once; kore-sim reports it.
  WriteScript("exit", "wait-exit 5s\n");
  auto refused = ChildProcess::Start(
      {kKoreSim, "--module", kModule, "--module-arg", "12a", "--script", "exit"}, "refused");
  EXPECT_EQ(ExitCode(*refused), 0);
  EXPECT_TRUE(Contains(refused->Stdout(), "FAILED [Parameter 1 is invalid]")) << refused->Stdout();
  EXPECT_TRUE(Contains(refused->Stdout(), "exited with status 255 (-1)"));
  auto badTick = ChildProcess::Start({kKoreSim, "--tick", "0"}, "tick");
  EXPECT_EQ(ExitCode(*badTick), 2);
  ExpectCleanedUp();

  auto help = ChildProcess::Start({kKoreSim, "--help"}, "help");
  EXPECT_EQ(ExitCode(*help), 0);
  EXPECT_TRUE(Contains(help->Stdout(), "wait-event CODE [TIMEOUT] [status=N]"));
  EXPECT_TRUE(Contains(help->Stdout(), "--module PATH"));
  // Each description under its command, indented as man-page tools expect,
  // and no shutdown report: --help made nothing.
  EXPECT_TRUE(Contains(help->Stdout(), "  wait DURATION\n" + std::string(20, ' ') + "keep"));
  EXPECT_FALSE(Contains(help->Stdout(), "shut down"));

  // A refused command names the value it refused.
  const std::vector<std::pair<std::string, std::string>> refusals = {
      {"wait 3days", "\"3days\""}, {"tcp-expect 1 hi timeout=bogus", "\"bogus\""}};
  for (const auto& [line, named] : refusals) {
    WriteScript("refused", line + "\n");
    auto sim = ChildProcess::Start({kKoreSim, "--script", "refused"}, "refusal");
    EXPECT_EQ(ExitCode(*sim), 1);
    EXPECT_TRUE(Contains(sim->Stdout(), named)) << sim->Stdout();
  }
}

TEST(KoreSim, ExtensionsGetCommandsEventsTicksAndNamedObjects) {
  setenv("TEST_MODULE_HEARTBEAT_MS", "20", 1);
  WriteScript("script",
              "wait-event 1 5s\n"
              "probe-wait 1099\n"
              "probe-shm /probe-area\n"
              "probe-sem /probe-sem\n"
              "wait-event 1099 5s\n"
              "wait-event 1099 5s\n"
              "help\n"
              "quit\n");
  auto sim = ChildProcess::Start(
      {kKoreSimProbe, "--json", "--module", kModule, "--script", "script"}, "sim");
  unsetenv("TEST_MODULE_HEARTBEAT_MS");
  ASSERT_NE(sim, nullptr);
  EXPECT_EQ(ExitCode(*sim), 0) << sim->Stdout();
  std::string out = sim->Stdout();
  EXPECT_TRUE(Contains(out, "\"probe_started\":true")) << out;
  EXPECT_TRUE(Contains(out, "\"probe_event\":1099,\"from_module\":true,\"record_mapped\":true"))
      << out;
  EXPECT_TRUE(Contains(out, "\"shm\":true"));
  EXPECT_TRUE(Contains(out, "\"name\":\"heartbeat\""));
  EXPECT_TRUE(Contains(out, "\"text\":\"heartbeat at cycle "));
  EXPECT_TRUE(Contains(out, "probe-shm NAME"));  // listed by help
  EXPECT_TRUE(std::regex_search(out, std::regex("\"probe_ticks\":[1-9]")));
  // Quiet events are not printed, but waits still find them: only two
  // heartbeat lines, yet all three waits succeeded.
  size_t beats = 0;
  for (size_t p = 0; (p = out.find("\"name\":\"heartbeat\"", p)) != std::string::npos; ++p) ++beats;
  EXPECT_EQ(beats, 2u);
  ExpectCleanedUp();  // the extension's shared memory and semaphore too
}
