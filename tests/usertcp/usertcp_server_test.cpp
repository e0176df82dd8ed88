// The user TCP module in server mode, driven by a small KORE over the real
// control queue and shared areas, with real TCP clients.
#include <gtest/gtest.h>

#include "fake_kore.h"
#include "peer.h"

using namespace usertcp_test;
using ndk_test::Pattern;
using ndk_test::Peer;
using test_support::WaitUntil;

namespace {

constexpr int kPort = 5300;

class ServerMode : public ServerOpenTest<kPort> {
 protected:
  // Connects a client and waits for its event 29; returns its id.
  uint32_t Connect(Peer& p) {
    EXPECT_TRUE(p.Connect(kPort));
    Event e;
    EXPECT_TRUE(kore.WaitEvent(29, 10s, &e));
    return e.Value();
  }
};

TEST_F(ServerMode, ClientsGetIdsAndPeerRecordsAndCloseDropsThemSilently) {
  Peer a, b;
  ASSERT_TRUE(a.Connect(kPort));
  Event ea, eb;
  ASSERT_TRUE(kore.WaitEvent(29, 10s, &ea));
  ASSERT_TRUE(b.Connect(kPort));
  ASSERT_TRUE(kore.WaitEvent(29, 10s, &eb));
  EXPECT_EQ(ea.Value(), 1u);
  EXPECT_EQ(eb.Value(), 2u);
  // Peer record: id at 0, port at 4, address text at 8.
  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(b.Fd(), reinterpret_cast<sockaddr*>(&local), &len);
  EXPECT_EQ(Get32(eb.rx.data(), 0), 2u);
  EXPECT_EQ(Get32(eb.rx.data(), 4), ntohs(local.sin_port));
  EXPECT_STREQ(eb.rx.data() + 8, "127.0.0.1");

  kore.Send(21);
  ASSERT_TRUE(kore.WaitEvent(23));
  EXPECT_TRUE(a.WaitClosed());
  EXPECT_TRUE(b.WaitClosed());
  kore.Send(21);  // closed already: no second event
  kore.WaitTaken();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(kore.Count(30), 0u);
  EXPECT_EQ(kore.Count(23), 1u);
  // Idle again: a new open is served.
  kore.Open(1, kPort);
  ASSERT_TRUE(kore.WaitEvent(21));
}

TEST_F(ServerMode, IncomingDataIsChunkedAt4062Bytes) {
  Peer p;
  const uint32_t id = Connect(p);
  ASSERT_TRUE(p.Send(Pattern(4062, 1)));
  ASSERT_TRUE(kore.WaitOutput("END", 10s));
  ASSERT_TRUE(WaitUntil([&] { return kore.Chunks().size() == 1; }));
  Chunk c = kore.Chunks()[0];
  EXPECT_EQ(c.id, id);
  EXPECT_EQ(c.index, 1u);
  EXPECT_EQ(c.count, 1u);
  EXPECT_EQ(c.length, 4062u);
  EXPECT_EQ(c.total, 4062u);
  EXPECT_EQ(c.data, Pattern(4062, 1));

  ASSERT_TRUE(p.Send(Pattern(4063, 2)));
  ASSERT_TRUE(WaitUntil([&] { return kore.Chunks().size() == 3; }));
  const auto chunks = kore.Chunks();
  EXPECT_EQ(chunks[1].index, 1u);
  EXPECT_EQ(chunks[1].count, 2u);
  EXPECT_EQ(chunks[1].length, 4062u);
  EXPECT_EQ(chunks[1].total, 4063u);
  EXPECT_EQ(chunks[2].index, 2u);
  EXPECT_EQ(chunks[2].count, 2u);
  EXPECT_EQ(chunks[2].length, 1u);
  EXPECT_EQ(chunks[2].total, 4063u);
  EXPECT_EQ(chunks[1].data + chunks[2].data, Pattern(4063, 2));
}

TEST_F(ServerMode, HundredThousandBytesReassembleExactly) {
  Peer p;
  const uint32_t id = Connect(p);
  const std::string big = Pattern(100000, 3);
  ASSERT_TRUE(p.Send(big));
  ASSERT_TRUE(WaitUntil([&] { return kore.Data(id).size() >= big.size(); }, 30s));
  EXPECT_EQ(kore.Data(id), big);
  for (const Chunk& c : kore.Chunks()) EXPECT_LE(c.length, 4062u);
}

TEST_F(ServerMode, RefusedChunkDropsTheRestButKeepsTheConnection) {
  Peer p;
  const uint32_t id = Connect(p);
  kore.SetAck(FakeKore::Ack::RefuseNext);
  ASSERT_TRUE(p.Send(Pattern(10000, 4)));
  ASSERT_TRUE(kore.WaitOutput("SEND MESSAGE FAIL"));
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(kore.Chunks().size(), 1u);
  EXPECT_EQ(kore.Chunks()[0].count, 3u);
  ASSERT_TRUE(p.Send("again"));
  ASSERT_TRUE(WaitUntil([&] { return kore.Data(id).find("again") != std::string::npos; }));
}

TEST_F(ServerMode, UnansweredChunkFailsAfterTheBoundedWait) {
  Peer p;
  const uint32_t id = Connect(p);
  kore.SetAck(FakeKore::Ack::None);
  ASSERT_TRUE(p.Send("nobody answers"));
  ASSERT_TRUE(kore.WaitOutput("SEND MESSAGE FAIL", 20s));
  kore.SetAck(FakeKore::Ack::Success);
  ASSERT_TRUE(p.Send("answered"));
  ASSERT_TRUE(WaitUntil([&] { return kore.Data(id).find("answered") != std::string::npos; }));
  EXPECT_EQ(kore.Count(30), 0u);
}

TEST_F(ServerMode, OutgoingChunksAreGatheredAndSentToTheNamedClient) {
  Peer a, b;
  Connect(a);
  const uint32_t idb = Connect(b);
  const std::string c1 = Pattern(4062, 5), c2 = Pattern(4062, 6), c3 = "tail";
  kore.WriteChunk(23, idb, 1, 3, c1);
  kore.WriteChunk(23, idb, 2, 3, c2);
  EXPECT_EQ(b.Receive(1, 100ms), "");  // nothing before the final chunk
  kore.WriteChunk(23, idb, 3, 3, c3);
  EXPECT_EQ(b.Receive(c1.size() + c2.size() + c3.size()), c1 + c2 + c3);
  EXPECT_EQ(a.Receive(1, 100ms), "");

  // A message missing a chunk is never sent (1 and 3 of 3; 1, 3 and 4 of
  // 4), nor does it leak into the next one.
  kore.WriteChunk(23, idb, 1, 3, "one+");
  kore.WriteChunk(23, idb, 3, 3, "three");
  kore.WriteChunk(23, idb, 1, 4, "first");
  kore.WriteChunk(23, idb, 3, 4, "third");
  kore.WriteChunk(23, idb, 4, 4, "fourth");
  kore.WriteChunk(23, idb, 1, 1, "whole");
  EXPECT_EQ(b.Receive(5), "whole");
  EXPECT_EQ(b.Receive(1, 100ms), "");
  EXPECT_EQ(kore.OutputCount("SEND OK"), 2u);
}

TEST_F(ServerMode, ServerWriteRequestSendsNothing) {
  Peer a;
  Connect(a);
  kore.WriteChunk(22, 1, 1, 1, "to nobody");
  ASSERT_TRUE(kore.WaitOutput("Send OK"));
  EXPECT_EQ(a.Receive(1, 200ms), "");
}

TEST_F(ServerMode, OversizeAndUnknownOutgoingDataIsDroppedSafely) {
  Peer a;
  const uint32_t id = Connect(a);
  // A chunk that claims more than 4062 bytes.
  kore.WriteChunk(23, id, 1, 1, "short", 5000);
  ASSERT_TRUE(kore.WaitOutput("more than 4062"));
  // A message that grows past 100000 bytes.
  for (uint32_t i = 1; i <= 25; ++i) kore.WriteChunk(23, id, i, 26, Pattern(4062, i));
  kore.WriteChunk(23, id, 26, 26, Pattern(4062, 26));
  ASSERT_TRUE(kore.WaitOutput("longer than 100000"));
  // An id nobody has, and an empty message.
  kore.WriteChunk(23, 99, 1, 1, "lost");
  ASSERT_TRUE(kore.WaitOutput("Client 99 is not connected"));
  kore.WriteChunk(23, id, 1, 1, "");
  ASSERT_TRUE(kore.WaitOutput("Empty message"));
  EXPECT_EQ(a.Receive(1, 200ms), "");
  // Nothing of the above lingers: the next message arrives alone.
  kore.SendMessage(23, id, "clean");
  EXPECT_EQ(a.Receive(5), "clean");
  EXPECT_EQ(a.Receive(1, 100ms), "");
  EXPECT_EQ(kore.Count(30), 0u);
}

TEST_F(ServerMode, ClientsForwardingAtOnceDoNotMixTheirData) {
  const int n = 4;
  std::vector<Peer> peers(n);
  std::vector<uint32_t> ids;
  for (auto& p : peers) ids.push_back(Connect(p));
  for (int i = 0; i < n; ++i) ASSERT_TRUE(peers[i].Send(Pattern(9000, 10 + i)));
  // A client that connects meanwhile: its peer record must not replace a
  // chunk that waits for its acknowledgement.
  Peer late;
  ASSERT_TRUE(late.Connect(kPort));
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (int i = 0; i < n; ++i)
          if (kore.Data(ids[i]).size() < 9000) return false;
        return true;
      },
      30s));
  for (int i = 0; i < n; ++i) EXPECT_EQ(kore.Data(ids[i]), Pattern(9000, 10 + i)) << i;
  for (const Chunk& c : kore.Chunks()) {
    EXPECT_EQ(c.total, 9000u);
    EXPECT_EQ(c.count, 3u);
  }
  Event e;
  ASSERT_TRUE(kore.WaitEvent(29, 10s, &e));
  EXPECT_EQ(Get32(e.rx.data(), 0), e.Value());
}

