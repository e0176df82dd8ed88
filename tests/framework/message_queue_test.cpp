// The control message queue, checked against records encoded by hand at the
// byte offsets of the queue format.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "MessageQueue.h"

using namespace VeloFramework;

namespace {

constexpr size_t kRecordSize = 4120;
constexpr size_t kBodySize = 4112;

// The queue id as any other node would obtain it.
int RawQueueId() {
  key_t key = ftok("controlMessageQueue.txt", 3479);
  return key == -1 ? -1 : msgget(key, 0);
}

// Reads the next raw record of type `type` from the queue (no wait).
std::vector<unsigned char> RawReceive(int qid, long type) {
  std::vector<unsigned char> buf(kRecordSize + 64, 0xEE);
  ssize_t n = msgrcv(qid, buf.data(), kBodySize + 64, type, IPC_NOWAIT);
  if (n < 0) return {};
  buf.resize(8 + static_cast<size_t>(n));
  return buf;
}

template <typename T>
T At(const std::vector<unsigned char>& b, size_t off) {
  T v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}

template <typename T>
void Put(std::vector<unsigned char>& b, size_t off, T v) {
  std::memcpy(b.data() + off, &v, sizeof v);
}

}  // namespace

TEST(MessageQueue, SendWritesTheRecordLayoutAndCapsThePayload) {
  CMessageQueue queue;
  testing::internal::CaptureStdout();
  queue.InitMessageQueue();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(
      out.find(
          "[MessageQueue][INFO] Create Message Queue file [controlMessageQueue.txt] SUCCESS\n"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("[MessageQueue][INFO] Get Control Message Queue ["), std::string::npos);
  struct stat st;
  EXPECT_EQ(stat("controlMessageQueue.txt", &st), 0);
  int qid = RawQueueId();
  ASSERT_NE(qid, -1);

  MessageData data;
  std::memset(&data, 'x', sizeof data);
  data.nMsgLength = 3;
  std::memcpy(data.chMsgData, "abc", 3);
  EXPECT_EQ(queue.SendMessage(4242, 77, &data), 4112);
  auto rec = RawReceive(qid, 4242);
  ASSERT_EQ(rec.size(), kRecordSize);
  EXPECT_EQ(At<int64_t>(rec, 0), 4242);
  EXPECT_EQ(At<int64_t>(rec, 8), getpid());
  EXPECT_EQ(At<uint32_t>(rec, 16), 77u);
  EXPECT_EQ(At<uint32_t>(rec, 20), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rec.data()) + 24, 3), "abc");

  // Oversized length: cut to 4096, written back into the caller's record.
  data.nMsgLength = 5000;
  std::memset(data.chMsgData, 'y', sizeof data.chMsgData);
  EXPECT_EQ(queue.SendMessage(4242, 78, &data), 4112);
  EXPECT_EQ(data.nMsgLength, 4096u);
  rec = RawReceive(qid, 4242);
  ASSERT_EQ(rec.size(), kRecordSize);
  EXPECT_EQ(At<uint32_t>(rec, 20), 4096u);
  EXPECT_EQ(rec[24], 'y');
  EXPECT_EQ(rec[24 + 4095], 'y');

  // Null and empty payloads travel with length 0 and a warning each.
  data.nMsgLength = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(queue.SendMessage(4242, 79, nullptr), 4112);
  EXPECT_EQ(queue.SendMessage(4242, 80, &data), 4112);
  out = testing::internal::GetCapturedStdout();
  const std::string warning =
      "[MessageQueue][WARNING] Send a message without data to Control queue\n";
  EXPECT_EQ(out, warning + warning);
  for (uint32_t event : {79u, 80u}) {
    rec = RawReceive(qid, 4242);
    ASSERT_EQ(rec.size(), kRecordSize);
    EXPECT_EQ(At<uint32_t>(rec, 16), event);
    EXPECT_EQ(At<uint32_t>(rec, 20), 0u);
  }
}

TEST(MessageQueue, DestinationsBelowOneAreRefused) {
  CMessageQueue queue;
  queue.InitMessageQueue();
  testing::internal::CaptureStdout();
  EXPECT_EQ(queue.SendMessage(0, 1, nullptr), -1);
  EXPECT_EQ(queue.SendMessage(-7, 1, nullptr), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "[MessageQueue][ERROR] Sending message FAILED [Invalid destination node 0]\n"
            "[MessageQueue][ERROR] Sending message FAILED [Invalid destination node -7]\n");
  EXPECT_EQ(queue.GetCurQueueSize(), 0u);
}

