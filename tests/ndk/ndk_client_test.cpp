// The NDK client over real loopback sockets.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <thread>

#include "NDKClient.h"
#include "peer.h"
#include "support/process.h"

using namespace VeloFramework;
using namespace ndk_test;
using test_support::WaitUntil;

namespace {

// Below the kernel's ephemeral port range (32768 and up), so that no client
// socket of an earlier test in this process can hold it.
constexpr int kPort = 27101;

class TestClient : public CNDKClient {
 public:
  ~TestClient() override { CleanUp(); }
  Recorder<int> disconnects;
  Recorder<std::string> messages;
  std::atomic<int> connected{0};
  std::function<void(const std::string&)> onMessage;
  std::function<void(NDKClientDisconnection)> onDisconnect;

  std::string All() {
    std::string s;
    for (const auto& m : messages.Snapshot()) s += m;
    return s;
  }

 protected:
  void OnConnected() override { ++connected; }
  void OnMessage(CNDKMessage& m) override {
    std::string s(static_cast<const char*>(m.GetBuffer()), static_cast<size_t>(m.GetLength()));
    if (onMessage) onMessage(s);
    messages.Add(s);
  }
  void OnDisconnect(NDKClientDisconnection r) override {
    disconnects.Add(r);
    if (onDisconnect) onDisconnect(r);
  }
};

// Runs the client's listening loop on a thread of its own.
struct Listening {
  explicit Listening(TestClient& c)
      : thread([&c, this] {
          c.StartListenToServer();
          ended = true;
        }) {}
  ~Listening() {
    if (thread.joinable()) thread.join();
  }
  std::atomic<bool> ended{false};
  std::thread thread;
};

TEST(NdkClient, ConnectFailuresReturnFalseQuietly) {
  TestClient client;
  // Nothing listens on this port: refused at once.
  EXPECT_FALSE(client.OpenConnection("127.0.0.1", kPort));
  EXPECT_FALSE(client.IsConnected());
  // A listener whose backlog is full drops the handshake: the 1 s connect
  // timeout ends the attempt.
  Listener full(kPort + 1, 0);
  std::vector<Peer> fillers(4);
  for (auto& f : fillers) f.ConnectNonBlocking(kPort + 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.OpenConnection("127.0.0.1", kPort + 1));
  // A bound against hanging, not a timing check.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_FALSE(client.OpenConnection("not an address", kPort));
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(client.connected.load(), 0);
  EXPECT_EQ(client.disconnects.Size(), 0u);
  client.CloseConnection();  // nothing to close: no callback
  EXPECT_EQ(client.disconnects.Size(), 0u);
}

TEST(NdkClient, ExchangesDataAndReportsServerCloseOnce) {
  Listener server(kPort);
  TestClient client;
  ASSERT_TRUE(client.OpenConnection("127.0.0.1", kPort));
  EXPECT_TRUE(client.IsConnected());
  EXPECT_EQ(client.connected.load(), 1);
  Peer peer = server.Accept();
  std::string host;
  unsigned port = 0;
  client.GetIpAndPort(host, port);
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, static_cast<unsigned>(kPort));

  Listening listening(client);
  CNDKMessage out("hello", 5);
  EXPECT_TRUE(client.SendMessageToServer(out));
  EXPECT_EQ(peer.Receive(5), "hello");
  ASSERT_TRUE(peer.Send("world"));
  ASSERT_TRUE(WaitUntil([&] { return client.All() == "world"; }));

  peer.Close();
  ASSERT_TRUE(client.disconnects.WaitFor([](const std::vector<int>& v) { return !v.empty(); }));
  ASSERT_TRUE(WaitUntil([&] { return listening.ended.load(); }));
  EXPECT_EQ(client.disconnects.Snapshot(),
            std::vector<int>{CNDKClient::NDK_DISCONNECT_RECEIVE_FAILED});
  EXPECT_FALSE(client.IsConnected());
}

