// Route lookup: which local address the kernel would send from to reach a
// destination (as "ip route get" answers), asked over rtnetlink.
// One object per lookup; no shared state.
#pragma once

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
};
