// Both module programs against a KORE that floods the control queue with
// requests, or sends records shorter than they claim. The test process plays
// KORE; records are encoded by hand (dst 0, src 8, event 16, length 20,
// payload 24; a 4112-byte body after the destination).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

using namespace test_support;

namespace {

constexpr size_t kBody = 4112;
constexpr size_t kRecordSize = 532;  // the monitoring record
constexpr size_t kControlBoxOutput = 14;

struct QueueRecord {
  long type;
  uint8_t body[kBody];
};

class Kore {
 public:
  // `kore` is the pid the module is told is KORE's (this process by default);
  // the records addressed to it are read here either way.
  explicit Kore(pid_t kore = getpid()) : m_kore(kore) {
    close(open("controlMessageQueue.txt", O_CREAT | O_WRONLY, 0644));
    m_queue = msgget(ftok("controlMessageQueue.txt", 3479), IPC_CREAT | 0644);
    const int fd = shm_open("/mm-shared-mem", O_CREAT | O_RDWR, 0660);
    if (fd >= 0 && ftruncate(fd, kRecordSize) == 0) {
      void* p = mmap(nullptr, kRecordSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED) m_record = static_cast<uint8_t*>(p);
    }
    if (fd >= 0) close(fd);
    m_reader = std::thread([this] {
      QueueRecord r;
      while (m_run) {
        if (msgrcv(m_queue, &r, kBody, m_kore, IPC_NOWAIT) < 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        uint32_t event, status;
        std::memcpy(&event, r.body + 8, 4);
        std::memcpy(&status, r.body + 16, 4);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
        if (event == 1) m_loads.push_back(status);
      }
    });
  }
  ~Kore() {
    m_run = false;
    m_reader.join();
    m_module.reset();
    if (m_record != nullptr) munmap(m_record, kRecordSize);
  }

  bool Start(const std::string& path) {
    m_module = ChildProcess::Start({path, std::to_string(m_kore)}, "module");
    return m_module != nullptr && WaitUntil([&] { return Count(1) == 1; });
  }
  // Starts the module under an address-space limit of `kib` KiB; does not
  // wait for its load response.
  void StartLimited(const std::string& path, int kib) {
    m_module = ChildProcess::Start(
        {"/bin/sh", "-c", "ulimit -v " + std::to_string(kib) + "; exec \"$0\" \"$1\"", path,
         std::to_string(m_kore)},
        "module");
  }
  // The statuses of the load responses received.
  std::vector<uint32_t> Loads() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_loads;
  }
  ChildProcess& Module() { return *m_module; }

