// kore-sim's running loop: ticks of the robot, events read from the control queue and logged, waits
// for events, requests sent to the module.
#include <errno.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "CommunicationModuleBase.h"
#include "KoreSim.h"
#include "Sharedmem.h"

using namespace VeloFramework;
using std::chrono::milliseconds;

namespace kore {

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int sig) {
  g_stopSignal = sig;
}

namespace {

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

}  // namespace

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

}  // namespace kore
