// Route lookup over rtnetlink: one RTM_GETROUTE request for the destination,
// as "ip route get" asks it, on a socket of its own. Every answer is read with
// a receive time-out and checked against our sequence number and port, and
// every header and attribute length is checked before it is read.
//
// No shared state: each call opens and closes its own socket.
#include "platform/route_helper.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/diag.h"

namespace {

constexpr int kAnswerTimeoutMs = 1000;

long MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000L + now.tv_nsec / 1000000L;
}

// The netlink message that starts `at` bytes into a datagram of `size` bytes,
// or null when no complete message starts there.
const nlmsghdr* MessageAt(const char* data, size_t size, size_t at) {
  if (at > size || size - at < sizeof(nlmsghdr)) return nullptr;
  const auto* h = reinterpret_cast<const nlmsghdr*>(data + at);
  if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > size - at) return nullptr;
  return h;
}

// One rtnetlink socket for one lookup; closed on scope exit.
class RouteSocket {
 public:
  RouteSocket() {
    m_fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (m_fd < 0) return;
    timeval tv{kAnswerTimeoutMs / 1000, (kAnswerTimeoutMs % 1000) * 1000};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    socklen_t len = sizeof local;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 || len != sizeof local) {
      close(m_fd);
      m_fd = -1;
      return;
    }
    m_portId = local.nl_pid;
  }
  ~RouteSocket() {
    if (m_fd >= 0) close(m_fd);
  }
  RouteSocket(const RouteSocket&) = delete;
  RouteSocket& operator=(const RouteSocket&) = delete;

  bool IsOpen() const { return m_fd >= 0; }

  bool Send(nlmsghdr* request) {
    request->nlmsg_seq = ++m_seq;
    request->nlmsg_pid = 0;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const ssize_t n = sendto(m_fd, request, request->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    return n == static_cast<ssize_t>(request->nlmsg_len);
  }

  // Reads the answers to the last request and hands each of its messages to
  // visit(header) until visit returns false or the answer is complete
  // (NLMSG_DONE, NLMSG_ERROR, or a single non-multipart message).
  // Returns 0 when the answer was complete, a negative errno otherwise
  // (the kernel's error for NLMSG_ERROR with a non-zero code).
  template <typename Visit>
  int ReadAnswer(Visit visit) {
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
      const size_t size = static_cast<size_t>(got);
      for (size_t at = 0; const nlmsghdr* h = MessageAt(buf, size, at); at += NLMSG_ALIGN(h->nlmsg_len)) {
        if (h->nlmsg_seq != m_seq || h->nlmsg_pid != m_portId) continue;  // stale or foreign
        if (h->nlmsg_type == NLMSG_DONE) return 0;
        if (h->nlmsg_type == NLMSG_ERROR) {
          if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return -EBADMSG;
          const auto* err = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
          return err->error;  // 0 is a plain acknowledgement
        }
        if (!visit(h)) return 0;
        if ((h->nlmsg_flags & NLM_F_MULTI) == 0) return 0;
      }
    }
  }

 private:
  int m_fd = -1;
  uint32_t m_portId = 0;
  uint32_t m_seq = 0;
};

// Walks the attributes that follow a fixed header of `fixedLen` bytes in h,
// calling take(type, data, length) for each well-formed one.
template <typename Take>
void ForEachAttribute(const nlmsghdr* h, size_t fixedLen, Take take) {
  if (h->nlmsg_len < NLMSG_LENGTH(fixedLen)) return;
  const char* base = static_cast<const char*>(NLMSG_DATA(h)) + NLMSG_ALIGN(fixedLen);
  int left = static_cast<int>(h->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(NLMSG_ALIGN(fixedLen)));
  for (auto* a = reinterpret_cast<const rtattr*>(base); left > 0 && RTA_OK(a, left); a = RTA_NEXT(a, left)) {
    take(a->rta_type, RTA_DATA(a), RTA_PAYLOAD(a));
  }
}

uint32_t ReadU32(const void* data) {
  uint32_t value;
  memcpy(&value, data, sizeof value);
  return value;
}

// The first IPv4 address of interface `ifIndex` (network byte order), 0 if none.
uint32_t FirstAddressOf(RouteSocket& sock, uint32_t ifIndex) {
  struct {
    nlmsghdr header;
    ifaddrmsg body;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.body);
  request.header.nlmsg_type = RTM_GETADDR;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.body.ifa_family = AF_INET;
  if (!sock.Send(&request.header)) return 0;
  uint32_t found = 0;
  // Read the whole dump (so it is not left behind), keeping the first match.
  sock.ReadAnswer([&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWADDR || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return true;
    const auto* ifa = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
    if (found != 0 || ifa->ifa_family != AF_INET || ifa->ifa_index != ifIndex) return true;
    uint32_t local = 0, address = 0;
    ForEachAttribute(h, sizeof(ifaddrmsg), [&](unsigned short type, const void* data, size_t len) {
      if (len != 4) return;
      if (type == IFA_LOCAL) local = ReadU32(data);
      if (type == IFA_ADDRESS) address = ReadU32(data);
    });
    found = local != 0 ? local : address;
    return true;
  });
  return found;
}

}  // namespace

RouteHelper::RouteHelper() = default;
RouteHelper::~RouteHelper() = default;

bool RouteHelper::GetOutInterface(unsigned long destination, unsigned long& localAddr, unsigned long& outIfIndex) {
  localAddr = 0;
  outIfIndex = 0;
  if (destination > 0xFFFFFFFFul) {
    siptrunk::Diag("route lookup: destination %#lx is not an IPv4 address\n", destination);
    return false;
  }
  RouteSocket sock;
  if (!sock.IsOpen()) {
    siptrunk::Diag("route lookup: cannot open an rtnetlink socket: %s\n", strerror(errno));
    return false;
  }

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
    return false;
  }
  bool answered = false;
  uint8_t routeType = RTN_UNSPEC;
  uint32_t prefSrc = 0, oif = 0;
  const int rc = sock.ReadAnswer([&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWROUTE || h->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return true;
    const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(h));
    if (rt->rtm_family != AF_INET) return true;
    answered = true;
    routeType = rt->rtm_type;
    ForEachAttribute(h, sizeof(rtmsg), [&](unsigned short type, const void* data, size_t len) {
      if (len != 4) return;
      if (type == RTA_PREFSRC) prefSrc = ReadU32(data);
      if (type == RTA_OIF) oif = ReadU32(data);
    });
    return false;
  });
  // No route is an ordinary answer. The kernel says so with ENETUNREACH, or
  // for unreachable, prohibit and blackhole routes with EHOSTUNREACH, EACCES
  // and EINVAL (as "ip route get" shows them).
  if (rc == -ENETUNREACH || rc == -EHOSTUNREACH || rc == -EACCES || rc == -EINVAL) return false;
  if (rc != 0) {
    siptrunk::Diag("route lookup: no answer from the kernel: %s\n", strerror(-rc));
    return false;
  }
  // Blackhole, unreachable and the like lead nowhere.
  if (!answered || (routeType != RTN_UNICAST && routeType != RTN_LOCAL) || oif == 0) return false;
  if (prefSrc == 0) prefSrc = FirstAddressOf(sock, oif);
  if (prefSrc == 0) return false;
  localAddr = prefSrc;
  outIfIndex = oif;
  return true;
}
