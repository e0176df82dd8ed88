// A small KORE for the user TCP module tests: owns the control queue and the
// monitoring record, starts the module, answers its chunk events and records
// every event. Records in the shared areas are written and read as raw bytes
// at the offsets of the record tables, not through the module's structs.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace usertcp_test {

using namespace std::chrono_literals;

// The control queue record, laid out by hand: dst at 0, src at 8, event at
// 16, length at 20, payload at 24; 4120 bytes in all.
struct QueueRecord {
  unsigned char bytes[4120];
};

inline void Put32(void* base, size_t offset, uint32_t v) {
  std::memcpy(static_cast<char*>(base) + offset, &v, 4);
}
inline uint32_t Get32(const void* base, size_t offset) {
  uint32_t v;
  std::memcpy(&v, static_cast<const char*>(base) + offset, 4);
  return v;
}

struct Event {
  uint32_t code = 0;
  std::string payload;
  // For 28/31: the chunk record read from Rx when the event arrived; for 29
  // the peer record.
  std::string rx;
  uint32_t Value() const { return payload.size() >= 4 ? Get32(payload.data(), 0) : 0xffffffffu; }
};

// A chunk record as read from the Rx area.
struct Chunk {
  uint32_t id, length, total, index, count;
  std::string data;
};
inline Chunk ParseChunk(const std::string& rx) {
  Chunk c{Get32(rx.data(), 4),  Get32(rx.data(), 8),  Get32(rx.data(), 12),
          Get32(rx.data(), 16), Get32(rx.data(), 20), {}};
  c.data.assign(rx.data() + 24, std::min<uint32_t>(c.length, 4062));
  return c;
}

class FakeKore {
 public:
  enum class Ack { Success, Refuse, RefuseNext, None };

  FakeKore() {
    close(open("controlMessageQueue.txt", O_CREAT | O_WRONLY, 0644));
    const key_t key = ftok("controlMessageQueue.txt", 3479);
    m_queue = msgget(key, IPC_CREAT | 0644);
    // The monitoring record, so that the module maps what it expects.
    int fd = shm_open("/mm-shared-mem", O_CREAT | O_RDWR, 0660);
    if (fd >= 0) {
      if (ftruncate(fd, 532) != 0) {
      }
      close(fd);
    }
    m_reader = std::thread([this] { ReadLoop(); });
  }
  ~FakeKore() {
    m_run = false;
    m_reader.join();
    if (m_tx) munmap(m_tx, 100000);
    if (m_rx) munmap(m_rx.load(), 100000);
    msgctl(m_queue, IPC_RMID, nullptr);
  }

  // Starts the module and waits for its load response; maps its areas.
  bool StartModule(const std::string& path) {
    m_module = test_support::ChildProcess::Start({path, std::to_string(getpid())}, "module");
    if (!m_module || !WaitEvent(1, 10s)) return false;
    m_tx = MapArea("Tx");
    m_rx = MapArea("Rx");
    return m_tx != nullptr && m_rx != nullptr;
  }
  test_support::ChildProcess& Module() { return *m_module; }
  pid_t ModulePid() const { return m_module ? m_module->Pid() : -1; }

  void SetAck(Ack a) { m_ack = a; }
  // Hands every chunk to `sink` (on the reader thread) instead of keeping
  // its Rx copy; for tests that move megabytes. Set before the traffic.
  void SetChunkSink(std::function<void(const Chunk&)> sink) {
    std::lock_guard<std::mutex> l(m_mutex);
    m_sink = std::move(sink);
  }

  bool Send(uint32_t event) {
    QueueRecord r{};
    const int64_t dst = ModulePid(), src = getpid();
    std::memcpy(r.bytes, &dst, 8);
    std::memcpy(r.bytes + 8, &src, 8);
    Put32(r.bytes, 16, event);
    return msgsnd(m_queue, &r, 4112, 0) == 0;
  }
  // Waits until the module took every request off the queue (and a little
  // longer), so that the Tx area may be written again.
  void WaitTaken() {
    test_support::WaitUntil([&] {
      msqid_ds info{};
      return msgctl(m_queue, IPC_STAT, &info) == 0 && info.msg_qnum == 0;
    });
    std::this_thread::sleep_for(m_takenMargin);
  }
  // Extra wait after the module took a request (the module copies the Tx
  // record right after taking it).
  void SetTakenMargin(std::chrono::milliseconds margin) { m_takenMargin = margin; }

