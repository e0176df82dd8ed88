#include "IcmpPing.h"

#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace VeloFramework {

namespace {

uint16_t Checksum(const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (length & 1) sum += static_cast<uint32_t>(p[length - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return htons(static_cast<uint16_t>(~sum));
}

bool Resolve(const std::string& host, sockaddr_in& out) {
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  if (inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return false;
  out.sin_addr = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
  freeaddrinfo(result);
  return true;
}

constexpr size_t kPayloadSize = 16;
struct EchoPacket {
  icmphdr header;
  char payload[kPayloadSize];
};

}  // namespace

CIcmpPing::CIcmpPing(std::chrono::milliseconds echoTimeout) : m_echoTimeout(echoTimeout) {
  static std::atomic<uint16_t> s_instance{0};
  m_nId = static_cast<uint16_t>(getpid() ^ (s_instance++ << 12));
  m_fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (m_fd >= 0) {
    m_bRaw = true;
    // Let the kernel pass only echo replies to this socket.
    icmp_filter filter{};
    filter.data = ~(1U << ICMP_ECHOREPLY);
    setsockopt(m_fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  } else {
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  }
}

CIcmpPing::~CIcmpPing() {
  if (m_fd >= 0) close(m_fd);
}

bool CIcmpPing::IsReachable(const std::string& strHost, int nAttempts) {
  if (m_fd < 0) return true;
  sockaddr_in target;
  if (!Resolve(strHost, target)) return false;
  for (int i = 0; i < nAttempts; ++i)
    if (EchoOnce(target)) return true;
  return false;
}

bool CIcmpPing::EchoOnce(const sockaddr_in& target) {
  const uint16_t sequence = ++m_nSequence;
  EchoPacket request{};
  request.header.type = ICMP_ECHO;
  request.header.code = 0;
  request.header.un.echo.id = htons(m_nId);
  request.header.un.echo.sequence = htons(sequence);
  std::memcpy(request.payload, "UserTcp-reach-ok", kPayloadSize);
  request.header.checksum = 0;
  request.header.checksum = Checksum(&request, sizeof request);
  if (sendto(m_fd, &request, sizeof request, MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&target),
             sizeof target) != static_cast<ssize_t>(sizeof request)) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + m_echoTimeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{m_fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    unsigned char buffer[1500];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(m_fd, buffer, sizeof buffer, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n <= 0) continue;
    size_t offset = 0;
    if (m_bRaw) {
      // A raw socket hands over the IP header too.
      if (static_cast<size_t>(n) < sizeof(iphdr)) continue;
      offset = static_cast<size_t>((buffer[0] & 0x0f) * 4);
    }
    if (static_cast<size_t>(n) < offset + sizeof(icmphdr)) continue;
    icmphdr reply;
    std::memcpy(&reply, buffer + offset, sizeof reply);
    if (reply.type != ICMP_ECHOREPLY || reply.code != 0) continue;
    if (from.sin_addr.s_addr != target.sin_addr.s_addr) continue;
    // A datagram ICMP socket gets its id from the kernel, which already
    // delivers only replies to it.
    if (m_bRaw && ntohs(reply.un.echo.id) != m_nId) continue;
    if (ntohs(reply.un.echo.sequence) != sequence) continue;
    return true;
  }
}

}  // namespace VeloFramework