TEST(NdkClient, SendWithoutConnectionAndAfterFailure) {
  TestClient client;
  CNDKMessage msg("abc", 3);
  EXPECT_TRUE(client.SendMessageToServer(msg));  // not connected: nothing sent
  EXPECT_EQ(client.disconnects.Size(), 0u);

  Listener server(kPort);
  ASSERT_TRUE(client.OpenConnection("127.0.0.1", kPort));
  {
    Peer peer = server.Accept();
    // Reset the connection: close with unread data pending.
    ASSERT_TRUE(client.SendMessageToServer(msg));
    ASSERT_TRUE(WaitUntil([&] {
      int n = 0;
      ioctl(peer.Fd(), FIONREAD, &n);
      return n == 3;
    }));
  }
  bool sawFailure = false;
  for (int i = 0; i < 100 && !sawFailure; ++i) {
    sawFailure = !client.SendMessageToServer(msg);
    if (!sawFailure) std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(sawFailure);
  EXPECT_FALSE(client.IsConnected());
  EXPECT_TRUE(client.SendMessageToServer(msg));  // disconnected again: no effect
  EXPECT_EQ(client.disconnects.Snapshot(),
            std::vector<int>{CNDKClient::NDK_DISCONNECT_SEND_FAILED});
}

TEST(NdkClient, ServerThatStopsReadingFailsTheSendInsteadOfBlocking) {
  Listener server(kPort);
  TestClient client;
  ASSERT_TRUE(client.OpenConnection("127.0.0.1", kPort));
  Peer idle = server.Accept();  // accepted, never read
  CNDKMessage block(Pattern(100000).data(), 100000);
  bool failed = false;
  for (int i = 0; i < 2000 && !failed; ++i) failed = !client.SendMessageToServer(block);
  ASSERT_TRUE(failed);
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(client.disconnects.Snapshot(),
            std::vector<int>{CNDKClient::NDK_DISCONNECT_SEND_FAILED});
}

TEST(NdkClient, EmptyMessageCountsAsFailedSend) {
  Listener server(kPort);
  TestClient client;
  ASSERT_TRUE(client.OpenConnection("127.0.0.1", kPort));
  CNDKMessage empty;
  EXPECT_FALSE(client.SendMessageToServer(empty));
  EXPECT_EQ(client.disconnects.Snapshot(),
            std::vector<int>{CNDKClient::NDK_DISCONNECT_SEND_FAILED});
}

TEST(NdkClient, MessagesDeliveredInOrderOneAtATime) {
  Listener server(kPort);
  TestClient client;
  Gate gate;
  std::atomic<int> inside{0};
  client.onMessage = [&](const std::string&) {
    if (inside++ == 0) gate.Wait();
  };
  ASSERT_TRUE(client.OpenConnection("127.0.0.1", kPort));
  Peer peer = server.Accept();
  Listening listening(client);
  ASSERT_TRUE(peer.Send("first"));
  ASSERT_TRUE(WaitUntil([&] { return inside.load() == 1; }));
  ASSERT_TRUE(peer.Send("second"));
  // Bytes readable now are not taken while the first OnMessage runs.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(inside.load(), 1);
  EXPECT_EQ(client.messages.Size(), 0u);
  gate.Open();
  ASSERT_TRUE(WaitUntil([&] { return client.All() == "firstsecond"; }));
  EXPECT_EQ(client.messages.Snapshot().front(), "first");
  client.CloseConnection();
  ASSERT_TRUE(WaitUntil([&] { return listening.ended.load(); }));
  EXPECT_EQ(client.disconnects.Snapshot(), std::vector<int>{CNDKClient::NDK_DISCONNECT_BY_REQUEST});
}

TEST(NdkClient, CloseWhileListeningEndsTheLoopSafely) {
  Listener server(kPort, 64);
  for (int round = 0; round < 20; ++round) {
    TestClient client;
    ASSERT_TRUE(client.OpenConnection("127.0.0.1", kPort));
    Peer peer = server.Accept();
    Listening listening(client);
    peer.Send(Pattern(50000, round));
    if (round % 2) std::this_thread::sleep_for(1ms);
    client.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return listening.ended.load(); }));
    EXPECT_EQ(client.disconnects.Snapshot(),
              std::vector<int>{CNDKClient::NDK_DISCONNECT_BY_REQUEST});
  }
}

TEST(NdkClient, ReconnectFromInsideOnDisconnectAndListenAgain) {
  Listener server(kPort);
  TestClient client;
  std::unique_ptr<Listening> second;
  client.onDisconnect = [&](CNDKClient::NDKClientDisconnection) {
    if (client.connected.load() == 1 && client.OpenConnection("127.0.0.1", kPort))
      second = std::make_unique<Listening>(client);
  };
  ASSERT_TRUE(client.OpenConnection("127.0.0.1", kPort));
  Peer first = server.Accept();
  {
    Listening listening(client);
    first.Close();
    ASSERT_TRUE(WaitUntil([&] { return listening.ended.load(); }));
  }
  Peer again = server.Accept();
  ASSERT_TRUE(client.IsConnected());
  ASSERT_TRUE(again.Send("after"));
  ASSERT_TRUE(WaitUntil([&] { return client.All() == "after"; }));
  client.CloseConnection();
  second.reset();
}

TEST(NdkClient, ConcurrentSendsAndCloseDoNotRace) {
  Listener server(kPort, 64);
  for (int round = 0; round < 10; ++round) {
    TestClient client;
    ASSERT_TRUE(client.OpenConnection("127.0.0.1", kPort));
    Peer peer = server.Accept();
    Listening listening(client);
    std::thread sender([&] {
      CNDKMessage m("data", 4);
      for (int i = 0; i < 200; ++i) client.SendMessageToServer(m);
    });
    std::thread echo([&] { peer.Send(Pattern(20000, round)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(round));
    client.CloseConnection();
    sender.join();
    echo.join();
    ASSERT_TRUE(WaitUntil([&] { return listening.ended.load(); }));
    EXPECT_EQ(client.disconnects.Size(), 1u);
  }
}

}  // namespace
