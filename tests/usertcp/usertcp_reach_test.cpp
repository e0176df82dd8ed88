// Reachability checks against hosts in a network namespace of the test's
// own, joined to the test's namespace by a veth pair: 192.0.2.1 here,
// 192.0.2.2 there. No packet leaves the machine.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdlib>

#include "IcmpPing.h"
#include "fake_kore.h"
#include "peer.h"

using namespace usertcp_test;
using test_support::ChildProcess;
using test_support::WaitUntil;

namespace {

constexpr int kPort = 5500;

// The far host: a process in its own network namespace.
class FarHost {
 public:
  FarHost() {
    m_holder = ChildProcess::Start({"/usr/bin/unshare", "--net", "--", "/bin/sleep", "600"}, "far");
    const std::string pid = std::to_string(m_holder->Pid());
    // Wait until the holder is in its own namespace.
    WaitUntil([&] {
      char a[64] = {}, b[64] = {};
      readlink(("/proc/" + pid + "/ns/net").c_str(), a, sizeof a - 1);
      readlink("/proc/self/ns/net", b, sizeof b - 1);
      return a[0] != 0 && std::string(a) != b && std::string(a) != "";
    });
    ok = Run("ip link add veth0 type veth peer name veth1 netns " + pid) &&
         Run("ip addr add 192.0.2.1/24 dev veth0") && Run("ip link set veth0 up") &&
         RunThere("ip addr add 192.0.2.2/24 dev veth1") && RunThere("ip link set veth1 up") &&
         RunThere("ip link set lo up");
  }
  bool Run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }
  bool RunThere(const std::string& cmd) {
    return Run("nsenter -t " + std::to_string(m_holder->Pid()) + " -n " + cmd);
  }
  bool IgnorePings(bool ignore) {
    return RunThere(std::string("sysctl -w net.ipv4.icmp_echo_ignore_all=") + (ignore ? "1" : "0"));
  }
  // Runs `fn` on a thread inside the far namespace; sockets made there stay
  // there.
  template <typename Fn>
  void Inside(Fn fn) {
    std::thread t([&] {
      const std::string path = "/proc/" + std::to_string(m_holder->Pid()) + "/ns/net";
      int fd = open(path.c_str(), O_RDONLY);
      if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0) fn();
      if (fd >= 0) close(fd);
    });
    t.join();
  }
  bool ok = false;

 private:
  std::unique_ptr<ChildProcess> m_holder;
};

TEST(IcmpPing, OnlyEchoRepliesCount) {
  FarHost far;
  ASSERT_TRUE(far.ok);
  VeloFramework::CIcmpPing ping(std::chrono::milliseconds(100));
  ASSERT_TRUE(ping.Available());
  EXPECT_TRUE(ping.IsReachable("127.0.0.1", 5));
  EXPECT_TRUE(ping.IsReachable("192.0.2.2", 5));
  ASSERT_TRUE(far.IgnorePings(true));
  EXPECT_FALSE(ping.IsReachable("192.0.2.2", 5));
  // Nobody at all at this address: its own request must not count.
  EXPECT_FALSE(ping.IsReachable("192.0.2.3", 2));
  EXPECT_FALSE(ping.IsReachable("no.such.host.invalid", 1));
  // A loopback address answers only while the local stack answers echoes:
  // the request the raw socket sees itself is not a reply.
  ASSERT_EQ(std::system("sysctl -qw net.ipv4.icmp_echo_ignore_all=1"), 0);
  EXPECT_FALSE(ping.IsReachable("127.0.0.1", 2));
  ASSERT_EQ(std::system("sysctl -qw net.ipv4.icmp_echo_ignore_all=0"), 0);
  EXPECT_TRUE(ping.IsReachable("127.0.0.1", 1));
}

TEST(Reachability, OpenToSilentHostTriesNoConnect) {
  FarHost far;
  ASSERT_TRUE(far.ok);
  ASSERT_TRUE(far.IgnorePings(true));
  // A listener on the far host on the port the module is sent to.
  std::unique_ptr<ndk_test::Listener> target;
  far.Inside([&] { target.reset(new ndk_test::Listener(kPort, 16, true)); });
  FakeKore kore;
  ASSERT_TRUE(kore.StartModule(USERTCP_MODULE));
  kore.Open(2, kPort, "192.0.2.2");
  ASSERT_TRUE(kore.WaitEvent(20));
  EXPECT_TRUE(kore.WaitOutput("Cant ping to 192.0.2.2 "));
  ndk_test::Peer none = target->Accept(200ms);
  EXPECT_LT(none.Fd(), 0);  // no connect was tried
  EXPECT_EQ(kore.Count(21), 0u);
}

TEST(Reachability, ServerDropsClientWhoseHostStopsAnswering) {
  FarHost far;
  ASSERT_TRUE(far.ok);
  FakeKore kore;
  ASSERT_TRUE(kore.StartModule(USERTCP_MODULE));
  kore.Open(1, kPort);
  ASSERT_TRUE(kore.WaitEvent(21));
  ASSERT_TRUE(kore.WaitOutput("End of startServices"));
  ndk_test::Peer local, remote;
  ASSERT_TRUE(local.Connect(kPort));
  Event el;
  ASSERT_TRUE(kore.WaitEvent(29, 10s, &el));
  bool connected = false;
  far.Inside([&] {
    remote = ndk_test::Peer(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kPort);
    inet_pton(AF_INET, "192.0.2.1", &a.sin_addr);
    connected = ::connect(remote.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  });
  ASSERT_TRUE(connected);
  Event er;
  ASSERT_TRUE(kore.WaitEvent(29, 10s, &er));
  EXPECT_STREQ(er.rx.data() + 8, "192.0.2.2");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(kore.Count(30), 0u);  // both answer pings

  ASSERT_TRUE(far.IgnorePings(true));
  Event gone;
  ASSERT_TRUE(kore.WaitEvent(30, 10s, &gone));
  EXPECT_EQ(gone.Value(), er.Value());
  EXPECT_TRUE(kore.WaitOutput("Detect Disconnect"));
  EXPECT_TRUE(remote.WaitClosed());
  // The local client is still served.
  ASSERT_TRUE(local.Send("still here"));
  ASSERT_TRUE(WaitUntil([&] { return kore.Data(el.Value()) == "still here"; }));
  EXPECT_EQ(kore.Count(30), 1u);
}

}  // namespace
