// kore-sim's commands for the module program: starting, stopping, waiting for its end.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KoreExtension.h"
#include "Payload.h"
#include "Robot.h"

namespace kore {
namespace {

using namespace VeloFramework;
using std::chrono::milliseconds;

class ModuleCommands : public KoreExtension {
 public:
  std::string Name() const override { return "module"; }
  std::vector<Command> Commands() override {
    std::vector<Command> c;
    c.push_back({"start", "start [PATH]", "start the module program (default: the --module one)",
                 [](const Args& a, KoreContext& ctx) {
                   return ctx.StartModule(a.empty() ? std::string() : a[0]);
                 }});
    c.push_back({"stop", "stop", "end the module program (SIGTERM, then SIGKILL)",
                 [](const Args&, KoreContext& ctx) {
                   ctx.StopModule();
                   return true;
                 }});
    c.push_back(
        {"wait-exit", "wait-exit [TIMEOUT]", "wait (default 5s) until the module program has ended",
         [](const Args& a, KoreContext& ctx) {
           milliseconds timeout(5000);
           std::string error = "usage: wait-exit [TIMEOUT]";
           if (a.size() > 1 ||
               (a.size() == 1 && !ParseDurationArg("wait-exit: timeout", a[0], &timeout, &error))) {
             ctx.Error(error);
             return false;
           }
           if (ctx.WaitModuleExit(timeout)) return true;
           ctx.Log("wait-timeout", "wait-exit: the module is still running",
                   JsonObject().Add("timeout_ms", static_cast<int64_t>(timeout.count())));
           return false;
         }});
    return c;
  }
};

}  // namespace

std::unique_ptr<KoreExtension> MakeModuleCommands() {
  return std::unique_ptr<KoreExtension>(new ModuleCommands());
}

}  // namespace kore
