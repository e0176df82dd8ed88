// kore-sim's commands for events and requests: waiting for events, sending requests, the queue.
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

class EventCommands : public KoreExtension {
 public:
  std::string Name() const override { return "events"; }
  std::vector<Command> Commands() override {
    std::vector<Command> c;
    c.push_back(
        {"wait-event", "wait-event CODE [TIMEOUT] [status=N]",
         "wait (default 5s) for an event CODE not claimed by an earlier wait; fails on timeout "
         "or when its 4-byte status differs from N",
         [](const Args& a, KoreContext& ctx) {
           long long code;
           milliseconds timeout(5000);
           long long wantStatus = -1;
           std::string error = "usage: wait-event CODE [TIMEOUT] [status=N]";
           bool ok = !a.empty() && a.size() <= 3 &&
                     ParseNumberArg("wait-event: event code", a[0], 0, 0xffffffffll, &code, &error);
           for (size_t i = 1; ok && i < a.size(); ++i) {
             long long s;
             if (a[i].rfind("status=", 0) == 0) {
               ok = ParseNumberArg("wait-event: status", a[i].substr(7), 0, 0xffffffffll, &s,
                                   &error);
               wantStatus = s;
             } else {
               ok = ParseDurationArg("wait-event: timeout", a[i], &timeout, &error);
             }
           }
           if (!ok) {
             ctx.Error(error);
             return false;
           }
           ControlMessage msg;
           if (!ctx.WaitEvent(static_cast<uint32_t>(code), timeout, &msg)) {
             ctx.Log("wait-timeout",
                     "wait-event " + std::to_string(code) + ": no such event within " +
                         std::to_string(timeout.count()) + " ms",
                     JsonObject()
                         .Add("event", static_cast<uint64_t>(code))
                         .Add("timeout_ms", static_cast<int64_t>(timeout.count())));
             return false;
           }
           if (wantStatus >= 0) {
             uint32_t status = 0xffffffffu;
             if (msg.msgData.nMsgLength >= 4) std::memcpy(&status, msg.msgData.chMsgData, 4);
             if (status != static_cast<uint32_t>(wantStatus)) {
               ctx.Error("event " + std::to_string(code) + " carries status " +
                         std::to_string(status) + ", expected " + std::to_string(wantStatus));
               return false;
             }
           }
           return true;
         }});
    c.push_back({"forget-events", "forget-events",
                 "let later waits see only events that arrive from now on",
                 [](const Args&, KoreContext& ctx) {
                   ctx.ForgetEvents();
                   return true;
                 }});
    c.push_back(
        {"send", std::string("send CODE [") + kPayloadUsage + "]",
         "send request CODE with a payload to the module", [](const Args& a, KoreContext& ctx) {
           long long code;
           std::string payload, error;
           error = std::string("usage: send CODE [") + kPayloadUsage + "]";
           if (a.empty() ||
               !ParseNumberArg("send: request code", a[0], 0, 0xffffffffll, &code, &error)) {
             ctx.Error(error);
             return false;
           }
           if (!ParsePayload(a, 1, true, &payload, &error)) {
             ctx.Error("send: " + error);
             return false;
           }
           return ctx.Send(static_cast<uint32_t>(code), payload.data(), payload.size());
         }});
    c.push_back({"unload", "unload", "send the unload request (2) to the module",
                 [](const Args&, KoreContext& ctx) {
                   return ctx.Send(EN_REQ_MODULE_MANAGER_UNLOAD, nullptr, 0);
                 }});
    c.push_back({"queue", "queue", "show how many records wait on the control queue",
                 [](const Args&, KoreContext& ctx) {
                   struct msqid_ds info;
                   const int queue = ctx.QueueId();
                   if (queue == -1 || msgctl(queue, IPC_STAT, &info) != 0) {
                     ctx.Error("no control queue");
                     return false;
                   }
                   ctx.Log("queue",
                           "control queue " + std::to_string(queue) + ": " +
                               std::to_string(info.msg_qnum) + " records waiting",
                           JsonObject().Add("records", static_cast<uint64_t>(info.msg_qnum)));
                   return true;
                 }});
    c.push_back({"remove-queue", "remove-queue",
                 "remove the control queue under the running module (a fault drill)",
                 [](const Args&, KoreContext& ctx) {
                   if (!ctx.RemoveQueue()) {
                     ctx.Error("no control queue to remove");
                     return false;
                   }
                   ctx.Log("queue-removed", "control queue removed", JsonObject());
                   return true;
                 }});
    return c;
  }
};

}  // namespace

std::unique_ptr<KoreExtension> MakeEventCommands() {
  return std::unique_ptr<KoreExtension>(new EventCommands());
}

}  // namespace kore
