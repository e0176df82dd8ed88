// CIcmpPing: ICMP echo reachability checks for IPv4 hosts. Only an echo reply
// from the pinged address that carries this checker's id and the sequence
// number of the request counts; the echo request itself, which a raw socket
// also sees when pinging a local address, and every other ICMP message are
// ignored.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace VeloFramework {

class CIcmpPing {
 public:
  // Opens a raw ICMP socket, or an unprivileged ICMP datagram socket when raw
  // sockets are not allowed. Without either, every host counts as reachable
  // (nothing can be checked) and Available() is false.
  explicit CIcmpPing(std::chrono::milliseconds echoTimeout);
  ~CIcmpPing();
  CIcmpPing(const CIcmpPing&) = delete;
  CIcmpPing& operator=(const CIcmpPing&) = delete;

  // Sends up to `nAttempts` echo requests to `strHost` (an IPv4 address or a
  // name), one at a time, each waiting up to the echo timeout, and stops at
  // the first reply. True when a reply came. A host that cannot be resolved
  // is unreachable. A dead host takes nAttempts x the echo timeout.
  bool IsReachable(const std::string& strHost, int nAttempts);

  bool Available() const { return m_fd >= 0; }
  std::chrono::milliseconds EchoTimeout() const { return m_echoTimeout; }

 private:
  bool EchoOnce(const sockaddr_in& target);

  int m_fd = -1;
  bool m_bRaw = false;
  uint16_t m_nId = 0;
  uint16_t m_nSequence = 0;
  std::chrono::milliseconds m_echoTimeout;
};

}  // namespace VeloFramework