TEST_F(ServerMode, LeavingClientsAreReportedAndLeakNothing) {
  Peer first;
  Connect(first);
  const int baseline = kore.ModuleDescriptors();
  const std::string before = kore.ModuleDescriptorList();
  for (int round = 0; round < 20; ++round) {
    Peer p;
    const uint32_t id = Connect(p);
    p.Send("bye");
    p.Close();
    Event e;
    ASSERT_TRUE(kore.WaitEvent(30, 10s, &e));
    EXPECT_EQ(e.Value(), id);
  }
  EXPECT_TRUE(WaitUntil([&] { return kore.ModuleDescriptors() == baseline; }))
      << before << "\nnow:\n"
      << kore.ModuleDescriptorList();
}

TEST_F(ServerMode, UnloadStopsTheServerWhileAChunkWaits) {
  Peer p;
  Connect(p);
  kore.SetAck(FakeKore::Ack::None);
  ASSERT_TRUE(p.Send("waiting"));
  ASSERT_TRUE(WaitUntil([&] { return kore.Chunks().size() == 1; }));
  kore.Send(2);  // unload: the waiting chunk must not hold it up
  Event e;
  ASSERT_TRUE(kore.WaitEvent(2, 10s, &e));
  EXPECT_EQ(e.Value(), 0u);
  EXPECT_TRUE(p.WaitClosed());
  EXPECT_TRUE(kore.WaitOutput("SEND MESSAGE FAIL"));
  EXPECT_EQ(kore.Count(30), 0u);
  // Idle after the unload: an open is served again.
  kore.Open(1, kPort);
  EXPECT_TRUE(kore.WaitEvent(21));
}

