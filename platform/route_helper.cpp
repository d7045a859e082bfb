// Route lookup over rtnetlink: one RTM_GETROUTE request for the destination,
// as "ip route get" asks it, on a socket of its own. Every answer is read with
// a receive time-out; platform/route_answer.cpp decodes it (checked against
// our sequence number and port, every length checked before it is read).
// This walk is our own, not libmnl's: the target build has no libmnl.
//
// The socket lives as long as its RouteHelper (see route_helper.h for the
// lock and for when it is opened again).
#include "platform/route_helper.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>

#include "platform/diag.h"
#include "platform/route_answer.h"

namespace {

constexpr int kAnswerTimeoutMs = 1000;

long MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000L + now.tv_nsec / 1000000L;
}

// Opens and binds an rtnetlink socket; its port id in *portId. -1 on failure
// (errno says why).
int OpenRouteSocket(uint32_t* portId) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -1;
  timeval tv{kAnswerTimeoutMs / 1000, (kAnswerTimeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  socklen_t len = sizeof local;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 || len != sizeof local) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  *portId = local.nl_pid;
  return fd;
}

// One lookup's view of the helper's socket (owned by the helper, used under
// its lock).
class RouteSocket {
 public:
  RouteSocket(int fd, uint32_t portId, uint32_t* seq) : m_fd(fd), m_portId(portId), m_seq(*seq) {}
  RouteSocket(const RouteSocket&) = delete;
  RouteSocket& operator=(const RouteSocket&) = delete;

  bool Send(nlmsghdr* request) {
    request->nlmsg_seq = ++m_seq;
    request->nlmsg_pid = 0;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const ssize_t n = sendto(m_fd, request, request->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    return n == static_cast<ssize_t>(request->nlmsg_len);
  }

  // Reads the answers to the last request, handing each of its messages to
  // visit(header) until visit returns false or the answer is complete
  // (NLMSG_DONE, NLMSG_ERROR, or a single non-multipart message).
  // Returns 0 when the answer was complete, a negative errno otherwise
  // (the kernel's error for NLMSG_ERROR with a non-zero code).
  int ReadAnswer(const std::function<bool(const nlmsghdr&)>& visit) {
    alignas(nlmsghdr) char buf[16384];
    const long deadline = MonotonicMs() + kAnswerTimeoutMs;
    for (;;) {
      const long left = deadline - MonotonicMs();
      if (left <= 0) return -ETIMEDOUT;
      pollfd pfd{m_fd, POLLIN, 0};
      const int ready = poll(&pfd, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return ready == 0 ? -ETIMEDOUT : -errno;
      sockaddr_nl from{};
      socklen_t fromLen = sizeof from;
      const ssize_t got = recvfrom(m_fd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return -errno;
      }
      if (static_cast<size_t>(got) > sizeof buf) return -EMSGSIZE;  // truncated answer
      if (fromLen != sizeof from || from.nl_pid != 0) continue;     // not from the kernel
      const siptrunk::AnswerStep step = siptrunk::WalkAnswer(buf, static_cast<size_t>(got), m_seq, m_portId, visit);
      if (step.complete) return step.error;
    }
  }

 private:
  const int m_fd;
  const uint32_t m_portId;
  uint32_t& m_seq;
};

// Asks for every IPv4 address of every interface (a dump).
bool SendAddressDump(RouteSocket& sock) {
  struct {
    nlmsghdr header;
    ifaddrmsg body;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.body);
  request.header.nlmsg_type = RTM_GETADDR;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.body.ifa_family = AF_INET;
  return sock.Send(&request.header);
}

// The first IPv4 address of interface `ifIndex` (network byte order), 0 if none.
// *broken: the request or its answer failed (the socket may hold leftovers).
uint32_t FirstAddressOf(RouteSocket& sock, uint32_t ifIndex, bool* broken) {
  if (!SendAddressDump(sock)) {
    *broken = true;
    return 0;
  }
  uint32_t found = 0;
  // Read the whole dump (so it is not left behind), keeping the first match.
  const int rc = sock.ReadAnswer([&](const nlmsghdr& h) {
    if (found == 0) found = siptrunk::AddressOf(h, ifIndex);
    return true;
  });
  if (rc != 0) *broken = true;
  return found;
}

}  // namespace

RouteHelper::RouteHelper() = default;

RouteHelper::~RouteHelper() {
  if (m_fd >= 0) close(m_fd);
}

bool RouteHelper::GetOutInterface(unsigned long destination, unsigned long& localAddr, unsigned long& outIfIndex) {
  localAddr = 0;
  outIfIndex = 0;
  if (destination > 0xFFFFFFFFul) {
    siptrunk::Diag("route lookup: destination %#lx is not an IPv4 address\n", destination);
    return false;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!OpenLocked()) return false;
  bool broken = false;
  const bool found = Lookup(destination, localAddr, outIfIndex, broken);
  // Whatever the socket still holds belongs to a failed request: start afresh
  // at the next lookup.
  if (broken) CloseLocked();
  return found;
}

bool RouteHelper::NamesCarrying(uint32_t address, std::vector<std::string>* names) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!OpenLocked()) return false;
  RouteSocket sock(m_fd, m_portId, &m_seq);
  if (!SendAddressDump(sock)) {
    siptrunk::Diag("interface list: cannot send the request: %s\n", strerror(errno));
    CloseLocked();
    return false;
  }
  std::vector<std::string> found;
  const int rc = sock.ReadAnswer([&](const nlmsghdr& h) {
    siptrunk::AddressFacts facts;
    if (!siptrunk::TakeAddress(h, &facts) || facts.address != address) return true;
    if (facts.label.empty()) {
      // No label: the interface's own name, as getifaddrs would give.
      char name[IF_NAMESIZE] = {};
      if (if_indextoname(facts.ifIndex, name) != nullptr) facts.label = name;
    }
    found.push_back(facts.label);
    return true;
  });
  if (rc != 0) {
    siptrunk::Diag("interface list: no answer from the kernel: %s\n", strerror(-rc));
    CloseLocked();
    return false;
  }
  names->insert(names->end(), found.begin(), found.end());
  return true;
}

