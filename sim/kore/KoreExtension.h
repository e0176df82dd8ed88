// Extension interface of kore-sim, the stand-in for KORE and the Module
// Manager.
//
// kore-sim's core creates the control queue and the monitoring record, starts
// one module program, logs every event it receives, animates the robot and
// acts on output requests. Everything specific to one kind of module (its
// requests, its events, its shared areas) lives in an extension: a file
// sim/kore/ext_<name>.cpp that defines a KoreExtension subclass and registers
// it with KORE_REGISTER_EXTENSION. The build picks up every ext_*.cpp by
// itself; nothing else has to be edited.
//
// Example:
//
//   #include "KoreExtension.h"
//
//   class PingExtension : public kore::KoreExtension {
//    public:
//     std::string Name() const override { return "ping"; }
//     std::vector<kore::Command> Commands() override {
//       return {{"ping", "ping [TEXT]", "send request 99 carrying TEXT",
//                [](const kore::Args& args, kore::KoreContext& ctx) {
//                  std::string text = args.empty() ? "hello" : args[0];
//                  return ctx.Send(99, text.data(), text.size());
//                }}};
//     }
//     bool OnEvent(const VeloFramework::ControlMessage& msg, kore::KoreContext&,
//                  kore::EventLog& log) override {
//       if (msg.nEvent != 100) return false;
//       log.name = "pong";
//       log.text = "pong received";
//       log.json.Add("pong", true);
//       return true;
//     }
//   };
//   KORE_REGISTER_EXTENSION(PingExtension);
//
// Threading: every hook runs on kore-sim's one main thread, one at a time;
// extensions need no locks.
#pragma once

#include <semaphore.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MessageQueue.h"
#include "MonitoringData.h"
#include "ScriptParser.h"  // Args

namespace kore {

// A small builder for one flat JSON object, used for the --json log.
class JsonObject {
 public:
  JsonObject& Add(const std::string& key, const std::string& value);
  JsonObject& Add(const std::string& key, const char* value);
  JsonObject& Add(const std::string& key, int64_t value);
  JsonObject& Add(const std::string& key, uint64_t value);
  JsonObject& Add(const std::string& key, int value) { return Add(key, int64_t{value}); }
  JsonObject& Add(const std::string& key, unsigned value) { return Add(key, uint64_t{value}); }
  JsonObject& Add(const std::string& key, double value);  // NaN/inf are written as null
  JsonObject& Add(const std::string& key, bool value);
  // Adds `json` as it is (an array or object already encoded).
  JsonObject& AddRaw(const std::string& key, const std::string& json);
  // Appends the members of `other` after these.
  JsonObject& Merge(const JsonObject& other);
  bool Empty() const { return m_members.empty(); }
  // "{...}".
  std::string Str() const;
  // Escapes a string for JSON, quotes included.
  static std::string Quote(const std::string& text);

 private:
  std::vector<std::string> m_members;  // encoded "key":value pairs
};

// What kore-sim logs for one received event. The core fills in the common
// fields (event code, source, length, payload in hex) around it.
struct EventLog {
  std::string name;    // short name of the event, e.g. "tcp-opened"; "" = none
  std::string text;    // readable description, e.g. "server listening on port 5000"
  JsonObject json;     // extra members of the JSON line
  bool quiet = false;  // true: do not print this occurrence (it is still waitable)
};

class KoreContext;
class Robot;

// A command of the script / interactive language.
struct Command {
  std::string name;   // first word, e.g. "tcp-open"
  std::string usage;  // e.g. "tcp-open server PORT", shown by --help and `help`
  std::string help;   // one line: what it does
  // Runs the command. Returns false on failure (after logging why): in a
  // script, kore-sim then stops and exits non-zero.
  std::function<bool(const Args& args, KoreContext& ctx)> handler;
};

// What kore-sim offers an extension. Valid for the lifetime of the run.
class KoreContext {
 public:
  virtual ~KoreContext() = default;

  // --- the module -----------------------------------------------------------
  // Pid of the running module program; -1 when none runs.
  virtual pid_t ModulePid() const = 0;
  // Sends request `event` with `length` payload bytes (0 allowed, `data` may
  // be null; more than 4096 bytes are cut) to the module. The send is logged.
  // False when no module runs or the send fails.
  virtual bool Send(uint32_t event, const void* data, size_t length) = 0;
  // KORE's own node id (kore-sim's pid), e.g. for addressing records.
  virtual pid_t KorePid() const = 0;

  // --- events -----------------------------------------------------------------
  // Keeps kore-sim running (events logged, robot animated, ticks) until an
  // event `event` arrives that no earlier wait has claimed, or `timeout`
  // passes. On success the event is claimed and copied to *out (if given).
  // Events that arrived before the call count when still unclaimed.
  virtual bool WaitEvent(uint32_t event, std::chrono::milliseconds timeout,
                         VeloFramework::ControlMessage* out = nullptr) = 0;
  // Keeps kore-sim running for `duration`.
  virtual void RunFor(std::chrono::milliseconds duration) = 0;