TEST(MessageQueue, ReceivesHandEncodedRecordsForItsOwnPidOnly) {
  CMessageQueue queue;
  queue.InitMessageQueue();
  int qid = RawQueueId();
  ASSERT_NE(qid, -1);

  ControlMessage got;
  EXPECT_EQ(queue.GetMessage(got), -1);  // empty queue: at once

  std::vector<unsigned char> rec(kRecordSize, 0);
  Put<int64_t>(rec, 0, getpid() + 1);  // someone else's
  Put<int64_t>(rec, 8, 99);
  Put<uint32_t>(rec, 16, 5);
  ASSERT_EQ(msgsnd(qid, rec.data(), kBodySize, 0), 0);
  Put<int64_t>(rec, 0, getpid());
  Put<int64_t>(rec, 8, 1234);
  Put<uint32_t>(rec, 16, 20);
  Put<uint32_t>(rec, 20, 5);
  std::memcpy(rec.data() + 24, "hello", 5);
  ASSERT_EQ(msgsnd(qid, rec.data(), kBodySize, 0), 0);
  EXPECT_EQ(queue.GetCurQueueSize(), 2u);

  ASSERT_EQ(queue.GetMessage(got), 4112);
  EXPECT_EQ(got.lMsgTypeDst, getpid());
  EXPECT_EQ(got.nMsgTypeSrc, 1234);
  EXPECT_EQ(got.nEvent, 20u);
  EXPECT_EQ(got.msgData.nMsgLength, 5u);
  EXPECT_EQ(std::string(got.msgData.chMsgData, 5), "hello");
  EXPECT_EQ(queue.GetMessage(got), -1);  // the other record is not ours
  EXPECT_EQ(queue.GetCurQueueSize(), 1u);
}

TEST(MessageQueue, OversizedRecordIsDroppedAndDoesNotBlockLaterOnes) {
  CMessageQueue queue;
  queue.InitMessageQueue();
  int qid = RawQueueId();
  std::vector<unsigned char> big(kRecordSize + 100, 0);
  Put<int64_t>(big, 0, getpid());
  ASSERT_EQ(msgsnd(qid, big.data(), kBodySize + 100, 0), 0);
  std::vector<unsigned char> ok(kRecordSize, 0);
  Put<int64_t>(ok, 0, getpid());
  Put<uint32_t>(ok, 16, 9);
  ASSERT_EQ(msgsnd(qid, ok.data(), kBodySize, 0), 0);

  ControlMessage got;
  testing::internal::CaptureStdout();
  EXPECT_EQ(queue.GetMessage(got), -1);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(queue.GetMessage(got), 4112);
  EXPECT_EQ(got.nEvent, 9u);
}

