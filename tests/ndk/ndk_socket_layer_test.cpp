// CNDKSocket on its own: configuration, send and read rules, closed sockets.
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include "NDKSocket.h"
#include "peer.h"

using namespace VeloFramework;
using namespace ndk_test;

namespace {

// Below the kernel's ephemeral port range (32768 and up), so that no client
// socket of an earlier test in this process can hold it.
constexpr int kPort = 27201;

struct Pair {
  Listener listener{kPort};
  Poco::Net::StreamSocket stream;
  CNDKSocket socket{&stream, static_cast<CNDKClient*>(nullptr)};
  Peer peer;
  Pair() {
    unsigned port = kPort;
    connected = socket.Connect("127.0.0.1", port);
    peer = listener.Accept();
  }
  bool connected = false;
};

TEST(NdkSocket, InitializeConfiguresTheSocket) {
  Pair p;
  ASSERT_TRUE(p.connected);
  ASSERT_TRUE(p.socket.Initialize());
  EXPECT_TRUE(p.stream.getNoDelay());
  EXPECT_TRUE(p.stream.getBlocking());
  EXPECT_GT(p.stream.getSendTimeout().totalMicroseconds(), 0);
  // The kernel may cap the buffers below the request; it never lowers them
  // below what it doubled from the cap, so they are well above the default.
  EXPECT_GE(p.stream.getReceiveBufferSize(), 200000);
  CNDKSocket none;
  EXPECT_TRUE(none.Initialize());
}

TEST(NdkSocket, EmptyAndFailedClientSendsClearTheConnectedFlag) {
  Pair p;
  ASSERT_TRUE(p.connected);
  EXPECT_TRUE(p.socket.IsConnected());
  CNDKMessage empty;
  EXPECT_FALSE(p.socket.SendMessage(empty));
  EXPECT_FALSE(p.socket.IsConnected());
  // Once cleared, even a good message is refused without touching the wire.
  CNDKMessage good("abc", 3);
  EXPECT_FALSE(p.socket.SendMessage(good));
  EXPECT_EQ(p.peer.Receive(3, 200ms), "");
  // The server form does not look at the flag.
  char raw[] = "raw";
  EXPECT_TRUE(p.socket.SendMessage(raw, 3));
  EXPECT_EQ(p.peer.Receive(3), "raw");
  EXPECT_FALSE(p.socket.SendMessage(raw, 0));
}

TEST(NdkSocket, ReadsAreBoundedAndEndOnPeerClose) {
  Pair p;
  ASSERT_TRUE(p.connected);
  const std::string big = Pattern(150000);
  ASSERT_TRUE(p.peer.Send(big));
  std::string got;
  int reads = 0;
  while (got.size() < big.size()) {
    CNDKMessage m;
    ASSERT_TRUE(p.socket.ReceiveMessage(m));
    ASSERT_LE(m.GetLength(), 100000);
    got.append(static_cast<const char*>(m.GetBuffer()), static_cast<size_t>(m.GetLength()));
    ++reads;
  }
  EXPECT_GE(reads, 2);
  EXPECT_EQ(got, big);
  EXPECT_TRUE(p.socket.IsBufferEmpty());
  p.peer.Close();
  CNDKMessage m("keep", 4);
  EXPECT_FALSE(p.socket.ReceiveMessage(m));
  EXPECT_EQ(m.GetLength(), 4);  // untouched on failure
}

TEST(NdkSocket, ClosedSocketLeavesOutputsAlone) {
  Pair p;
  ASSERT_TRUE(p.connected);
  std::string host = "unchanged";
  unsigned port = 7;
  p.socket.GetPeerAddress(&host, &port);
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, static_cast<unsigned>(kPort));
  p.socket.ShutDown();
  EXPECT_FALSE(p.socket.IsRunning());
  EXPECT_TRUE(p.peer.WaitClosed());
  p.socket.Close();
  host = "unchanged";
  port = 7;
  p.socket.GetPeerAddress(&host, &port);
  EXPECT_EQ(host, "unchanged");
  EXPECT_EQ(port, 7u);
  EXPECT_TRUE(p.socket.IsBufferEmpty());
  CNDKMessage m;
  EXPECT_FALSE(p.socket.ReceiveMessage(m));
  char raw[] = "x";
  EXPECT_FALSE(p.socket.SendMessage(raw, 1));
  p.socket.run();  // no socket: returns at once
}

}  // namespace
