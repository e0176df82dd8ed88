// kore-sim: a stand-in for KORE and the Module Manager, for trying, testing
// and demonstrating the communication modules on a machine without the
// robot controller.
//
// In its working directory it creates the control queue (and its key file),
// the monitoring record with its semaphore, and the response record with its
// semaphore; it starts one module program with its own pid as the argument,
// logs every event the module sends, animates the robot in the monitoring
// record and acts on the output requests modules write into it. Commands
// come from a script file or from standard input.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CommunicationModuleBase.h"
#include "KoreExtension.h"
#include "ModuleProcess.h"
#include "Payload.h"
#include "ProjectVersion.h"
#include "Robot.h"
#include "Sharedmem.h"

using namespace VeloFramework;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace kore {
namespace {

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int sig) {
  g_stopSignal = sig;
}

const char* kUsage =
    "Usage: kore-sim [OPTIONS]\n"
    "\n"
    "Stand-in for KORE and the Module Manager. Works in the current directory:\n"
    "creates the control queue (key file controlMessageQueue.txt), the monitoring\n"
    "record \"/mm-shared-mem\" with \"/mm-sem-spool\", and the response record\n"
    "\"/mm-shared-mem_response\" with \"/mm-sem-spool_response\"; starts a module\n"
    "program with its own pid as the argument, logs every event it receives,\n"
    "animates the robot and applies the output requests modules write. On quit,\n"
    "end of input, SIGINT or SIGTERM it ends the module and removes what it made.\n"
    "Run it in a private namespace (scripts/isolated) to keep clear of a real\n"
    "controller's objects.\n"
    "\n"
    "Options:\n"
    "  --module PATH      module program to start (with kore-sim's pid as argument)\n"
    "  --module-arg TEXT  pass TEXT instead of the pid (to try bad arguments)\n"
    "  --script FILE      run the commands in FILE, then quit; a failed command\n"
    "                     (e.g. a wait-event that times out) ends kore-sim with\n"
    "                     exit status 1\n"
    "  --json             log JSON lines instead of readable lines (for tests)\n"
    "  --tick MS          robot and queue period in milliseconds (default 10)\n"
    "  --no-animate       keep the robot still (fields change only by `set`)\n"
    "  --help             this text\n"
    "  --version          print the version\n"
    "\n"
    "Without --script, commands are read from standard input, one per line.\n";

// ---------------------------------------------------------------------------
// Small parsing helpers

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::string Hex(const char* data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out += digits[(static_cast<unsigned char>(data[i]) >> 4) & 0xf];
    out += digits[static_cast<unsigned char>(data[i]) & 0xf];
  }
  return out;
}

const char* StatusName(uint32_t status) {
  switch (status) {
    case EN_RET_STATUS_SUCCESS:
      return "EN_RET_STATUS_SUCCESS";
    case EN_RET_STATUS_FAILED:
      return "EN_RET_STATUS_FAILED";
    case EN_RET_STATUS_LOAD_FALSE_SHM:
      return "EN_RET_STATUS_LOAD_FALSE_SHM";
    case EN_RET_STATUS_LOAD_FALSE_SEM:
      return "EN_RET_STATUS_LOAD_FALSE_SEM";
    default:
      return status >= 50 && status <= 61 ? "serial status" : "unknown status";
  }
}

