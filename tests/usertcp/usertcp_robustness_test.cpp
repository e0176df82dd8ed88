// The user TCP module under hostile peers: flooding clients, connect/close
// storms, malformed control records and a termination signal. The module
// runs as a process with the real queue, shared areas and sockets.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <thread>

#include "fake_kore.h"
#include "peer.h"

using namespace usertcp_test;
using ndk_test::Peer;
using test_support::WaitUntil;

namespace {

constexpr int kPort = 5600;

// The sanitizers' allocators hold freed memory and add shadow memory: the
// module's resident size says nothing in such a build.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryFigures = false;
#else
constexpr bool kMemoryFigures = true;
#endif

class ServerUnderAttack : public ServerOpenTest<kPort> {
 protected:
  uint32_t Connect(Peer& p) {
    EXPECT_TRUE(p.Connect(kPort));
    Event e;
    EXPECT_TRUE(kore.WaitEvent(29, 10s, &e));
    return e.Value();
  }
  ProcessFigures Module() { return Figures(kore.ModulePid()); }
};

// The byte at `offset` of what flooding client `client` sends: never
// repeats with a period that a lost or doubled chunk could hide behind.
inline char FloodByte(int client, uint64_t offset) {
  return static_cast<char>((offset * 131 + offset / 4093 + static_cast<uint64_t>(client) * 17) &
                           0xff);
}

// Module without the pause between chunks, so that 160 MB pass in a test.
class FloodingPeers : public ServerUnderAttack {
 protected:
  const char* ModulePath() const override { return USERTCP_FAST_MODULE; }
};

TEST_F(FloodingPeers, AreHeldByFlowControlAndEveryByteArrivesInOrder) {
  constexpr int kClients = 4;
  constexpr uint64_t kBytes = 40ull << 20;
  struct Received {
    uint64_t bytes = 0;
    uint64_t wrong = 0;
    int client = -1;
  };
  std::mutex mutex;
  std::map<uint32_t, Received> received;
  kore.SetChunkSink([&](const Chunk& c) {
    std::lock_guard<std::mutex> l(mutex);
    Received& r = received[c.id];
    for (size_t i = 0; i < c.data.size(); ++i)
      r.wrong += c.data[i] != FloodByte(r.client, r.bytes + i);
    r.bytes += c.data.size();
  });
  std::array<Peer, kClients> peers;
  for (int i = 0; i < kClients; ++i) {
    const uint32_t id = Connect(peers[i]);
    std::lock_guard<std::mutex> l(mutex);
    received[id].client = i;
  }
  const long idleRss = Module().rssKb;
  std::atomic<long> peakRss{idleRss};
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    while (sampling) {
      peakRss = std::max(peakRss.load(), Module().rssKb);
      std::this_thread::sleep_for(10ms);
    }
  });
  std::vector<std::thread> senders;
  std::array<std::atomic<bool>, kClients> sent{};
  for (int i = 0; i < kClients; ++i) {
    senders.emplace_back([&, i] {
      timeval limit{120, 0};  // a stall this long is a failure, not a wait
      setsockopt(peers[i].Fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
      std::string block(1 << 16, 0);
      bool ok = true;
      for (uint64_t off = 0; ok && off < kBytes; off += block.size()) {
        for (size_t k = 0; k < block.size(); ++k) block[k] = FloodByte(i, off + k);
        ok = peers[i].Send(block);
      }
      sent[i] = ok;
    });
  }
  for (auto& t : senders) t.join();
  const bool all = WaitUntil(
      [&] {
        std::lock_guard<std::mutex> l(mutex);
        for (auto& [id, r] : received)
          if (r.bytes < kBytes) return false;
        return true;
      },
      300s);
  sampling = false;
  sampler.join();
  EXPECT_TRUE(all);
  for (int i = 0; i < kClients; ++i) EXPECT_TRUE(sent[i]) << "client " << i;
  for (auto& [id, r] : received) {
    EXPECT_EQ(r.bytes, kBytes) << "client id " << id;
    EXPECT_EQ(r.wrong, 0u) << "client id " << id;
  }
  std::printf("flood: idle %ld kB, peak %ld kB\n", idleRss, peakRss.load());
  kore.Send(21);
  ASSERT_TRUE(kore.WaitEvent(23));
  if (!kMemoryFigures) return;
  EXPECT_LT(peakRss - idleRss, 16 * 1024) << "idle " << idleRss << " kB, peak " << peakRss;
  EXPECT_TRUE(WaitUntil([&] { return Module().rssKb < idleRss + 4 * 1024; }))
      << "idle " << idleRss << " kB, after close " << Module().rssKb;
}

