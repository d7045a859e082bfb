#include "ua/flood_guard.h"

#include <dirent.h>
#include <linux/filter.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace siptrunk {
namespace ua {

namespace {

// A classic socket filter sees a UDP datagram from its UDP header on, so the
// payload starts at byte 8. A datagram whose payload starts with "SIP/" is a
// response and passes whole; everything else (requests, keep-alives, junk) is
// dropped, as is a datagram too short to hold the four bytes.
sock_filter kDropRequests[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 8),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x5349502f /* "SIP/" */, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, 0xffffffffu),
    BPF_STMT(BPF_RET | BPF_K, 0),
};

}  // namespace

std::set<int> IntakeGate::DatagramSockets() {
  std::set<int> found;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return found;
  const int own = dirfd(dir);
  while (dirent* e = readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end || fd == own) continue;
    struct stat st;
    int type = 0, domain = 0;
    socklen_t len = sizeof type;
    socklen_t dlen = sizeof domain;
    if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_DGRAM) continue;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_DOMAIN, &domain, &dlen) != 0) continue;
    if (domain == AF_INET || domain == AF_INET6) found.insert(static_cast<int>(fd));
  }
  closedir(dir);
  return found;
}

bool IntakeGate::Close() {
  sock_fprog program = {static_cast<unsigned short>(sizeof kDropRequests / sizeof kDropRequests[0]), kDropRequests};
  bool all = true;
  for (int fd : m_sockets) {
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) all = false;
  }
  m_closed = true;
  return all;
}

void IntakeGate::Open() {
  if (!m_closed) return;
  int unused = 0;
  for (int fd : m_sockets) setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused);
  m_closed = false;
}

}  // namespace ua
}  // namespace siptrunk