std::string DescribeWaitStatus(int status) {
  if (WIFEXITED(status)) {
    // The module programs return -1, which the shell sees as 255.
    int code = WEXITSTATUS(status);
    return "exited with status " + std::to_string(code) + (code == 255 ? " (-1)" : "");
  }
  if (WIFSIGNALED(status)) {
    return std::string("ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  }
  return "ended";
}

// ---------------------------------------------------------------------------

struct Options {
  std::string modulePath;
  std::string moduleArg;
  bool moduleArgGiven = false;
  std::string scriptPath;
  bool json = false;
  int tickMs = 10;
  bool animate = true;
};

struct ReceivedEvent {
  ControlMessage msg;
  bool claimed = false;
};

class KoreSim : public KoreContext {
 public:
  explicit KoreSim(Options options) : m_opt(std::move(options)) {}
  ~KoreSim() override { Shutdown(); }

  int Run();
  // Prints every command, the extensions' included (for --help).
  void PrintCommands() {
    m_families = CreateCommandFamilies();
    m_extensions = ExtensionRegistry::CreateAll();
    RegisterCommands();
    PrintHelp();
  }

  // KoreContext
  pid_t ModulePid() const override { return m_module.Running() ? m_module.Pid() : -1; }
  pid_t KorePid() const override { return getpid(); }
  bool Send(uint32_t event, const void* data, size_t length) override;
  bool WaitEvent(uint32_t event, milliseconds timeout, ControlMessage* out) override;
  void RunFor(milliseconds duration) override;
  MonitoringData* Monitoring() override { return m_record; }
  void Log(const std::string& type, const std::string& text, const JsonObject& json) override;
  bool JsonMode() const override { return m_opt.json; }
  void Error(const std::string& text) override;
  void* OpenSharedMemory(const std::string& name, size_t size) override;
  void* CreateSharedMemory(const std::string& name, size_t size) override;
  sem_t* OpenSemaphore(const std::string& name, bool create, unsigned initial) override;
  bool StartModule(const std::string& path) override;
  void StopModule() override;
  bool WaitModuleExit(milliseconds timeout) override {
    return Pump(Clock::now() + timeout, [this] { return !m_module.Running(); });
  }
  void ForgetEvents() override {
    ReceiveEvents();
    for (auto& e : m_events) e.claimed = true;
  }
  int QueueId() const override { return m_queueId; }
  bool RemoveQueue() override {
    if (m_queueId == -1 || msgctl(m_queueId, IPC_RMID, nullptr) != 0) return false;
    m_queueId = -1;
    return true;
  }
  Robot& RobotModel() override { return *m_robot; }

 private:
  struct Mapping {
    std::string name;
    void* addr;
    size_t size;
    bool owned;
  };
  struct Semaphore {
    std::string name;
    sem_t* sem;
    bool owned;
  };

  bool Setup();
  void Shutdown();
  // Runs kore-sim (ticks, output forwarding, stdin) until `done` or the
  // deadline or a stop signal; true when `done` became true.
  bool Pump(Clock::time_point deadline, const std::function<bool()>& done);
  void Tick();
  void ReceiveEvents();
  void ApplyOutputRequests();
  void HandleEvent(const ControlMessage& msg);
  void ForwardModuleLine(const char* stream, const std::string& line);
  void CheckModule();
  bool Execute(const std::string& line);
  void RegisterCommands();
  void PrintHelp();
  double Now() const { return std::chrono::duration<double>(Clock::now() - m_start).count(); }

  Options m_opt;
  Clock::time_point m_start = Clock::now();
  Clock::time_point m_nextTick = Clock::now();
  // Events are read every millisecond, more often than the robot moves: the
  // queue holds only a few records, and a module blocks while it is full.
  Clock::time_point m_nextReceive = Clock::now();
  int m_queueId = -1;
  bool m_createdKeyFile = false;
  MonitoringData* m_record = nullptr;
  bool m_createdMonitoring = false;
  void* m_response = nullptr;
  sem_t* m_responseSem = nullptr;
  std::unique_ptr<Robot> m_robot;
  ModuleProcess m_module;
  std::string m_moduleName = "module";
  std::vector<std::unique_ptr<KoreExtension>> m_families;    // kore-sim's own command families
  std::vector<std::unique_ptr<KoreExtension>> m_extensions;  // the linked-in extensions
  std::map<std::string, Command> m_commands;
  std::vector<std::string> m_commandOrder;
  std::deque<ReceivedEvent> m_events;
  std::vector<Mapping> m_mappings;
  std::vector<Semaphore> m_semaphores;
  bool m_interactive = false;
  std::string m_stdinPending;
  std::deque<std::string> m_stdinLines;
  bool m_stdinEof = false;
  bool m_quit = false;
  bool m_shutDown = false;
  uint64_t m_eventCount = 0;
};

// ---------------------------------------------------------------------------
// Logging

void KoreSim::Log(const std::string& type, const std::string& text, const JsonObject& json) {
  std::string line;
  if (m_opt.json) {
    JsonObject o;
    o.Add("type", type);
    char t[32];
    snprintf(t, sizeof t, "%.3f", Now());
    o.AddRaw("time", t);
    o.Merge(json);
    line = o.Str();
  } else {
    line = "[kore-sim] " + text;
  }
  line += '\n';
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
}

void KoreSim::Error(const std::string& text) {
  Log("error", "ERROR: " + text, JsonObject().Add("message", text));
}

void KoreSim::ForwardModuleLine(const char* stream, const std::string& line) {
  if (m_opt.json) {
    Log("module-output", "", JsonObject().Add("stream", stream).Add("line", line));
    return;
  }
  std::string out =
      "[" + m_moduleName + (std::strcmp(stream, "stderr") == 0 ? "!" : "") + "] " + line + "\n";
  fwrite(out.data(), 1, out.size(), stdout);
  fflush(stdout);
}

// ---------------------------------------------------------------------------
// Set-up and shutdown

bool KoreSim::Setup() {
  const char* keyFile = kControlMessageQueueKeyFile;
  struct stat st;
  if (stat(keyFile, &st) != 0) {
    int fd = open(keyFile, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
      Error(std::string("cannot create the queue key file ") + keyFile + ": " + strerror(errno));
      return false;
    }
    close(fd);
    m_createdKeyFile = true;
  }
  key_t key = ftok(keyFile, kControlMessageQueueProjectId);
  if (key == -1) {
    Error(std::string("cannot make the queue key: ") + strerror(errno));
    return false;
  }
  m_queueId = msgget(key, IPC_CREAT | 0644);
  if (m_queueId == -1) {
    Error(std::string("cannot create the control queue: ") + strerror(errno));
    return false;
  }
  // Records left for this pid by an earlier run would be taken for events.
  ControlMessage stale;
  while (msgrcv(m_queueId, &stale, kControlMessageBodySize, getpid(), IPC_NOWAIT | MSG_NOERROR) >=
         0) {
  }

  struct stat shm;
  m_createdMonitoring = stat("/dev/shm/mm-shared-mem", &shm) != 0;
  _MONITORING_STATUS_CODE rc = CCommunicationModuleBase::AllocationMonitoringData(&m_record);
  if (rc != _STATUS_MONITORING_SUCCESS) {
    Error("cannot create the monitoring record \"/mm-shared-mem\" (status " + std::to_string(rc) +
          ")");
    m_record = nullptr;
    return false;
  }
  if (CCommunicationModuleBase::GetMonitoringDataSemaphore() != _STATUS_MONITORING_SUCCESS) {
    Error("cannot create the semaphore \"/mm-sem-spool\"");
    return false;
  }
  SharedMem response(kResponseDataName, static_cast<int32_t>(sizeof(SharedMemory)));
  if (response.CreateShm(&m_response) != SHM_SUCCESS) {
    Error("cannot create the response record \"/mm-shared-mem_response\"");
    m_response = nullptr;
    return false;
  }
  std::memset(m_response, 0, sizeof(SharedMemory));
  m_responseSem = sem_open(kResponseSemaphoreName, O_CREAT, 0660, 0);
  if (m_responseSem == SEM_FAILED) {
    m_responseSem = nullptr;
    Error("cannot create the semaphore \"/mm-sem-spool_response\"");
    return false;
  }
  m_robot = std::make_unique<Robot>(m_record);
  m_robot->Reset();
  m_robot->SetAnimating(m_opt.animate);

  Log("ready",
      "KORE stand-in ready, pid " + std::to_string(getpid()) + ": control queue " +
          std::to_string(m_queueId) + ", monitoring record /mm-shared-mem (" +
          std::to_string(sizeof(MonitoringData)) + " bytes), response record " +
          "/mm-shared-mem_response",
      JsonObject()
          .Add("pid", static_cast<int64_t>(getpid()))
          .Add("queue", static_cast<int64_t>(m_queueId))
          .Add("record_size", static_cast<uint64_t>(sizeof(MonitoringData))));
  return true;
}

void KoreSim::Shutdown() {
  if (m_shutDown) return;
  m_shutDown = true;
  StopModule();
  for (auto& ext : m_extensions) ext->OnShutdown(*this);
  for (auto& m : m_mappings) {
    munmap(m.addr, m.size);
    if (m.owned) shm_unlink(m.name.c_str());
  }
  m_mappings.clear();
  for (auto& s : m_semaphores) {
    sem_close(s.sem);
    if (s.owned) sem_unlink(s.name.c_str());
  }
  m_semaphores.clear();

  std::vector<std::string> removed;
  if (m_queueId != -1 && msgctl(m_queueId, IPC_RMID, nullptr) == 0) {
    removed.push_back("control queue");
  }
  m_queueId = -1;
  if (m_createdKeyFile && unlink(kControlMessageQueueKeyFile) == 0) removed.push_back("key file");
  if (m_record != nullptr) {
    CCommunicationModuleBase::UnMappingMonitoringData(&m_record);
    m_record = nullptr;
  }
  if (m_response != nullptr) {
    munmap(m_response, sizeof(SharedMemory));
    m_response = nullptr;
  }
  if (m_responseSem != nullptr) {
    sem_close(m_responseSem);
    m_responseSem = nullptr;
  }
  // kore-sim owns the record and the response record: both names go.
  if (shm_unlink(kMonitoringDataName) == 0) removed.push_back("/mm-shared-mem");
  if (shm_unlink(kResponseDataName) == 0) removed.push_back("/mm-shared-mem_response");
  if (sem_unlink(kMonitoringSemaphoreName) == 0) removed.push_back("/mm-sem-spool");
  if (sem_unlink(kResponseSemaphoreName) == 0) removed.push_back("/mm-sem-spool_response");
  std::string list;
  JsonObject json;
  std::string arr = "[";
  for (size_t i = 0; i < removed.size(); ++i) {
    list += (i ? ", " : "") + removed[i];
    arr += (i ? "," : "") + JsonObject::Quote(removed[i]);
  }
  arr += "]";
  Log("shutdown", "shut down; removed " + (list.empty() ? std::string("nothing") : list),
      json.AddRaw("removed", arr));
}

bool KoreSim::StartModule(const std::string& requested) {
  const std::string path = requested.empty() ? m_opt.modulePath : requested;
  if (path.empty()) {
    Error("no module program given");
    return false;
  }
  if (m_module.Running()) {
    Error("a module is already running (pid " + std::to_string(m_module.Pid()) + ")");
    return false;
  }
  std::string arg = m_opt.moduleArgGiven ? m_opt.moduleArg : std::to_string(getpid());
  std::string error;
  if (!m_module.Start({path, arg}, &error)) {
    Error("cannot start module: " + error);
    return false;
  }
  size_t slash = path.find_last_of('/');
  m_moduleName = slash == std::string::npos ? path : path.substr(slash + 1);
  Log("module-started",
      "started module " + path + " " + arg + " as pid " + std::to_string(m_module.Pid()),
      JsonObject()
          .Add("path", path)
          .Add("arg", arg)
          .Add("pid", static_cast<int64_t>(m_module.Pid())));
  return true;
}

void KoreSim::StopModule() {
  if (m_module.Pid() <= 0) return;
  bool wasRunning = m_module.Running();
  pid_t pid = m_module.Pid();
  int status =
      m_module.Stop(2000, [this](const char* s, const std::string& l) { ForwardModuleLine(s, l); });
  if (wasRunning) {
    Log("module-exit", "module pid " + std::to_string(pid) + " " + DescribeWaitStatus(status),
        JsonObject()
            .Add("pid", static_cast<int64_t>(pid))
            .Add("exit_code", WIFEXITED(status) ? WEXITSTATUS(status) : -1)
            .Add("signal", WIFSIGNALED(status) ? WTERMSIG(status) : 0));
  }
}

void KoreSim::CheckModule() {
  int status = 0;
  pid_t pid = m_module.Pid();
  if (m_module.Poll(&status)) {
    m_module.Drain([this](const char* s, const std::string& l) { ForwardModuleLine(s, l); });
    Log("module-exit", "module pid " + std::to_string(pid) + " " + DescribeWaitStatus(status),
        JsonObject()
            .Add("pid", static_cast<int64_t>(pid))
            .Add("exit_code", WIFEXITED(status) ? WEXITSTATUS(status) : -1)
            .Add("signal", WIFSIGNALED(status) ? WTERMSIG(status) : 0));
  }
}

// ---------------------------------------------------------------------------
// The running loop

bool KoreSim::Pump(Clock::time_point deadline, const std::function<bool()>& done) {
  for (;;) {
    if (done && done()) return true;
    if (g_stopSignal != 0 || m_quit) return false;
    auto now = Clock::now();
    if (now >= m_nextTick) {
      Tick();
      m_nextTick += milliseconds(m_opt.tickMs);
      if (m_nextTick < now) m_nextTick = now + milliseconds(m_opt.tickMs);
      continue;
    }
    if (now >= m_nextReceive) {
      ReceiveEvents();
      m_nextReceive = now + milliseconds(1);
      continue;
    }
    if (now >= deadline) return done ? done() : false;
    auto until = std::min({deadline, m_nextTick, m_nextReceive});
    int waitMs = static_cast<int>(
        std::chrono::duration_cast<milliseconds>(until - now + std::chrono::microseconds(999))
            .count());
    pollfd fds[3];
    int n = 0;
    if (m_module.StdoutFd() >= 0) fds[n++] = {m_module.StdoutFd(), POLLIN, 0};
    if (m_module.StderrFd() >= 0) fds[n++] = {m_module.StderrFd(), POLLIN, 0};
    int stdinSlot = -1;
    if (m_interactive && !m_stdinEof) {
      stdinSlot = n;
      fds[n++] = {0, POLLIN, 0};
    }
    int ready = poll(fds, static_cast<nfds_t>(n), waitMs);
    if (ready <= 0) continue;
    m_module.Drain([this](const char* s, const std::string& l) { ForwardModuleLine(s, l); });
    if (stdinSlot >= 0 && (fds[stdinSlot].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[4096];
      ssize_t r = read(0, buf, sizeof buf);
      if (r > 0) {
        m_stdinPending.append(buf, static_cast<size_t>(r));
        for (size_t nl; (nl = m_stdinPending.find('\n')) != std::string::npos;) {
          m_stdinLines.push_back(m_stdinPending.substr(0, nl));
          m_stdinPending.erase(0, nl + 1);
        }
      } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (!m_stdinPending.empty()) m_stdinLines.push_back(m_stdinPending);
        m_stdinPending.clear();
        m_stdinEof = true;
      }
    }
  }
}

void KoreSim::Tick() {
  if (m_record != nullptr) m_robot->Animate(Now());
  ReceiveEvents();
  if (m_responseSem != nullptr && sem_trywait(m_responseSem) == 0) {
    auto* record = static_cast<SharedMemory*>(m_response);
    Log("response-record",
        "Module Manager response through shared memory: ret " + std::to_string(record->ret),
        JsonObject().Add("ret", static_cast<int>(record->ret)));
    record->ret = 0;
  }
  for (auto& ext : m_extensions) ext->OnTick(*this);
  CheckModule();
}

void KoreSim::ApplyOutputRequests() {
  if (m_record == nullptr) return;
  bool requested = false;
  auto changes = m_robot->ApplyOutputRequests(&requested);
  if (requested && changes.empty()) {
    Log("output", "robot: output request (nothing changed), output_command_ cleared",
        JsonObject().Add("changed", false));
  }
  for (const auto& c : changes) {
    Log("output", "robot: " + c.text,
        JsonObject()
            .Add("changed", true)
            .Add("output", c.output)
            .Add("index", c.index)
            .Add("value", c.value));
  }
}

void KoreSim::ReceiveEvents() {
  // A module writes its output request before the events that follow it,
  // so the request is taken first.
  ApplyOutputRequests();
  if (m_queueId == -1) return;
  for (int i = 0; i < 1000; ++i) {
    ControlMessage msg;
    std::memset(&msg, 0, sizeof msg);
    ssize_t n =
        msgrcv(m_queueId, &msg, kControlMessageBodySize, getpid(), IPC_NOWAIT | MSG_NOERROR);
    if (n < 0) {
      if (errno != ENOMSG && errno != EINTR) {
        Error(std::string("control queue lost: ") + strerror(errno));
        m_queueId = -1;
      }
      return;
    }
    HandleEvent(msg);
  }
}

void KoreSim::HandleEvent(const ControlMessage& msg) {
  ++m_eventCount;
  uint32_t length = std::min<uint32_t>(msg.msgData.nMsgLength, kMaxMessageDataLength);
  EventLog log;
  bool known = false;
  if (msg.nEvent == EN_REQ_MODULE_MANAGER_LOAD || msg.nEvent == EN_REQ_MODULE_MANAGER_UNLOAD) {
    bool load = msg.nEvent == EN_REQ_MODULE_MANAGER_LOAD;
    log.name = load ? "load" : "unload";
    if (length >= 4) {
      uint32_t status;
      std::memcpy(&status, msg.msgData.chMsgData, 4);
      log.text = std::string(load ? "module loaded" : "module unloaded") + ": status " +
                 std::to_string(status) + " (" + StatusName(status) + ")";
      log.json.Add("status", static_cast<uint64_t>(status));
    } else {
      log.text = std::string(load ? "load" : "unload") + " response without a status";
    }
    known = true;
  }
  for (auto& ext : m_extensions) {
    if (known) break;
    known = ext->OnEvent(msg, *this, log);
  }
  if (!log.quiet) {
    std::string text = "event " + std::to_string(msg.nEvent);
    if (!log.name.empty()) text += " (" + log.name + ")";
    text += " from " + std::to_string(msg.nMsgTypeSrc);
    if (!log.text.empty()) {
      text += ": " + log.text;
    } else {
      text += ", " + std::to_string(length) + " bytes";
      if (length > 0) {
        text += ": " + Hex(msg.msgData.chMsgData, std::min<uint32_t>(length, 32)) +
                (length > 32 ? "..." : "");
      }
    }
    JsonObject json;
    json.Add("event", static_cast<uint64_t>(msg.nEvent))
        .Add("name", log.name)
        .Add("src", static_cast<int64_t>(msg.nMsgTypeSrc))
        .Add("length", static_cast<uint64_t>(msg.msgData.nMsgLength))
        .Add("data", Hex(msg.msgData.chMsgData, length))
        .Merge(log.json);
    if (!log.text.empty()) json.Add("text", log.text);
    Log("event", text, json);
  }
  // Keep what waits may still claim, but not without bound.
  m_events.push_back({msg, false});
  while (m_events.size() > 1024) m_events.pop_front();
}

bool KoreSim::WaitEvent(uint32_t event, milliseconds timeout, ControlMessage* out) {
  ReceivedEvent* found = nullptr;
  auto find = [&] {
    for (auto& e : m_events) {
      if (!e.claimed && e.msg.nEvent == event) {
        found = &e;
        return true;
      }
    }
    return false;
  };
  if (!Pump(Clock::now() + timeout, find)) return false;
  found->claimed = true;
  if (out != nullptr) *out = found->msg;
  return true;
}

void KoreSim::RunFor(milliseconds duration) {
  Pump(Clock::now() + duration, nullptr);
}

bool KoreSim::Send(uint32_t event, const void* data, size_t length) {
  if (!m_module.Running()) {
    Error("no module is running to send request " + std::to_string(event) + " to");
    return false;
  }
  if (m_queueId == -1) {
    Error("no control queue");
    return false;
  }
  ControlMessage msg;
  std::memset(&msg, 0, sizeof msg);
  msg.lMsgTypeDst = m_module.Pid();
  msg.nMsgTypeSrc = getpid();
  msg.nEvent = event;
  if (length > kMaxMessageDataLength) length = kMaxMessageDataLength;
  msg.msgData.nMsgLength = static_cast<uint32_t>(length);
  if (length > 0 && data != nullptr) std::memcpy(msg.msgData.chMsgData, data, length);
  // Never block on a full queue: kore-sim must keep reading its own events.
  int rc;
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while ((rc = msgsnd(m_queueId, &msg, kControlMessageBodySize, IPC_NOWAIT)) == -1 &&
         errno == EAGAIN && Clock::now() < deadline) {
    Pump(Clock::now() + milliseconds(1), nullptr);
  }
  if (rc == -1) {
    Error("sending request " + std::to_string(event) + " failed: " + strerror(errno));
    return false;
  }
  const char* name = event == EN_REQ_MODULE_MANAGER_UNLOAD ? " (unload)" : "";
  Log("sent",
      "sent request " + std::to_string(event) + name + " to module " +
          std::to_string(m_module.Pid()) + ", " + std::to_string(length) + " bytes",
      JsonObject()
          .Add("event", static_cast<uint64_t>(event))
          .Add("dst", static_cast<int64_t>(m_module.Pid()))
          .Add("length", static_cast<uint64_t>(length))
          .Add("data", Hex(msg.msgData.chMsgData, length)));
  return true;
}

// ---------------------------------------------------------------------------
// Named objects for extensions

void* KoreSim::OpenSharedMemory(const std::string& name, size_t size) {
  SharedMem shm(name, static_cast<int32_t>(size));
  void* addr = nullptr;
  if (size == 0 || size > INT32_MAX || shm.GetShm(&addr) != SHM_SUCCESS) return nullptr;
  m_mappings.push_back({name, addr, size, false});
  return addr;
}

void* KoreSim::CreateSharedMemory(const std::string& name, size_t size) {
  SharedMem shm(name, static_cast<int32_t>(size));
  void* addr = nullptr;
  if (size == 0 || size > INT32_MAX || shm.CreateShm(&addr) != SHM_SUCCESS) return nullptr;
  m_mappings.push_back({name, addr, size, true});
  return addr;
}

sem_t* KoreSim::OpenSemaphore(const std::string& name, bool create, unsigned initial) {
  sem_t* sem = create ? sem_open(name.c_str(), O_CREAT, 0660, initial) : sem_open(name.c_str(), 0);
  if (sem == SEM_FAILED) return nullptr;
  m_semaphores.push_back({name, sem, create});
  return sem;
}

// ---------------------------------------------------------------------------
// Commands

void KoreSim::RegisterCommands() {
  auto add = [this](Command c) {
    if (m_commands.count(c.name) == 0) m_commandOrder.push_back(c.name);
    m_commands[c.name] = std::move(c);
  };
  add({"help", "help", "list the commands", [this](const Args&, KoreContext&) {
         PrintHelp();
         return true;
       }});
  add({"wait", "wait DURATION", "keep running for DURATION (e.g. 200ms, 2s)",
       [this](const Args& a, KoreContext&) {
         milliseconds d;
         if (a.size() != 1 || !ParseDuration(a[0], &d)) {
           Error("usage: wait DURATION (e.g. 200ms, 2s)");
           return false;
         }
         RunFor(d);
         return true;
       }});
  add({"sleep", "sleep DURATION",
       "freeze kore-sim for DURATION: no events read, robot still (lets requests pile up)",
       [this](const Args& a, KoreContext&) {
         milliseconds d;
         if (a.size() != 1 || !ParseDuration(a[0], &d)) {
           Error("usage: sleep DURATION");
           return false;
         }
         auto end = Clock::now() + d;
         while (Clock::now() < end && g_stopSignal == 0) {
           usleep(1000);
         }
         m_nextTick = Clock::now();
         return true;
       }});
  add({"say", "say TEXT", "print TEXT (a note in a script)", [this](const Args& a, KoreContext&) {
         std::string text;
         for (const auto& w : a) text += (text.empty() ? "" : " ") + w;
         Log("say", text, JsonObject().Add("text", text));
         return true;
       }});
  add({"quit", "quit", "end the module and kore-sim, removing what kore-sim made",
       [this](const Args&, KoreContext&) {
         m_quit = true;
         return true;
       }});
  m_commands["exit"] = m_commands["quit"];

  for (auto& family : m_families) {
    for (auto& c : family->Commands()) add(std::move(c));
  }
  for (auto& ext : m_extensions) {
    for (auto& c : ext->Commands()) {
      if (m_commands.count(c.name) != 0) {
        Error("extension " + ext->Name() + ": command " + c.name + " already exists; ignored");
        continue;
      }
      add(std::move(c));
    }
  }
}

void KoreSim::PrintHelp() {
  std::string text = "Commands:\n";
  size_t extensionCommands = 0;
  for (const auto& ext : m_extensions) extensionCommands += ext->Commands().size();
  for (size_t i = 0; i < m_commandOrder.size(); ++i) {
    const std::string& name = m_commandOrder[i];
    if (i == m_commandOrder.size() - extensionCommands && extensionCommands > 0) {
      text += "Commands of the extensions (";
      for (size_t e = 0; e < m_extensions.size(); ++e) {
        text += (e ? ", " : "") + m_extensions[e]->Name();
      }
      text += "):\n";
    }
    const Command& c = m_commands[name];
    text += "  " + c.usage + "\n      " + c.help + "\n";
  }
  if (m_opt.json) {
    Log("help", "", JsonObject().Add("text", text));
  } else {
    fputs(text.c_str(), stdout);
    fflush(stdout);
  }
}

bool KoreSim::Execute(const std::string& rawLine) {
  std::string line = rawLine;
  size_t hash = line.find('#');
  if (hash != std::string::npos) line.erase(hash);
  Args words = SplitWords(line);
  if (words.empty()) return true;
  auto it = m_commands.find(words[0]);
  if (it == m_commands.end()) {
    Error("unknown command \"" + words[0] + "\" (try help)");
    return false;
  }
  Args args(words.begin() + 1, words.end());
  return it->second.handler(args, *this);
}

int KoreSim::Run() {
  m_families = CreateCommandFamilies();
  m_extensions = ExtensionRegistry::CreateAll();
  RegisterCommands();
  m_interactive = m_opt.scriptPath.empty();

  std::vector<std::string> script;
  if (!m_interactive) {
    std::ifstream in(m_opt.scriptPath);
    if (!in) {
      Error("cannot read script " + m_opt.scriptPath);
      return 2;
    }
    for (std::string l; std::getline(in, l);) script.push_back(l);
  }
  // Standard input stays blocking (it may be the user's terminal, shared with
  // the shell): it is read only when poll says it is readable.

  if (!Setup()) {
    Shutdown();
    return 2;
  }
  for (auto& ext : m_extensions) ext->OnStart(*this);
  if (!m_opt.modulePath.empty() && !StartModule(m_opt.modulePath)) {
    Shutdown();
    return 2;
  }

  int result = 0;
  if (!m_interactive) {
    for (size_t i = 0; i < script.size() && !m_quit && g_stopSignal == 0; ++i) {
      if (!Execute(script[i])) {
        Error("script " + m_opt.scriptPath + " line " + std::to_string(i + 1) +
              " failed: " + script[i]);
        result = 1;
        break;
      }
      // Events that arrived during the command are logged before the next.
      Pump(Clock::now(), nullptr);
    }
  } else {
    if (isatty(0)) {
      Log("hint", "type commands (help lists them); quit or Ctrl-D ends", JsonObject());
    }
    while (!m_quit && g_stopSignal == 0) {
      if (!m_stdinLines.empty()) {
        std::string line = m_stdinLines.front();
        m_stdinLines.pop_front();
        Execute(line);
        continue;
      }
      if (m_stdinEof) break;
      Pump(Clock::now() + milliseconds(100), [this] { return !m_stdinLines.empty(); });
    }
  }
  if (g_stopSignal != 0) {
    Log("signal", std::string("stopping on ") + strsignal(g_stopSignal),
        JsonObject().Add("signal", static_cast<int>(g_stopSignal)));
  }
  // Events that are already on their way are still logged.
  ReceiveEvents();
  m_module.Drain([this](const char* s, const std::string& l) { ForwardModuleLine(s, l); });
  Shutdown();
  return result;
}

}  // namespace
}  // namespace kore

