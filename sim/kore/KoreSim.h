// kore-sim's core: the stand-in for KORE and the Module Manager as one object
// that the commands and the extensions reach through KoreContext.
//
// Its parts live in files of their own:
//   Options.cpp        command-line options and the usage text
//   logging.cpp        log lines (readable or JSON) and forwarded module output
//   ipc_setup.cpp      the queue, the records and their semaphores; shutdown;
//                      the named objects extensions ask for
//   module_control.cpp the module program: start, stop, reaping
//   event_pump.cpp     the running loop, receiving events, waits, sending
//   output_requests.cpp the output requests modules write into the record
//   command_registry.cpp the session commands, the families and extensions,
//                      `help`
//   repl.cpp           the script and the interactive loop
//   ScriptParser.cpp   turning script text into command words
//
// Threading: everything runs on the one main thread.
#pragma once

#include <semaphore.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KoreExtension.h"
#include "ModuleProcess.h"
#include "Robot.h"

namespace kore {

using Clock = std::chrono::steady_clock;

// Set by SIGINT / SIGTERM: every wait ends and kore-sim shuts down.
extern volatile sig_atomic_t g_stopSignal;
void OnStopSignal(int sig);

struct Options {
  std::string modulePath;
  std::string moduleArg;
  bool moduleArgGiven = false;
  std::string scriptPath;
  bool json = false;
  int tickMs = 10;
  bool animate = true;
};

// What ParseOptions decided.
enum class OptionsResult { kRun, kHelp, kVersion, kError };

// Reads argv into *opt. On kError the reason is already on standard error.
OptionsResult ParseOptions(int argc, char* argv[], Options* opt);

// The options part of --help.
extern const char* const kUsage;

// "0123abcd..." for `length` bytes.
std::string Hex(const char* data, size_t length);

struct ReceivedEvent {
  VeloFramework::ControlMessage msg;
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
  bool WaitEvent(uint32_t event, std::chrono::milliseconds timeout,
                 VeloFramework::ControlMessage* out) override;
  void RunFor(std::chrono::milliseconds duration) override;
  VeloFramework::MonitoringData* Monitoring() override { return m_record; }
  void Log(const std::string& type, const std::string& text, const JsonObject& json) override;
  bool JsonMode() const override { return m_opt.json; }
  void Error(const std::string& text) override;
  void* OpenSharedMemory(const std::string& name, size_t size) override;
  void* CreateSharedMemory(const std::string& name, size_t size) override;
  sem_t* OpenSemaphore(const std::string& name, bool create, unsigned initial) override;
  bool StartModule(const std::string& path) override;
  void StopModule() override;
  bool WaitModuleExit(std::chrono::milliseconds timeout) override {
    return Pump(Clock::now() + timeout, [this] { return !m_module.Running(); });
  }
  void ForgetEvents() override {
    ReceiveEvents();
    for (auto& e : m_events) e.claimed = true;
  }
  int QueueId() const override { return m_queueId; }
  bool RemoveQueue() override;
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
  void HandleEvent(const VeloFramework::ControlMessage& msg);
  void ForwardModuleLine(const char* stream, const std::string& line);
  void CheckModule();
  // Runs one command line / its words; false when the command failed.
  bool Execute(const std::string& line);
  bool ExecuteWords(const Args& words);
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
  VeloFramework::MonitoringData* m_record = nullptr;
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

}  // namespace kore
