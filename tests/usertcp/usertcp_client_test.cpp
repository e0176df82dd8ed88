// The user TCP module in client mode against real TCP servers.
#include <gtest/gtest.h>

#include "fake_kore.h"
#include "peer.h"

using namespace usertcp_test;
using ndk_test::Listener;
using ndk_test::Pattern;
using ndk_test::Peer;
using test_support::WaitUntil;

namespace {

constexpr int kPort = 5400;

class ClientMode : public ModuleTest {};

TEST_F(ClientMode, BytesFlowBothWays) {
  Listener server(kPort);
  kore.Open(2, kPort, "127.0.0.1");
  ASSERT_TRUE(kore.WaitEvent(21));
  Peer peer = server.Accept();
  ASSERT_GE(peer.Fd(), 0);
  ASSERT_TRUE(peer.Send("from server"));
  ASSERT_TRUE(WaitUntil([&] { return kore.Data() == "from server"; }));
  const Chunk c = kore.Chunks()[0];
  EXPECT_EQ(c.index, 1u);
  EXPECT_EQ(c.count, 1u);
  EXPECT_EQ(kore.Events().back().code, 31u);
  const std::string out = Pattern(9000, 7);
  kore.SendMessage(22, 0, out);
  EXPECT_EQ(peer.Receive(out.size()), out);
  // Request 23 in client mode names no connected client: nothing is sent.
  kore.WriteChunk(23, 1, 1, 1, "nope");
  EXPECT_EQ(peer.Receive(1, 200ms), "");
  kore.Send(21);
  ASSERT_TRUE(kore.WaitEvent(23));
  EXPECT_TRUE(peer.WaitClosed());
}

TEST_F(ClientMode, LostLinkIsReconnectedAndReadAgain) {
  Listener server(kPort);
  kore.Open(2, kPort, "127.0.0.1");
  ASSERT_TRUE(kore.WaitEvent(21));
  {
    Peer first = server.Accept();
    ASSERT_TRUE(first.Send("before"));
    ASSERT_TRUE(WaitUntil([&] { return kore.Data() == "before"; }));
  }  // the server drops the link
  Event e;
  ASSERT_TRUE(kore.WaitEvent(33, 10s, &e));
  EXPECT_EQ(e.payload.size(), 0u);
  Peer second = server.Accept();
  ASSERT_GE(second.Fd(), 0);
  ASSERT_TRUE(second.Send("after"));
  ASSERT_TRUE(WaitUntil([&] { return kore.Data() == "beforeafter"; }));
  kore.SendMessage(22, 0, "reply");
  EXPECT_EQ(second.Receive(5), "reply");
  EXPECT_EQ(kore.Count(32), 0u);
}

TEST_F(ClientMode, ServerGoneForGoodEndsWithReconnectFailed) {
  {
    Peer p;
    {
      Listener server(kPort);
      kore.Open(2, kPort, "127.0.0.1");
      ASSERT_TRUE(kore.WaitEvent(21));
      p = server.Accept();
    }
  }  // listener gone, then the link
  Event e;
  ASSERT_TRUE(kore.WaitEvent(32, 30s, &e));
  EXPECT_EQ(e.Value(), 4u);  // read failure
  EXPECT_EQ(kore.OutputCount("Reconnecting to: 127.0.0.1 " + std::to_string(kPort)), 10u);
  EXPECT_EQ(kore.Count(33), 0u);
  // Idle again: a new open is served.
  Listener again(kPort);
  kore.Open(2, kPort, "127.0.0.1");
  EXPECT_TRUE(kore.WaitEvent(21));
}

TEST_F(ClientMode, CloseSuppressesReconnection) {
  Listener server(kPort);
  kore.Open(2, kPort, "127.0.0.1");
  ASSERT_TRUE(kore.WaitEvent(21));
  Peer p = server.Accept();
  kore.Send(21);
  ASSERT_TRUE(kore.WaitEvent(23));
  EXPECT_TRUE(p.WaitClosed());
  // Nothing reconnects.
  Peer none = server.Accept(1500ms);
  EXPECT_LT(none.Fd(), 0);
  EXPECT_EQ(kore.Count(32), 0u);
  EXPECT_EQ(kore.Count(33), 0u);
}

TEST_F(ClientMode, CloseDuringReconnectionStopsIt) {
  {
    Peer p;
    {
      Listener server(kPort);
      kore.Open(2, kPort, "127.0.0.1");
      ASSERT_TRUE(kore.WaitEvent(21));
      p = server.Accept();
    }
  }
  ASSERT_TRUE(kore.WaitOutput("Reconnecting to:"));
  kore.Send(21);
  ASSERT_TRUE(kore.WaitEvent(23));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(kore.Count(32), 0u);
  EXPECT_EQ(kore.Count(33), 0u);
}

TEST_F(ClientMode, ConnectFailureGivesOpenFailed) {
  kore.Open(2, kPort, "127.0.0.1");  // nothing listens
  ASSERT_TRUE(kore.WaitEvent(20));
  EXPECT_EQ(kore.Count(21), 0u);
}

}  // namespace