TEST_F(ServerUnderAttack, ConnectCloseStormLeavesNoThreadDescriptorOrMemoryBehind) {
  // Idle figures with one client served, so the pools are warm.
  {
    Peer p;
    Connect(p);
    p.Close();
    ASSERT_TRUE(kore.WaitEvent(30));
  }
  std::this_thread::sleep_for(500ms);
  const ProcessFigures idle = Module();
  int peakThreads = 0;
  for (int i = 0; i < 1000; ++i) {
    Peer p;
    ASSERT_TRUE(p.Connect(kPort)) << "cycle " << i;
    p.Close();
    if (i % 50 == 0) peakThreads = std::max(peakThreads, Module().threads);
  }
  // Every client announced is also reported gone; one that left before its
  // turn came is not announced at all.
  const auto stormEnd = std::chrono::steady_clock::now();
  const bool settled = WaitUntil(
      [&] {
        const ProcessFigures f = Module();
        return f.threads <= idle.threads && f.descriptors <= idle.descriptors &&
               (!kMemoryFigures || f.rssKb <= idle.rssKb + 2048) &&
               kore.Count(29) == kore.Count(30);
      },
      60s);
  const ProcessFigures after = Module();
  std::printf("storm: idle %d threads %d fds %ld kB; peak %d threads; settled after %lld ms\n",
              idle.threads, idle.descriptors, idle.rssKb, peakThreads,
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - stormEnd)
                                         .count()));
  EXPECT_TRUE(settled) << "idle: " << idle.threads << " threads, " << idle.descriptors
                       << " descriptors, " << idle.rssKb << " kB; after: " << after.threads << ", "
                       << after.descriptors << ", " << after.rssKb << " kB; peak threads "
                       << peakThreads << "; events 29/30: " << kore.Count(29) << "/"
                       << kore.Count(30);
  // Still serving.
  Peer p;
  Connect(p);
  ASSERT_TRUE(p.Send("still here"));
  EXPECT_TRUE(WaitUntil([&] { return kore.Data().find("still here") != std::string::npos; }));
}

// Chunk records no message can hold are dropped with what was gathered; the
// next good message goes out alone and intact.
TEST_F(ServerUnderAttack, InconsistentChunkRecordsAreDropped) {
  Peer p;
  const uint32_t id = Connect(p);
  struct Bad {
    uint32_t index, count;
  };
  for (const Bad bad : {Bad{0, 0}, Bad{0, 2}, Bad{3, 2}}) {
    kore.WriteChunk(23, id, 1, 3, "gathered ");
    kore.WriteChunk(23, id, bad.index, bad.count, "bad ");
    ASSERT_TRUE(kore.WaitOutput("Chunk record " + std::to_string(bad.index) + " of " +
                                std::to_string(bad.count) + " is inconsistent"));
  }
  kore.SendMessage(23, id, "good");
  EXPECT_EQ(p.Receive(64, 2s), "good");
}

// SIGTERM and SIGINT: the module stops in order within the base's second,
// removes its areas, sends no event, and what it already sent to a client
// that reads slowly still arrives, although the client's own input was left
// unread (a plain close would reset the connection and drop it).
class StopSignal : public ServerUnderAttack, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, RemovesTheAreasAndDeliversWhatWasSent) {
  // A small window: most of what the module sends waits in its socket.
  Peer slow;
  ASSERT_TRUE(slow.Connect(kPort, 4096));
  Event connected;
  ASSERT_TRUE(kore.WaitEvent(29, 10s, &connected));
  const uint32_t id = connected.Value();
  // Input the module leaves unread: the first read waits for an
  // acknowledgement that never comes.
  kore.SetAck(FakeKore::Ack::None);
  ASSERT_TRUE(slow.Send("first"));
  ASSERT_TRUE(kore.WaitEvent(28));
  ASSERT_TRUE(slow.Send("unread"));
  const std::string message = ndk_test::Pattern(100000, 7);
  kore.SendMessage(23, id, message);
  ASSERT_TRUE(kore.WaitOutput("SEND OK"));
  const size_t events = kore.Events().size();
  const pid_t pid = kore.ModulePid();

  m_expectRunning = false;
  kore.Module().Signal(GetParam());
  int status = 0;
  ASSERT_TRUE(kore.Module().WaitExit(&status, 10s));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(slow.Receive(message.size(), 5s), message);
  EXPECT_TRUE(slow.WaitClosed());
  for (const char* dir : {"Tx", "Rx"}) {
    const std::string name = "/dev/shm/SHM_UserTcp_" + std::to_string(pid) + "_" + dir;
    EXPECT_NE(access(name.c_str(), F_OK), 0) << name;
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(kore.Events().size(), events);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "TERM" : "INT"; });

}  // namespace
