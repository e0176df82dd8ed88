// A kore-sim extension used only by the tests: it exercises every hook and
// every service of the extension context.
#include <cstring>

#include "KoreExtension.h"

namespace {

class ProbeExtension : public kore::KoreExtension {
 public:
  std::string Name() const override { return "probe"; }

  std::vector<kore::Command> Commands() override {
    return {
        {"probe-shm", "probe-shm NAME", "create a 64-byte shared-memory object holding \"probe\"",
         [](const kore::Args& a, kore::KoreContext& ctx) {
           if (a.size() != 1) return false;
           void* p = ctx.CreateSharedMemory(a[0], 64);
           if (p == nullptr) return false;
           std::memcpy(p, "probe", 6);
           void* q = ctx.OpenSharedMemory(a[0], 64);
           bool same = q != nullptr && std::strcmp(static_cast<char*>(q), "probe") == 0;
           ctx.Log("probe", same ? "shm ok" : "shm mismatch", kore::JsonObject().Add("shm", same));
           return same;
         }},
        {"probe-sem", "probe-sem NAME", "create a semaphore at 2",
         [](const kore::Args& a, kore::KoreContext& ctx) {
           return a.size() == 1 && ctx.OpenSemaphore(a[0], true, 2) != nullptr;
         }},
        {"probe-wait", "probe-wait CODE", "wait 5 s for an event through the context",
         [](const kore::Args& a, kore::KoreContext& ctx) {
           VeloFramework::ControlMessage msg;
           if (a.size() != 1 || !ctx.WaitEvent(static_cast<uint32_t>(std::stoul(a[0])),
                                               std::chrono::seconds(5), &msg)) {
             return false;
           }
           ctx.Log("probe", "got event from " + std::to_string(msg.nMsgTypeSrc),
                   kore::JsonObject()
                       .Add("probe_event", static_cast<uint64_t>(msg.nEvent))
                       .Add("from_module", msg.nMsgTypeSrc == ctx.ModulePid())
                       .Add("record_mapped", ctx.Monitoring() != nullptr));
           return true;
         }},
    };
  }

  bool OnEvent(const VeloFramework::ControlMessage& msg, kore::KoreContext&,
               kore::EventLog& log) override {
    if (msg.nEvent != 1099) return false;
    uint64_t cycles = 0;
    std::memcpy(&cycles, msg.msgData.chMsgData, sizeof cycles);
    log.name = "heartbeat";
    log.text = "heartbeat at cycle " + std::to_string(cycles);
    log.json.Add("cycles", cycles);
    log.quiet = ++m_beats > 2;  // the first two only
    return true;
  }

  void OnTick(kore::KoreContext&) override { ++m_ticks; }
  void OnStart(kore::KoreContext& ctx) override {
    ctx.Log("probe", "probe started", kore::JsonObject().Add("probe_started", true));
  }
  void OnShutdown(kore::KoreContext& ctx) override {
    ctx.Log("probe", "probe ticks " + std::to_string(m_ticks),
            kore::JsonObject().Add("probe_ticks", static_cast<uint64_t>(m_ticks)));
  }

 private:
  uint64_t m_ticks = 0;
  int m_beats = 0;
};

KORE_REGISTER_EXTENSION(ProbeExtension);

}  // namespace
