// The user TCP module over a controller's life: KORE writing back to back
// while peers send in, a second instance on a busy port, names left behind
// by a crashed instance.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "fake_kore.h"
#include "peer.h"

using namespace usertcp_test;
using ndk_test::Peer;
using test_support::WaitUntil;

namespace {

constexpr int kPort = 5400;

class ServerOpen : public ServerOpenTest<kPort> {};

// KORE rewrites the Tx area as soon as the previous request has left the
// queue, while chunk events and acknowledgements share the queue with it.
TEST_F(ServerOpen, BackToBackMessagesWithInboundTrafficArriveOnceAndInOrder) {
  Peer peer;
  ASSERT_TRUE(peer.Connect(kPort));
  Event connected;
  ASSERT_TRUE(kore.WaitEvent(29, 10s, &connected));
  kore.SetChunkSink([](const Chunk&) {});
  kore.SetTakenMargin(0ms);
  std::atomic<bool> inbound{true};
  std::thread sender([&] {
    while (inbound && peer.Send("in")) std::this_thread::sleep_for(1ms);
  });
  std::string expected;
  const auto end = std::chrono::steady_clock::now() + 30s;
  for (int n = 0; std::chrono::steady_clock::now() < end; ++n) {
    const std::string message = "<" + std::to_string(n) + ">";
    expected += message;
    kore.WriteChunk(23, connected.Value(), 1, 1, message);
  }
  inbound = false;
  sender.join();
  const std::string got = peer.Receive(expected.size(), 30s);
  const auto diff = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
  const size_t at = static_cast<size_t>(diff.first - got.begin());
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_EQ(at, expected.size()) << "expected \"" << expected.substr(at, 40) << "\", got \""
                                 << got.substr(at, 40) << "\"";
}

// An unload while a peer's data is still on its way to KORE: the peer sees a
// reset, not a clean end, so it cannot believe everything arrived.
TEST_F(ServerOpen, UnloadWhileDataFlowsResetsThePeer) {
  Peer peer;
  ASSERT_TRUE(peer.Connect(kPort));
  ASSERT_TRUE(kore.WaitEvent(29));
  kore.SetAck(FakeKore::Ack::None);
  std::thread sender([&] { peer.Send(std::string(300000, 'd')); });
  ASSERT_TRUE(WaitUntil([&] { return kore.Chunks().size() == 1; }));
  kore.Send(2);
  ASSERT_TRUE(kore.WaitEvent(2));
  char buf[4096];
  ssize_t n;
  do {
    pollfd p{peer.Fd(), POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 5000), 0);
    n = recv(peer.Fd(), buf, sizeof buf, 0);
  } while (n > 0);
  EXPECT_EQ(n, -1) << "clean end of stream";
  EXPECT_EQ(errno, ECONNRESET);
  sender.join();
}

// A second instance asked to serve the port the first listens on fails the
// open. (Its events reach this process's fake KORE too.)
TEST_F(ServerOpen, SecondInstanceOnTheSamePortFailsToOpen) {
  auto second =
      test_support::ChildProcess::Start({USERTCP_MODULE, std::to_string(getpid())}, "second");
  ASSERT_TRUE(second && kore.WaitEvent(1));
  const std::string tx = "/SHM_UserTcp_" + std::to_string(second->Pid()) + "_Tx";
  const int fd = shm_open(tx.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  void* area = mmap(nullptr, 80, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(area, MAP_FAILED);
  Put32(area, 4, 1);
  Put32(area, 8, kPort);
  munmap(area, 80);
  QueueRecord r{};
  const int64_t dst = second->Pid(), src = getpid();
  std::memcpy(r.bytes, &dst, 8);
  std::memcpy(r.bytes + 8, &src, 8);
  Put32(r.bytes, 16, 20);
  ASSERT_EQ(msgsnd(msgget(ftok("controlMessageQueue.txt", 3479), 0), &r, 4112, 0), 0);
  EXPECT_TRUE(kore.WaitEvent(20));
  EXPECT_EQ(kore.Count(21), 1u);
}

// Names with the module's own pid, as a crashed instance with that pid
// leaves them: `prepare` runs in the shell that then becomes the module.
Event StartOverLeftovers(FakeKore& kore, const std::string& prepare,
                         std::unique_ptr<test_support::ChildProcess>& module) {
  module = test_support::ChildProcess::Start(
      {"/bin/sh", "-c", prepare + "; exec \"$0\" \"$1\"", USERTCP_MODULE, std::to_string(getpid())},
      "leftovers");
  Event load;
  EXPECT_TRUE(module && kore.WaitEvent(1, 10s, &load));
  return load;
}

TEST(Leftovers, StaleSemaphoreNamesAreReplacedAndTheLoadSucceeds) {
  FakeKore kore;
  std::unique_ptr<test_support::ChildProcess> module;
  const Event load = StartOverLeftovers(
      kore, "echo x >/dev/shm/sem.SEM_UserTcp_$$_Tx; echo x >/dev/shm/sem.SEM_UserTcp_$$_Rx",
      module);
  EXPECT_EQ(load.Value(), 0u);
  EXPECT_TRUE(module && module->Running());
}

TEST(Leftovers, AnRxNameThatCannotBeMadeFailsTheLoadAndTheProcess) {
  FakeKore kore;
  std::unique_ptr<test_support::ChildProcess> module;
  const Event load = StartOverLeftovers(kore, "mkdir /dev/shm/SHM_UserTcp_$$_Rx", module);
  EXPECT_EQ(load.Value(), 2u);
  int status = 0;
  ASSERT_TRUE(module && module->WaitExit(&status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(kore.Count(1), 1u);
}

}  // namespace