int main(int argc, char* argv[]) {
  kore::Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= argc) {
        fprintf(stderr, "kore-sim: %s needs a value (see --help)\n", name);
        exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      fputs(kore::kUsage, stdout);
      fputs("\n", stdout);
      kore::KoreSim(opt).PrintCommands();
      return 0;
    } else if (a == "--version") {
      PrintProjectVersion("kore-sim");
      return 0;
    } else if (a == "--module") {
      opt.modulePath = value("--module");
    } else if (a == "--module-arg") {
      opt.moduleArg = value("--module-arg");
      opt.moduleArgGiven = true;
    } else if (a == "--script") {
      opt.scriptPath = value("--script");
    } else if (a == "--json") {
      opt.json = true;
    } else if (a == "--no-animate") {
      opt.animate = false;
    } else if (a == "--tick") {
      std::string v = value("--tick");
      char* end = nullptr;
      long ms = std::strtol(v.c_str(), &end, 10);
      if (*end != '\0' || ms < 1 || ms > 1000) {
        fprintf(stderr, "kore-sim: --tick takes 1..1000 milliseconds\n");
        return 2;
      }
      opt.tickMs = static_cast<int>(ms);
    } else {
      fprintf(stderr, "kore-sim: unknown option %s (see --help)\n", a.c_str());
      return 2;
    }
  }

  struct sigaction sa {};
  sa.sa_handler = kore::OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: a stop interrupts waits at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  kore::KoreSim sim(opt);
  return sim.Run();
}
