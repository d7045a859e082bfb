// Route lookup: which local address the kernel would send from to reach a
// destination (as "ip route get" answers), asked over rtnetlink.
//
// The object keeps one rtnetlink socket for its life (opened at the first
// lookup), so that a lookup costs one request and its answer, not a socket of
// its own. Threads: any; m_mutex serialises the lookups on the socket. It is a
// leaf lock: taken under the caller's locks (the agent calls under
// m_mtxRegisteredSlaves), it never takes another. After any failure other
// than an ordinary "no route" answer the socket is closed, and the next lookup
// opens a new one (no late answer of a timed-out request is left behind).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class RouteHelper {
 public:
  RouteHelper();
  ~RouteHelper();
  RouteHelper(const RouteHelper&) = delete;
  RouteHelper& operator=(const RouteHelper&) = delete;

  // destination: IPv4 address in network byte order. On success *localAddr is
  // the preferred source address (network byte order) and *outIfIndex the
  // outgoing interface index; true. With no route, or on any failure, both are
  // 0 and the result is false.
  bool GetOutInterface(unsigned long destination, unsigned long& localAddr, unsigned long& outIfIndex);

  // Appends the interface names (address labels: "eth0", or an alias such as
  // "eth0:1") of the local IPv4 addresses equal to `address` (network byte
  // order), in the order the kernel lists them, as getifaddrs names them.
  // False when the kernel could not be asked (*names then holds nothing new).
  bool NamesCarrying(uint32_t address, std::vector<std::string>* names);

 private:
  bool OpenLocked();
  void CloseLocked();
  bool Lookup(unsigned long destination, unsigned long& localAddr, unsigned long& outIfIndex, bool& broken);

  std::mutex m_mutex;
  int m_fd = -1;            // guarded by m_mutex; -1: not open
  uint32_t m_portId = 0;    // guarded by m_mutex; the socket's netlink port
  uint32_t m_seq = 0;       // guarded by m_mutex; the last request's number
};