  // --- the robot ------------------------------------------------------------
  // The monitoring record kore-sim owns ("/mm-shared-mem"), mapped.
  virtual VeloFramework::MonitoringData* Monitoring() = 0;

  // --- logging --------------------------------------------------------------
  // One log line: the readable `text` normally, or with --json the object
  // {"type": type, "time": seconds, ...json}.
  virtual void Log(const std::string& type, const std::string& text,
                   const JsonObject& json = JsonObject()) = 0;
  // True when kore-sim writes JSON lines.
  virtual bool JsonMode() const = 0;
  // Logs an error; in a script the current command then counts as failed
  // when its handler returns false.
  virtual void Error(const std::string& text) = 0;

  // --- named shared memory and semaphores -----------------------------------
  // Maps an existing shared-memory object (e.g. one a module created) of at
  // least `size` bytes; null when it is missing or smaller. Unmapped by
  // kore-sim at shutdown.
  virtual void* OpenSharedMemory(const std::string& name, size_t size) = 0;
  // Creates (or opens) and maps an object of `size` bytes; kore-sim removes
  // it at shutdown. Null on failure.
  virtual void* CreateSharedMemory(const std::string& name, size_t size) = 0;
  // Opens a named semaphore; with `create`, creates it (0660, `initial`) and
  // removes it at shutdown. Closed at shutdown. Null on failure.
  virtual sem_t* OpenSemaphore(const std::string& name, bool create, unsigned initial = 0) = 0;

  // --- the module program ---------------------------------------------------
  // Starts `path` with kore-sim's pid as argument (or --module-arg); an empty
  // path means the --module one. False (after logging why) when none is
  // given or it cannot start.
  virtual bool StartModule(const std::string& path) = 0;
  // Ends the module program (SIGTERM, then SIGKILL); nothing when none runs.
  virtual void StopModule() = 0;
  // Keeps kore-sim running until the module program has ended or `timeout`
  // passes; true when it has ended.
  virtual bool WaitModuleExit(std::chrono::milliseconds timeout) = 0;

  // --- the control queue ------------------------------------------------------
  // Lets later waits see only events that arrive from now on.
  virtual void ForgetEvents() = 0;
  // The queue's System V id; -1 once removed or when it could not be made.
  virtual int QueueId() const = 0;
  // Removes the queue under the running module (a fault drill). False when
  // there is none.
  virtual bool RemoveQueue() = 0;

  // --- the robot model ----------------------------------------------------------
  // The robot kore-sim animates in the monitoring record.
  virtual Robot& RobotModel() = 0;
};

// Base class of an extension. Every hook has a do-nothing default but Name.
class KoreExtension {
 public:
  virtual ~KoreExtension() = default;
  // Short name, e.g. "modbus"; shown in --help.
  virtual std::string Name() const = 0;
  // Commands this extension adds to the script / interactive language.
  virtual std::vector<Command> Commands() { return {}; }
  // Called for every event kore-sim receives, before it is logged. Return
  // true when this extension knows the event: fill `log` (name, text, json,
  // quiet) and act on it if KORE would (for example acknowledge a chunk).
  // Events 1 and 2 are the core's; the first extension that returns true
  // describes the event.
  virtual bool OnEvent(const VeloFramework::ControlMessage&, KoreContext&, EventLog&) {
    return false;
  }
  // Once per kore-sim tick (every --tick milliseconds, 10 by default).
  virtual void OnTick(KoreContext&) {}
  // After the queue and the monitoring record exist, before the module starts.
  virtual void OnStart(KoreContext&) {}
  // After the module has ended, before kore-sim removes its objects.
  virtual void OnShutdown(KoreContext&) {}
};

// kore-sim's own command families, built on the same interface as the
// extensions: events and requests (wait-event, forget-events, send, unload,
// queue, remove-queue), the module program (start, stop, wait-exit) and the
// robot (monitor, animate, set, get). Listed in this order, before the
// extensions.
std::vector<std::unique_ptr<KoreExtension>> CreateCommandFamilies();

// Registry of the extensions linked into kore-sim.
class ExtensionRegistry {
 public:
  using Factory = std::function<std::unique_ptr<KoreExtension>()>;
  static void Add(Factory factory);
  // One new instance of each registered extension, in registration order.
  static std::vector<std::unique_ptr<KoreExtension>> CreateAll();
};

template <typename T>
struct ExtensionRegistrar {
  ExtensionRegistrar() {
    ExtensionRegistry::Add([] { return std::unique_ptr<KoreExtension>(new T()); });
  }
};

}  // namespace kore

// Registers an extension class (default-constructible) at program start.
#define KORE_REGISTER_EXTENSION(Class) \
  static ::kore::ExtensionRegistrar<Class> kore_extension_registrar_##Class