TEST(MessageQueue, TwoProcessesInOneDirectoryShareTheQueue) {
  int toChild[2];
  ASSERT_EQ(pipe(toChild), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Child node: waits for one record addressed to it, echoes its event + 1
    // back to the sender.
    CMessageQueue node;
    node.InitMessageQueue();
    char go;
    if (read(toChild[0], &go, 1) != 1) _exit(10);
    ControlMessage msg;
    for (int i = 0; i < 5000; ++i) {
      if (node.GetMessage(msg) > 0) {
        _exit(node.SendMessage(static_cast<int>(msg.nMsgTypeSrc), msg.nEvent + 1, &msg.msgData) ==
                      4112
                  ? 0
                  : 11);
      }
      usleep(1000);
    }
    _exit(12);
  }
  CMessageQueue queue;
  queue.InitMessageQueue();
  MessageData data{};
  data.nMsgLength = 2;
  std::memcpy(data.chMsgData, "hi", 2);
  ASSERT_EQ(queue.SendMessage(child, 41, &data), 4112);
  ASSERT_EQ(write(toChild[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ControlMessage got;
  ASSERT_EQ(queue.GetMessage(got), 4112);
  EXPECT_EQ(got.nMsgTypeSrc, child);
  EXPECT_EQ(got.nEvent, 42u);
  EXPECT_EQ(std::string(got.msgData.chMsgData, got.msgData.nMsgLength), "hi");
}

TEST(MessageQueue, ReadOnlyDirectoryLeavesNoQueueAndSendsFail) {
  // A read-only mount stops even root from creating the key file.
  ASSERT_EQ(mkdir("ro", 0755), 0);
  ASSERT_EQ(mount("tmpfs", "ro", "tmpfs", MS_RDONLY, nullptr), 0) << strerror(errno);
  ASSERT_EQ(chdir("ro"), 0);
  {
    CMessageQueue queue;
    testing::internal::CaptureStdout();
    queue.InitMessageQueue();
    EXPECT_EQ(queue.SendMessage(1, 1, nullptr), -1);
    ControlMessage got;
    EXPECT_EQ(queue.GetMessage(got), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "[MessageQueue][ERROR] Create Message Queue file [controlMessageQueue.txt] FAILED\n"
              "[MessageQueue][ERROR] Sending message FAILED [Message Queue not found]\n");
    testing::internal::CaptureStdout();
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "[MessageQueue][ERROR] Destroy Message Queue [-1]: FAILED [Invalid Queue ID]\n");
  ASSERT_EQ(chdir(".."), 0);
}

TEST(MessageQueue, DestroyingAHeldQueueIsSilentAndKeepsIt) {
  testing::internal::CaptureStdout();
  {
    CMessageQueue queue;
    queue.InitMessageQueue();
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(RawQueueId(), -1);
}

TEST(MessageQueue, RemovedQueueReportsFailedSends) {
  CMessageQueue queue;
  queue.InitMessageQueue();
  ASSERT_EQ(msgctl(RawQueueId(), IPC_RMID, nullptr), 0);
  MessageData data{};
  data.nMsgLength = 4;
  std::memcpy(data.chMsgData, "ab\0c", 4);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(queue.SendMessage(55, 7, &data), -1);
  std::string err = testing::internal::GetCapturedStderr();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(err.find("[MessageQueue][ERROR] Send message to Control Message Queue FAILED"),
            std::string::npos);
  EXPECT_NE(out.find("[MessageQueue][DEBUG] Message content:\n"
                     "[MessageQueue][DEBUG] Destination node ID: [55]\n"
                     "[MessageQueue][DEBUG] Current node ID: [" +
                     std::to_string(getpid()) +
                     "]\n"
                     "[MessageQueue][DEBUG] Event ID: [7]\n"
                     "[MessageQueue][DEBUG] Additional data length: [4]\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[ab]\n"), std::string::npos) << out;
  ControlMessage got;
  EXPECT_EQ(queue.GetMessage(got), -1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(queue.GetCurQueueSize(), ~uint64_t{0});
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "[MessageQueue][ERROR] Get Message Queue Information: FAILED"),
            std::string::npos);
}

// Module threads send at the same time (network threads beside the service
// loop); every record must arrive whole, never mixed with another's. A
// buffer shared between sends shows here, and reliably in the
// ThreadSanitizer build.
TEST(MessageQueue, ConcurrentSendersNeverMixRecords) {
  CMessageQueue queue;
  queue.InitMessageQueue();
  int qid = RawQueueId();
  constexpr int kPerThread = 1000;
  std::vector<std::string> bad;
  std::thread reader([&] {
    for (int i = 0; i < 3 * kPerThread; ++i) {
      std::vector<unsigned char> rec(kRecordSize);
      if (msgrcv(qid, rec.data(), kBodySize, 777, 0) != static_cast<ssize_t>(kBodySize)) {
        bad.push_back("receive failed");
        return;
      }
      uint32_t event = At<uint32_t>(rec, 16);
      uint32_t length = At<uint32_t>(rec, 20);
      unsigned char fill = static_cast<unsigned char>(event);
      bool whole = length == 4000 + event;
      for (uint32_t k = 0; whole && k < length; ++k) whole = rec[24 + k] == fill;
      if (!whole) bad.push_back("mixed record for event " + std::to_string(event));
    }
  });
  auto sender = [&](uint32_t event) {
    MessageData data;
    for (int i = 0; i < kPerThread; ++i) {
      std::memset(data.chMsgData, static_cast<int>(event), sizeof data.chMsgData);
      data.nMsgLength = 4000 + event;
      queue.SendMessage(777, event, &data);
    }
  };
  std::thread a(sender, 1u), b(sender, 2u), c(sender, 3u);
  a.join();
  b.join();
  c.join();
  reader.join();
  EXPECT_TRUE(bad.empty()) << bad.front();
}
