#include "slave_fixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace modbus_test {

namespace {
constexpr size_t kBody = 4112;
struct RawMessage {
  long type;
  uint8_t body[kBody];
};
}  // namespace

FakeKore::FakeKore() {
  FILE* keyFile = std::fopen("controlMessageQueue.txt", "a");
  if (keyFile != nullptr) std::fclose(keyFile);
  key_t key = ftok("controlMessageQueue.txt", 3479);
  m_queue = msgget(key, IPC_CREAT | 0644);

  int fd = shm_open("/mm-shared-mem", O_CREAT | O_RDWR, 0660);
  if (fd >= 0 && ftruncate(fd, rec::kSize) == 0) {
    void* p = mmap(nullptr, rec::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) m_record = static_cast<uint8_t*>(p);
  }
  if (fd >= 0) close(fd);
  if (m_record != nullptr) std::memset(m_record, 0, rec::kSize);
  m_receiver = std::thread([this] { Receive(); });
}

FakeKore::~FakeKore() {
  m_stop = true;
  if (m_receiver.joinable()) m_receiver.join();
  m_module.reset();
  if (m_record != nullptr) munmap(m_record, rec::kSize);
}

void FakeKore::Receive() {
  auto* msg = new RawMessage;
  const long self = getpid();
  while (!m_stop) {
    ssize_t n = msgrcv(m_queue, msg, kBody, self, IPC_NOWAIT);
    if (n < 0) {
      std::this_thread::sleep_for(1ms);
      continue;
    }
    KoreMessage m;
    std::memcpy(&m.source, msg->body, 8);
    std::memcpy(&m.event, msg->body + 8, 4);
    std::memcpy(&m.length, msg->body + 12, 4);
    const uint32_t len = m.length > 4096 ? 4096 : m.length;
    m.payload.assign(msg->body + 16, msg->body + 16 + len);
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_counts[m.event];
    if (m.event != 43 && m.event != 44) m_others.push_back(m);
    m_latest[m.event] = std::move(m);
  }
  delete msg;
}

bool FakeKore::StartModule(const std::string& path, const std::string& name) {
  m_module = test_support::ChildProcess::Start({path, std::to_string(getpid())}, name);
  return m_module != nullptr;
}

int FakeKore::WaitLoadResponse(std::chrono::milliseconds timeout) {
  KoreMessage m;
  if (!WaitEvent(1, &m, timeout) || m.length != 4 || m.payload.size() != 4) return -1;
  uint32_t status;
  std::memcpy(&status, m.payload.data(), 4);
  return static_cast<int>(status);
}

bool FakeKore::WaitReady() {
  return WaitLoadResponse() == 0 && m_module->WaitForOutput("MODBUS Tcp Slave: Start Loop !");
}

bool FakeKore::WaitRegisterImage(int reg, uint16_t value, std::chrono::milliseconds timeout) {
  return test_support::WaitUntil(
      [&] {
        std::vector<uint8_t> img = LatestPayload(44);
        if (img.size() != 1202) return false;
        return static_cast<uint16_t>(img[2 * reg] | (img[2 * reg + 1] << 8)) == value;
      },
      timeout);
}

bool FakeKore::Send(uint32_t event, const std::vector<uint8_t>& payload) {
  if (!m_module) return false;
  RawMessage msg{};
  msg.type = m_module->Pid();
  const int64_t src = getpid();
  const uint32_t len = static_cast<uint32_t>(payload.size());
  std::memcpy(msg.body, &src, 8);
  std::memcpy(msg.body + 8, &event, 4);
  std::memcpy(msg.body + 12, &len, 4);
  if (!payload.empty()) std::memcpy(msg.body + 16, payload.data(), payload.size());
  return msgsnd(m_queue, &msg, kBody, 0) == 0;
}

size_t FakeKore::Count(uint32_t event) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_counts[event];
}

std::vector<uint8_t> FakeKore::LatestPayload(uint32_t event) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_latest.find(event);
  return it == m_latest.end() ? std::vector<uint8_t>() : it->second.payload;
}

std::vector<KoreMessage> FakeKore::Others() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_others;
}

bool FakeKore::WaitEvent(uint32_t event, KoreMessage* out, std::chrono::milliseconds timeout) {
  return test_support::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_latest.find(event);
        if (it == m_latest.end()) return false;
        if (out != nullptr) *out = it->second;
        return true;
      },
      timeout);
}

Client::Client(uint32_t responseTimeoutSec) {
  m_ctx = modbus_new_tcp("127.0.0.1", 502);
  if (m_ctx == nullptr) return;
  modbus_set_response_timeout(m_ctx, responseTimeoutSec, 0);
  m_connected = modbus_connect(m_ctx) == 0;
}

Client::~Client() {
  if (m_ctx != nullptr) {
    modbus_close(m_ctx);
    modbus_free(m_ctx);
  }
}

bool Client::ReadRegisters(int first, int count, std::vector<uint16_t>* out) {
  out->assign(count, 0);
  for (int done = 0; done < count;) {
    const int n = std::min(125, count - done);
    if (modbus_read_registers(m_ctx, first + done, n, out->data() + done) != n) return false;
    done += n;
  }
  return true;
}

int CountDescriptors(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

int ConnectRaw() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(502);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::vector<uint8_t> ReadFrame(int fd, std::chrono::milliseconds timeout) {
  std::vector<uint8_t> frame;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  size_t want = 6;
  while (frame.size() < want) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
    uint8_t buf[300];
    const ssize_t n = recv(fd, buf, want - frame.size(), 0);
    if (n <= 0) return {};
    frame.insert(frame.end(), buf, buf + n);
    if (frame.size() == 6 && want == 6) want = 6 + ((frame[4] << 8) | frame[5]);
  }
  return frame;
}

}  // namespace modbus_test