  // Open record: mode at 4, port at 8, address text at 64 (16 bytes).
  void Open(int32_t mode, int32_t port, const std::string& ip = "", bool terminated = true) {
    std::memset(m_tx, 0, 80);
    Put32(m_tx, 4, static_cast<uint32_t>(mode));
    Put32(m_tx, 8, static_cast<uint32_t>(port));
    if (terminated)
      std::memcpy(static_cast<char*>(m_tx) + 64, ip.c_str(), std::min<size_t>(ip.size() + 1, 16));
    else
      std::memset(static_cast<char*>(m_tx) + 64, '7', 16);
    Send(20);
    WaitTaken();
  }

  // One chunk record into Tx, then the request.
  void WriteChunk(uint32_t request, uint32_t id, uint32_t index, uint32_t count,
                  const std::string& data, int64_t length = -1) {
    char* tx = static_cast<char*>(m_tx);
    std::memset(tx, 0, 4086);
    Put32(tx, 4, id);
    Put32(tx, 8, length >= 0 ? static_cast<uint32_t>(length) : static_cast<uint32_t>(data.size()));
    Put32(tx, 12, static_cast<uint32_t>(data.size()));
    Put32(tx, 16, index);
    Put32(tx, 20, count);
    std::memcpy(tx + 24, data.data(), std::min<size_t>(data.size(), 4062));
    Send(request);
    WaitTaken();
  }
  // A whole message, cut in chunks of 4062 bytes.
  void SendMessage(uint32_t request, uint32_t id, const std::string& data) {
    const uint32_t n = static_cast<uint32_t>((data.size() + 4061) / 4062);
    for (uint32_t i = 1; i <= n; ++i)
      WriteChunk(request, id, i, n, data.substr((i - 1) * 4062, 4062));
  }

