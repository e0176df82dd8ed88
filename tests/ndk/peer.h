// Plain POSIX TCP peers and a small event recorder for the NDK tests.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ndk_test {

using namespace std::chrono_literals;

// Number of open descriptors of this process.
inline int OpenDescriptorCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n - 3;  // ".", ".." and the directory's own descriptor
}

// A blocking TCP peer with bounded waits.
class Peer {
 public:
  Peer() = default;
  explicit Peer(int fd) : m_fd(fd) {}
  Peer(Peer&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
  Peer& operator=(Peer&& o) noexcept {
    if (this != &o) {
      Close();
      m_fd = o.m_fd;
      o.m_fd = -1;
    }
    return *this;
  }
  ~Peer() { Close(); }

  // Connects to 127.0.0.1:port; optional small receive buffer. On failure
  // LastError() holds the errno of the failed call.
  bool Connect(int port, int rcvbuf = 0) {
    Close();
    m_error = 0;
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_fd < 0) {
      m_error = errno;
      return false;
    }
    if (rcvbuf > 0) setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
    m_error = errno;
    return false;
  }
  int LastError() const { return m_error; }
  // Starts a connect without waiting for the handshake.
  void ConnectNonBlocking(int port) {
    Close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  bool Send(const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
      ssize_t n = ::send(m_fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads until `count` bytes arrived, EOF, or the timeout.
  std::string Receive(size_t count, std::chrono::milliseconds timeout = 5000ms) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    while (out.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      ssize_t n = ::recv(m_fd, buf, std::min(sizeof buf, count - out.size()), 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  // True when the other side closed (EOF or reset) within the timeout;
  // discards data read meanwhile.
  bool WaitClosed(std::chrono::milliseconds timeout = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      if (::recv(m_fd, buf, sizeof buf, 0) <= 0) return true;
    }
  }
  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }
  int Fd() const { return m_fd; }

 private:
  int m_fd = -1;
  int m_error = 0;
};

// A listening socket on 127.0.0.1 that accepts on request.
class Listener {
 public:
  explicit Listener(int port, int backlog = 16, bool anyAddress = false) {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(anyAddress ? INADDR_ANY : INADDR_LOOPBACK);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(m_fd, backlog);
  }
  ~Listener() { ::close(m_fd); }
  Peer Accept(std::chrono::milliseconds timeout = 5000ms) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return Peer();
    return Peer(::accept(m_fd, nullptr, nullptr));
  }

 private:
  int m_fd = -1;
};

// Thread-safe record of callbacks with bounded waits.
template <typename Event>
class Recorder {
 public:
  void Add(const Event& e) {
    std::lock_guard<std::mutex> l(m_mutex);
    m_events.push_back(e);
    m_cv.notify_all();
  }
  std::vector<Event> Snapshot() {
    std::lock_guard<std::mutex> l(m_mutex);
    return m_events;
  }
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& pred,
               std::chrono::milliseconds timeout = 10000ms) {
    std::unique_lock<std::mutex> l(m_mutex);
    return m_cv.wait_for(l, timeout, [&] { return pred(m_events); });
  }
  size_t Size() {
    std::lock_guard<std::mutex> l(m_mutex);
    return m_events.size();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<Event> m_events;
};

// A gate a callback can wait on until the test opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> l(m_mutex);
    m_open = true;
    m_cv.notify_all();
  }
  bool Wait(std::chrono::milliseconds timeout = 10000ms) {
    std::unique_lock<std::mutex> l(m_mutex);
    return m_cv.wait_for(l, timeout, [&] { return m_open; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_open = false;
};

inline std::string Pattern(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xff);
  return s;
}

}  // namespace ndk_test