  // Puts one record for the module on the queue, with a body of `bodySize`
  // bytes. Never waits beyond `deadline` (the queue may stay full when the
  // module does not take its records).
  bool Send(uint32_t event, const std::vector<uint8_t>& payload, uint32_t length, size_t bodySize,
            std::chrono::steady_clock::time_point deadline) {
    QueueRecord r{};
    r.type = m_module->Pid();
    const int64_t src = m_kore;
    std::memcpy(r.body, &src, 8);
    std::memcpy(r.body + 8, &event, 4);
    std::memcpy(r.body + 12, &length, 4);
    if (!payload.empty()) std::memcpy(r.body + 16, payload.data(), payload.size());
    while (msgsnd(m_queue, &r, bodySize, IPC_NOWAIT) != 0) {
      if (errno != EAGAIN || std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
  }
  bool Send(uint32_t event, const std::vector<uint8_t>& payload) {
    return Send(event, payload, static_cast<uint32_t>(payload.size()), kBody,
                std::chrono::steady_clock::now() + std::chrono::seconds(10));
  }

  size_t Count(uint32_t event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (uint32_t e : m_events) n += e == event;
    return n;
  }
  uint8_t* Record() { return m_record; }

 private:
  pid_t m_kore;
  int m_queue = -1;
  uint8_t* m_record = nullptr;
  std::unique_ptr<ChildProcess> m_module;
  std::atomic<bool> m_run{true};
  std::mutex m_mutex;
  std::vector<uint32_t> m_events;
  std::vector<uint32_t> m_loads;
  std::thread m_reader;
};

// One module program and a request it serves: how to ready it, what the
// i-th request carries, and how to tell that the first n were all handled
// in order.
struct ModuleCase {
  const char* name;
  const char* path;
  uint32_t request;
  void (*prepare)(Kore&);
  std::vector<uint8_t> (*payload)(int i);
  bool (*handled)(Kore&, int n);
};

// Modbus: request 110 sets general-purpose register 128 + i % 128 to 1000 + i;
// the module prints "address : A , value : V" for each, in handling order.
std::vector<int> PrintedValues(const std::string& out) {
  std::vector<int> values;
  for (size_t at = out.find("address : "); at != std::string::npos;
       at = out.find("address : ", at + 1)) {
    int address, value;
    if (std::sscanf(out.c_str() + at, "address : %d , value : %d ", &address, &value) == 2)
      values.push_back(value);
  }
  return values;
}

const ModuleCase kModbus{"Modbus",
                         MODBUS_SLAVE_MODULE,
                         110,
                         [](Kore&) {},
                         [](int i) {
                           const int address = 128 + i % 128, value = 1000 + i;
                           return std::vector<uint8_t>{
                               static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
                         },
                         [](Kore& kore, int n) {
                           std::vector<int> expected(n);
                           for (int i = 0; i < n; ++i) expected[i] = 1000 + i;
                           return PrintedValues(kore.Module().Stdout()) == expected;
                         }};

// User TCP: an open record with port 0 in the Tx area makes every request 20
// fail with event 20.
const ModuleCase kUserTcp{
    "UserTcp",
    USERTCP_MODULE,
    20,
    [](Kore& kore) {
      const std::string name = "/SHM_UserTcp_" + std::to_string(kore.Module().Pid()) + "_Tx";
      const int fd = shm_open(name.c_str(), O_RDWR, 0);
      ASSERT_GE(fd, 0);
      void* tx = mmap(nullptr, 80, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      close(fd);
      ASSERT_NE(tx, MAP_FAILED);
      const uint32_t mode = 1, port = 0;
      std::memcpy(static_cast<char*>(tx) + 4, &mode, 4);
      std::memcpy(static_cast<char*>(tx) + 8, &port, 4);
      munmap(tx, 80);
    },
    [](int) { return std::vector<uint8_t>(); },
    [](Kore& kore, int n) { return kore.Count(20) == static_cast<size_t>(n); }};

void PrintTo(const ModuleCase& module, std::ostream* os) {
  *os << module.name;
}

class QueueBurst : public ::testing::TestWithParam<std::tuple<ModuleCase, int>> {};

TEST_P(QueueBurst, EveryRequestIsHandledInOrderAndTheModuleGoesOn) {
  const ModuleCase& module = std::get<0>(GetParam());
  const int n = std::get<1>(GetParam());
  Kore kore;
  ASSERT_TRUE(kore.Start(module.path));
  module.prepare(kore);
  ASSERT_FALSE(HasFatalFailure());

  // Back to back: KORE waits only for room in the queue.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int i = 0; i < n; ++i)
    ASSERT_TRUE(kore.Send(module.request, module.payload(i),
                          static_cast<uint32_t>(module.payload(i).size()), kBody, deadline))
        << "the module stopped taking requests after " << i;
  ASSERT_TRUE(WaitUntil([&] { return module.handled(kore, n); }, std::chrono::seconds(60)))
      << kore.Module().Stdout().substr(0, 4000);

  // Still serving: one more request is handled, and the images flow again.
  const size_t images = kore.Count(44);
  ASSERT_TRUE(kore.Send(module.request, module.payload(n)));
  EXPECT_TRUE(WaitUntil([&] { return module.handled(kore, n + 1); }));
  if (std::string(module.name) == "Modbus") {
    EXPECT_TRUE(WaitUntil([&] { return kore.Count(44) > images + 3; }));
  }
  EXPECT_TRUE(kore.Module().Running());
}

INSTANTIATE_TEST_SUITE_P(Modules, QueueBurst,
                         ::testing::Combine(::testing::Values(kModbus, kUserTcp),
                                            ::testing::Values(4, 10, 100)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

class ShortRecords : public ::testing::TestWithParam<ModuleCase> {};

// A record whose body is shorter than its header's length is dropped, not
// read with zeros for the missing bytes; so is a request 110 whose length
// does not cover its address and value.
TEST_P(ShortRecords, AreDroppedWithALine) {
  const ModuleCase& module = GetParam();
  Kore kore;
  kore.Record()[kControlBoxOutput] = 0xFF;
  kore.Record()[kControlBoxOutput + 1] = 0xFF;
  ASSERT_TRUE(kore.Start(module.path));
  module.prepare(kore);
  ASSERT_FALSE(HasFatalFailure());
  const auto soon = std::chrono::steady_clock::now() + std::chrono::seconds(10);

  // 17 body bytes: the header and one payload byte 0x02, length 4.
  ASSERT_TRUE(kore.Send(module.request, {0x02}, 4, 17, soon));
  ASSERT_TRUE(kore.Module().WaitForOutput(
      "[COMMBASE][ERROR] Dropped a record from node [" + std::to_string(getpid()) + "]: event " +
      std::to_string(module.request) + ", length 4, 17 body bytes received"));
  if (std::string(module.name) == "Modbus") {
    // A full body, but a length of 2: register 2 with a value that is not there.
    ASSERT_TRUE(kore.Send(110, {0x02, 0x00, 0x00, 0x00}, 2, kBody, soon));
    ASSERT_TRUE(kore.Module().WaitForOutput("request 110 dropped: payload of 2 bytes, 4 needed"));
  }
  // The next good request is the first one handled.
  ASSERT_TRUE(kore.Send(module.request, module.payload(0)));
  ASSERT_TRUE(WaitUntil([&] { return module.handled(kore, 1); }));
  EXPECT_EQ(kore.Record()[kControlBoxOutput], 0xFF);
  EXPECT_EQ(kore.Record()[kControlBoxOutput + 1], 0xFF);
  EXPECT_TRUE(kore.Module().Running());
}

INSTANTIATE_TEST_SUITE_P(Modules, ShortRecords, ::testing::Values(kModbus, kUserTcp),
                         [](const auto& info) { return std::string(info.param.name); });

class KoreLife : public ::testing::TestWithParam<ModuleCase> {};

// KORE killed while the module's parent lives on: the module stops in order
// (areas removed) and exits instead of filling the queue for a dead pid.
TEST_P(KoreLife, ModuleStopsWhenKoreDies) {
  const pid_t stand_in = fork();
  ASSERT_GE(stand_in, 0);
  if (stand_in == 0) {
    pause();
    _exit(0);
  }
  Kore kore(stand_in);
  ASSERT_TRUE(kore.Start(GetParam().path));
  kill(stand_in, SIGKILL);
  waitpid(stand_in, nullptr, 0);
  int status = 0;
  ASSERT_TRUE(kore.Module().WaitExit(&status, std::chrono::seconds(5)))
      << kore.Module().Stdout().substr(0, 2000);
  EXPECT_TRUE(WIFEXITED(status));
  struct stat st;
  const std::string rx = "/dev/shm/SHM_UserTcp_" + std::to_string(kore.Module().Pid()) + "_Rx";
  EXPECT_NE(stat(rx.c_str(), &st), 0);
}

INSTANTIATE_TEST_SUITE_P(Modules, KoreLife, ::testing::Values(kModbus, kUserTcp),
                         [](const auto& info) { return std::string(info.param.name); });

class FailedStart : public ::testing::TestWithParam<std::tuple<ModuleCase, int>> {};

// Too little address space (for the module's own threads, or for the
// service loop's): the process exits non-zero, without an uncaught
// exception, and KORE is never told "loaded".
TEST_P(FailedStart, IsNeverReportedAsALoad) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve more address space than the limit";
#endif
  Kore kore;
  kore.StartLimited(std::get<0>(GetParam()).path, std::get<1>(GetParam()));
  int status = 0;
  ASSERT_TRUE(kore.Module().WaitExit(&status, std::chrono::seconds(10)));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << kore.Module().Stdout();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the reader's last poll
  for (uint32_t load : kore.Loads()) EXPECT_NE(load, 0u);
  EXPECT_EQ(kore.Module().Stderr().find("terminate"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Modules, FailedStart,
                         ::testing::Values(std::make_tuple(kModbus, 12000),
                                           std::make_tuple(kUserTcp, 12000),
                                           std::make_tuple(kUserTcp, 28000)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

// The monitoring record cut to nothing while the slave reads it every cycle:
// one line, the cycle goes on without it, and it is read again once whole.
TEST(ModbusLife, ShrunkMonitoringRecordIsSkippedUntilWhole) {
  Kore kore;
  ASSERT_TRUE(kore.Start(MODBUS_SLAVE_MODULE));
  const int fd = shm_open("/mm-shared-mem", O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 0), 0);
  EXPECT_TRUE(kore.Module().WaitForOutput("Monitoring record is 0 bytes"));
  const size_t images = kore.Count(44);
  EXPECT_TRUE(WaitUntil([&] { return kore.Count(44) > images + 3; }));
  ASSERT_EQ(ftruncate(fd, kRecordSize), 0);
  close(fd);
  EXPECT_TRUE(kore.Module().WaitForOutput("Monitoring record whole again"));
  EXPECT_TRUE(kore.Module().Running());
}

// The control queue removed under a running slave: one line, not one per
// failed send; once the queue exists again the images reach it.
TEST(ModbusLife, RemovedQueueLogsOnceAndIsAttachedAgain) {
  Kore kore;
  ASSERT_TRUE(kore.Start(MODBUS_SLAVE_MODULE));
  const key_t key = ftok("controlMessageQueue.txt", 3479);
  ASSERT_EQ(msgctl(msgget(key, 0), IPC_RMID, nullptr), 0);
  ASSERT_TRUE(kore.Module().WaitForOutput("Control queue removed"));
  const size_t before = kore.Module().Stdout().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a flood would show by now
  EXPECT_LT(kore.Module().Stdout().size(), before + 200)
      << kore.Module().Stdout().substr(before, 600);
  const int queue = msgget(key, IPC_CREAT | 0644);
  ASSERT_GE(queue, 0);
  EXPECT_TRUE(kore.Module().WaitForOutput("Control queue there again"));
  QueueRecord r;
  EXPECT_TRUE(WaitUntil([&] { return msgrcv(queue, &r, kBody, getpid(), IPC_NOWAIT) > 0; }));
  msgctl(queue, IPC_RMID, nullptr);
}

}  // namespace