  // Waits for an event `code` not claimed by an earlier wait.
  bool WaitEvent(uint32_t code, std::chrono::milliseconds timeout = 10s, Event* out = nullptr) {
    return test_support::WaitUntil(
        [&] {
          std::lock_guard<std::mutex> l(m_mutex);
          for (size_t i = 0; i < m_events.size(); ++i) {
            if (m_claimed[i] || m_events[i].code != code) continue;
            m_claimed[i] = true;
            if (out) *out = m_events[i];
            return true;
          }
          return false;
        },
        timeout);
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> l(m_mutex);
    return m_events;
  }
  size_t Count(uint32_t code) {
    size_t n = 0;
    for (const Event& e : Events()) n += e.code == code;
    return n;
  }
  // Chunks received for one id (or every id with -1), in order.
  std::vector<Chunk> Chunks(int64_t id = -1) {
    std::vector<Chunk> out;
    for (const Event& e : Events()) {
      if (e.code != 28 && e.code != 31) continue;
      Chunk c = ParseChunk(e.rx);
      if (id < 0 || c.id == id) out.push_back(c);
    }
    return out;
  }
  // The bytes of every acknowledged chunk of one id, concatenated.
  std::string Data(int64_t id = -1) {
    std::string s;
    for (const Chunk& c : Chunks(id)) s += c.data;
    return s;
  }
  bool WaitOutput(const std::string& text, std::chrono::milliseconds timeout = 10s) {
    return m_module->WaitForOutput(text, timeout);
  }
  size_t OutputCount(const std::string& text) {
    const std::string out = m_module->Stdout();
    size_t n = 0;
    for (size_t p = out.find(text); p != std::string::npos; p = out.find(text, p + 1)) ++n;
    return n;
  }
  // The module's open descriptors, one "fd -> target" per line.
  std::string ModuleDescriptorList() {
    std::string out;
    const std::string dir = "/proc/" + std::to_string(ModulePid()) + "/fd";
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) {
        char target[256] = {};
        if (readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0)
          out += std::string(e->d_name) + " -> " + target + "\n";
      }
      closedir(d);
    }
    return out;
  }
  // The module's open sockets. (POCO also holds an epoll descriptor while a
  // thread polls, so the plain descriptor count varies with timing.)
  int ModuleDescriptors() {
    const std::string list = ModuleDescriptorList();
    int n = 0;
    for (size_t p = 0; (p = list.find("socket:", p)) != std::string::npos; ++p) ++n;
    return n;
  }

 private:
  void* MapArea(const char* dir) {
    const std::string name = "/SHM_UserTcp_" + std::to_string(ModulePid()) + "_" + dir;
    int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) return nullptr;
    void* p = mmap(nullptr, 100000, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : p;
  }

  void ReadLoop() {
    while (m_run) {
      QueueRecord r{};
      if (msgrcv(m_queue, &r, 4112, getpid(), IPC_NOWAIT) < 0) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      Event e;
      e.code = Get32(r.bytes, 16);
      const uint32_t len = std::min<uint32_t>(Get32(r.bytes, 20), 4096);
      e.payload.assign(reinterpret_cast<char*>(r.bytes) + 24, len);
      char* rx = static_cast<char*>(m_rx.load());
      if ((e.code == 28 || e.code == 31) && rx) {
        e.rx.assign(rx, 4086);
        std::function<void(const Chunk&)> sink;
        {
          std::lock_guard<std::mutex> l(m_mutex);
          sink = m_sink;
        }
        if (sink) {
          sink(ParseChunk(e.rx));
          e.rx.clear();
        }
        const Ack a = m_ack;
        if (a == Ack::RefuseNext) m_ack = Ack::Success;
        if (a == Ack::Success) Send(34);
        if (a == Ack::Refuse || a == Ack::RefuseNext) Send(35);
      } else if (e.code == 29 && rx) {
        e.rx.assign(rx, 24);
      }
      std::lock_guard<std::mutex> l(m_mutex);
      m_events.push_back(e);
      m_claimed.push_back(false);
    }
  }

  std::chrono::milliseconds m_takenMargin{5};
  int m_queue = -1;
  std::unique_ptr<test_support::ChildProcess> m_module;
  void* m_tx = nullptr;
  std::atomic<void*> m_rx{nullptr};
  std::atomic<Ack> m_ack{Ack::Success};
  std::atomic<bool> m_run{true};
  std::mutex m_mutex;
  std::vector<Event> m_events;
  std::vector<bool> m_claimed;
  std::function<void(const Chunk&)> m_sink;
  std::thread m_reader;
};

// What a process holds, from /proc: resident memory, threads, descriptors.
struct ProcessFigures {
  long rssKb = -1;
  int threads = -1;
  int descriptors = -1;
};
inline ProcessFigures Figures(pid_t pid) {
  ProcessFigures f;
  const std::string dir = "/proc/" + std::to_string(pid);
  std::ifstream status(dir + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") status >> f.rssKb;
    if (key == "Threads:") status >> f.threads;
  }
  if (DIR* d = opendir((dir + "/fd").c_str())) {
    f.descriptors = 0;
    while (dirent* e = readdir(d)) f.descriptors += e->d_name[0] != '.';
    closedir(d);
  }
  return f;
}

// A test that starts the module first and checks at the end that nothing
// the test did made the module crash or report a sanitizer error.
class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kore.StartModule(ModulePath())); }
  virtual const char* ModulePath() const { return USERTCP_MODULE; }
  void TearDown() override {
    if (m_expectRunning) {
      EXPECT_TRUE(kore.Module().Running());
    }
    EXPECT_EQ(kore.Module().Stderr().find("Sanitizer"), std::string::npos)
        << kore.Module().Stderr();
  }
  FakeKore kore;
  bool m_expectRunning = true;  // cleared by tests that end the module
};

// A module with a server open on `Port` (slot 1), listening.
template <int Port>
class ServerOpenTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    if (HasFatalFailure()) return;
    kore.Open(1, Port);
    ASSERT_TRUE(kore.WaitEvent(21));
    ASSERT_TRUE(kore.WaitOutput("End of startServices"));
  }
};

}  // namespace usertcp_test
