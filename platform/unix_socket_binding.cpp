#include "platform/unix_socket_binding.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/diag.h"

namespace siptrunk {
namespace {

constexpr int kListenBacklog = 8;
constexpr mode_t kSocketMode = 0660;

}  // namespace

namespace {
int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
}  // namespace

PassDeadline::PassDeadline(int lengthMs) : m_endNs(MonotonicNs() + static_cast<int64_t>(lengthMs) * 1000000) {}

int PassDeadline::RemainingMs() const {
  const int64_t left = m_endNs - MonotonicNs();
  return left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
}

ssize_t ReceiveMessage(int fd, std::vector<char>* buffer, bool* cutShort) {
  iovec iov{buffer->data(), buffer->size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  *cutShort = n >= 0 && ((msg.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(n) > buffer->size());
  return n;
}

bool MakeUnixAddress(const std::string& path, sockaddr_un* addr, socklen_t* addrLen) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path || path.find('\0') != std::string::npos) {
    return false;
  }
  std::memcpy(addr->sun_path, path.data(), path.size());
  *addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

UnixSocketBinding::UnixSocketBinding(int type, const char* linkName) : m_nType(type), m_sLinkName(linkName) {}

UnixSocketBinding::~UnixSocketBinding() {
  if (m_fd < 0) return;
  close(m_fd);
  struct stat st;
  if (m_bHaveIdentity && stat(m_sPath.c_str(), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino) {
    unlink(m_sPath.c_str());
  }
}

void UnixSocketBinding::Report(Failure kind, const char* format, ...) {
  if ((m_reported & kind) != 0) return;
  m_reported |= kind;
  char text[768];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Diag("%s: %s", m_sLinkName, text);
}

// Something is at `path` (link said EEXIST). Tells a stale socket file,
// which it removes, from a socket that someone still answers on.
UnixSocketBinding::PathState UnixSocketBinding::ExamineOccupiedPath(const std::string& path,
                                                                    const sockaddr_un& addr,
                                                                    socklen_t addrLen) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return PathState::kFree;  // gone meanwhile
    Report(kBindFailed, "cannot examine %s: %s; retrying", path.c_str(), strerror(errno));
    return PathState::kBusy;
  }
  if (!S_ISSOCK(st.st_mode)) {
    Report(kNotASocket, "%s exists and is not a socket; leaving it alone and retrying", path.c_str());
    return PathState::kBusy;
  }
  const int probe = socket(AF_UNIX, m_nType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    Report(kNoSocket, "cannot create a socket: %s; retrying", strerror(errno));
    return PathState::kBusy;
  }
  const int rc = connect(probe, reinterpret_cast<const sockaddr*>(&addr), addrLen);
  const int err = rc == 0 ? 0 : errno;
  close(probe);
  if (err == ECONNREFUSED) {
    // Nobody listens: the file is left over from an earlier run.
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return PathState::kStaleRemoved;
    Report(kStaleNotRemoved, "cannot remove the stale socket %s: %s; retrying", path.c_str(), strerror(errno));
    return PathState::kBusy;
  }
  if (err == ENOENT) return PathState::kFree;
  if (err == 0 || err == EAGAIN || err == EINPROGRESS || err == EPROTOTYPE) {
    Report(kLiveOwner, "another process is listening on %s (is another agent running?); retrying",
           path.c_str());
    return PathState::kBusy;
  }
  Report(kBindFailed, "cannot tell whether %s is in use: %s; retrying", path.c_str(), strerror(err));
  return PathState::kBusy;
}

// The socket file must never be reachable with a mode wider than 0660, yet
// bind() creates it with 0777 & ~umask and AF_UNIX has no way to set the mode
// through the descriptor beforehand (fchmod on the socket does not reach the
// file). Narrowing the umask around bind() would do, but the umask belongs to
// the whole process and this runs on a link's listen thread while other
// threads create files (the store, the trace log). So the socket is bound in
// a private directory of mode 0700 beside the path (nobody but this user can
// reach it there), given mode 0660 and the process's group, and only then
// hard-linked to the path. link() fails rather than replace an existing file,
// so a live peer's socket is never taken over. No process-wide state changes.
int UnixSocketBinding::EnsureBound(const std::string& path) {
  if (m_fd >= 0) return m_fd;

  sockaddr_un addr;
  socklen_t addrLen = 0;
  if (!MakeUnixAddress(path, &addr, &addrLen)) {
    Report(kPathTooLong, "socket path \"%s\" is empty or longer than %zu bytes", path.c_str(),
           sizeof addr.sun_path - 1);
    return -1;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

  std::string staging = dir + "/.bind-XXXXXX";
  if (mkdtemp(&staging[0]) == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR) {
      Report(kNoDirectory, "cannot bind %s: its directory does not exist; retrying", path.c_str());
    } else {
      Report(kBindFailed, "cannot bind %s: cannot make a private directory beside it: %s; retrying", path.c_str(),
             strerror(errno));
    }
    return -1;
  }
  const int dirFd = open(staging.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int fd = socket(AF_UNIX, m_nType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  bool placed = false;
  if (dirFd < 0 || fd < 0) {
    Report(kNoSocket, "cannot create a socket: %s; retrying", strerror(errno));
  } else if (StageSocket(fd, dirFd, staging, base, path)) {
    // Two tries: the second follows the removal of a stale file.
    for (int attempt = 0; attempt < 2 && !placed; ++attempt) {
      if (linkat(dirFd, base.c_str(), AT_FDCWD, path.c_str(), 0) == 0) {
        placed = true;
        break;
      }
      const int err = errno;
      if (err == ENOENT || err == ENOTDIR) {
        Report(kNoDirectory, "cannot bind %s: its directory does not exist; retrying", path.c_str());
        break;
      }
      if (err != EEXIST) {
        Report(kBindFailed, "cannot bind %s: %s; retrying", path.c_str(), strerror(err));
        break;
      }
      if (ExamineOccupiedPath(path, addr, addrLen) == PathState::kBusy) break;
    }
  }
  if (dirFd >= 0) {
    unlinkat(dirFd, base.c_str(), 0);
    close(dirFd);
  }
  rmdir(staging.c_str());
  if (!placed) {
    if (fd >= 0) close(fd);
    return -1;
  }
  struct stat st;
  m_bHaveIdentity = stat(path.c_str(), &st) == 0;
  if (m_bHaveIdentity) {
    m_dev = st.st_dev;
    m_ino = st.st_ino;
  }
  m_fd = fd;
  m_sPath = path;
  m_reported = 0;
  return m_fd;
}

// Binds fd as `base` inside the private directory, sets the file's mode and
// group, and listens (SOCK_SEQPACKET): all before anyone else can reach it.
bool UnixSocketBinding::StageSocket(int fd, int dirFd, const std::string& staging, const std::string& base,
                                    const std::string& path) {
  sockaddr_un addr;
  socklen_t addrLen = 0;
  // The private directory's name is longer than the path's; when it does not
  // fit, the directory is reached through its descriptor instead.
  if (!MakeUnixAddress(staging + "/" + base, &addr, &addrLen) &&
      !MakeUnixAddress("/proc/self/fd/" + std::to_string(dirFd) + "/" + base, &addr, &addrLen)) {
    Report(kPathTooLong, "socket name \"%s\" is too long", base.c_str());
    return false;
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), addrLen) != 0) {
    Report(kBindFailed, "cannot bind %s: %s; retrying", path.c_str(), strerror(errno));
    return false;
  }
  struct stat st;
  if (fchmodat(dirFd, base.c_str(), kSocketMode, 0) != 0 ||
      fstatat(dirFd, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      (st.st_gid != getegid() && fchownat(dirFd, base.c_str(), static_cast<uid_t>(-1), getegid(),
                                          AT_SYMLINK_NOFOLLOW) != 0)) {
    Report(kChmodFailed, "cannot set mode 0660 and the process's group on %s: %s; retrying", path.c_str(),
           strerror(errno));
    return false;
  }
  if (m_nType != SOCK_DGRAM && listen(fd, kListenBacklog) != 0) {
    Report(kListenFailed, "cannot listen on %s: %s; retrying", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

}  // namespace siptrunk
