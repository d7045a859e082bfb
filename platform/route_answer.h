// Decoding of the kernel's rtnetlink answers to a route lookup, apart from
// the socket, so that any bytes can be fed to it (fuzz/route_answer_fuzzer.cpp).
// Every header and attribute length is checked before it is read. No state.
#pragma once

#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace siptrunk {

// What one datagram of an answer said.
struct AnswerStep {
  bool complete = false;  // NLMSG_DONE, NLMSG_ERROR, a single message, or `visit` said stop
  int error = 0;          // when complete: 0, or a negative errno (the kernel's, or -EBADMSG/-EPROTO)
};

// Walks the messages of one datagram of `size` bytes at `data` (aligned for
// nlmsghdr). Messages of another sequence number or port are skipped; every
// other message that is not NLMSG_DONE or NLMSG_ERROR goes to visit(header),
// whose nlmsg_len is at least a header and lies within the datagram; visit
// returns false to end the answer.
AnswerStep WalkAnswer(const void* data, size_t size, uint32_t seq, uint32_t portId,
                      const std::function<bool(const nlmsghdr&)>& visit);

// The facts of an RTM_NEWROUTE answer that the lookup uses.
struct RouteFacts {
  bool answered = false;  // an IPv4 route message was read
  uint8_t type = 0;       // rtm_type (RTN_UNICAST, RTN_LOCAL, ...)
  uint32_t prefSrc = 0;   // RTA_PREFSRC, network byte order; 0 when absent
  uint32_t oif = 0;       // RTA_OIF; 0 when absent
};

// Reads `h` into *facts when it is an IPv4 RTM_NEWROUTE message; true when it was.
bool TakeRoute(const nlmsghdr& h, RouteFacts* facts);

// The address (IFA_LOCAL, else IFA_ADDRESS; network byte order) of `h` when it
// is an IPv4 RTM_NEWADDR message for interface ifIndex; 0 otherwise.
uint32_t AddressOf(const nlmsghdr& h, uint32_t ifIndex);

// The facts of an IPv4 RTM_NEWADDR message, as getifaddrs reads them.
struct AddressFacts {
  uint32_t ifIndex = 0;  // ifa_index
  uint32_t address = 0;  // IFA_LOCAL, else IFA_ADDRESS; network byte order; 0 when absent
  std::string label;     // IFA_LABEL up to its first NUL ("eth0", "eth0:1"); empty when absent
};

// Reads `h` into *facts when it is an IPv4 RTM_NEWADDR message; true when it was.
bool TakeAddress(const nlmsghdr& h, AddressFacts* facts);

}  // namespace siptrunk