bool RouteHelper::OpenLocked() {
  if (m_fd >= 0) return true;
  m_fd = OpenRouteSocket(&m_portId);
  if (m_fd >= 0) return true;
  siptrunk::Diag("route lookup: cannot open an rtnetlink socket: %s\n", strerror(errno));
  return false;
}

void RouteHelper::CloseLocked() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

// Called with m_mutex held and the socket open. *broken: the socket failed or
// may hold a late answer.
bool RouteHelper::Lookup(unsigned long destination, unsigned long& localAddr, unsigned long& outIfIndex,
                         bool& broken) {
  RouteSocket sock(m_fd, m_portId, &m_seq);

  struct {
    nlmsghdr header;
    rtmsg body;
    char attributes[RTA_SPACE(sizeof(uint32_t))];
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.body);
  request.header.nlmsg_type = RTM_GETROUTE;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.body.rtm_family = AF_INET;
  request.body.rtm_dst_len = 32;
  auto* dst = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
  dst->rta_type = RTA_DST;
  dst->rta_len = RTA_LENGTH(sizeof(uint32_t));
  const uint32_t destination32 = static_cast<uint32_t>(destination);
  memcpy(RTA_DATA(dst), &destination32, sizeof destination32);
  request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_SPACE(sizeof(uint32_t));

  if (!sock.Send(&request.header)) {
    siptrunk::Diag("route lookup: cannot send the request: %s\n", strerror(errno));
    broken = true;
    return false;
  }
  siptrunk::RouteFacts route;
  const int rc = sock.ReadAnswer([&](const nlmsghdr& h) { return !siptrunk::TakeRoute(h, &route); });
  // No route is an ordinary answer. The kernel says so with ENETUNREACH, or
  // for unreachable, prohibit and blackhole routes with EHOSTUNREACH, EACCES
  // and EINVAL (as "ip route get" shows them).
  if (rc == -ENETUNREACH || rc == -EHOSTUNREACH || rc == -EACCES || rc == -EINVAL) return false;
  if (rc != 0) {
    siptrunk::Diag("route lookup: no answer from the kernel: %s\n", strerror(-rc));
    broken = true;
    return false;
  }
  // Blackhole, unreachable and the like lead nowhere.
  if (!route.answered || (route.type != RTN_UNICAST && route.type != RTN_LOCAL) || route.oif == 0) return false;
  uint32_t prefSrc = route.prefSrc;
  if (prefSrc == 0) prefSrc = FirstAddressOf(sock, route.oif, &broken);
  if (prefSrc == 0) return false;
  localAddr = prefSrc;
  outIfIndex = route.oif;
  return true;
}