TEST_F(ServerMode, RequestsWhileOpenOrWithBadRecordsAreHandledQuietly) {
  kore.Open(1, kPort + 1);  // already open: ignored
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(kore.Count(21), 1u);
  Peer p;
  ASSERT_FALSE(p.Connect(kPort + 1));
}

// Tests that start from an idle module.
class Idle : public ModuleTest {};

TEST_F(Idle, RequestsWithoutAnOpenLinkDoNothing) {
  kore.WriteChunk(22, 0, 1, 1, "x");
  kore.WriteChunk(23, 1, 1, 1, "x");
  kore.Send(21);
  kore.Send(24);
  kore.Send(34);
  kore.Send(35);
  kore.WaitTaken();
  std::this_thread::sleep_for(100ms);
  // Only the load response.
  EXPECT_EQ(kore.Events().size(), 1u);
}

TEST_F(Idle, BadOpenRecordsAreRefused) {
  kore.Open(3, kPort);
  ASSERT_TRUE(kore.WaitOutput("End of startServices"));
  kore.Send(21);  // mode 3 left the module idle: nothing to close
  kore.WaitTaken();
  kore.Open(1, 0);
  ASSERT_TRUE(kore.WaitEvent(20));
  kore.Open(1, 70000);
  ASSERT_TRUE(kore.WaitEvent(20));
  kore.Open(2, 70000, "127.0.0.1");
  ASSERT_TRUE(kore.WaitEvent(20));
  kore.Open(2, kPort, "", false);
  ASSERT_TRUE(kore.WaitEvent(20));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(kore.Count(21), 0u);
  EXPECT_EQ(kore.Count(22), 0u);
  EXPECT_EQ(kore.Count(23), 0u);
  // Still usable.
  kore.Open(1, kPort);
  ASSERT_TRUE(kore.WaitEvent(21));
}

TEST_F(Idle, PortInUseFailsTheOpenAndStaysIdle) {
  ndk_test::Listener holder(kPort);
  kore.Open(1, kPort);
  ASSERT_TRUE(kore.WaitEvent(20));
  EXPECT_EQ(kore.Count(21), 0u);
  kore.Send(21);  // idle again: nothing to close
  kore.WaitTaken();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(kore.Count(23), 0u);
  kore.Open(1, kPort + 1);
  EXPECT_TRUE(kore.WaitEvent(21));
}

}  // namespace
