// A Unix socket that one link of this process binds at a path and removes again.
//
// Binding is lazy and retried: the runtime directory may appear after the
// daemon starts, and a file left by a crashed run must not keep the link down.
// EnsureBound() therefore
//   - removes a stale socket file (nobody answers a connect: ECONNREFUSED),
//   - leaves alone a socket that another live process answers on, and any file
//     that is not a socket,
//   - lets the file appear at the path only with mode 0660 and the process's
//     group (under the service manager, the service's group, of which the
//     settings CGI is a member): it is bound in a private directory first,
//     see EnsureBound,
//   - diagnoses each kind of failure once, and again only after a success.
// The destructor removes the file only while it still is the one bound here
// (same device and inode), so a newer process's socket survives us.
//
// Threads: one thread (the link's listen thread) calls EnsureBound; the owner
// destroys the object after that thread has ended. No lock of its own.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstdint>
#include <string>
#include <vector>

namespace siptrunk {

// Fills *addr for `path`; false when the path does not fit into sun_path.
bool MakeUnixAddress(const std::string& path, sockaddr_un* addr, socklen_t* addrLen);

// The end of one listen pass. A pass waits on its socket until it is over,
// handling each message as it arrives, so that a message is never held back
// by the listen loop's pause between passes unless it arrives during it.
class PassDeadline {
 public:
  explicit PassDeadline(int lengthMs);
  // Milliseconds left, 0 once the pass is over.
  int RemainingMs() const;

 private:
  int64_t m_endNs;
};

// Takes one message off `fd` into `buffer` without waiting. Returns its length,
// or -1 with errno set (EAGAIN: none waiting). *cutShort tells that the message
// was longer than the buffer, so that only its beginning was taken.
ssize_t ReceiveMessage(int fd, std::vector<char>* buffer, bool* cutShort);

class UnixSocketBinding {
 public:
  // type: SOCK_SEQPACKET (then also listened on) or SOCK_DGRAM. linkName
  // starts every diagnostic, e.g. "user-agent link".
  UnixSocketBinding(int type, const char* linkName);
  ~UnixSocketBinding();
  UnixSocketBinding(const UnixSocketBinding&) = delete;
  UnixSocketBinding& operator=(const UnixSocketBinding&) = delete;

  // The bound socket (non-blocking, close-on-exec), binding it at `path` first
  // when needed; -1 while that is not possible.
  int EnsureBound(const std::string& path);
  int Fd() const { return m_fd; }

 private:
  enum Failure : unsigned {
    kPathTooLong = 1u << 0,
    kNoSocket = 1u << 1,
    kNoDirectory = 1u << 2,
    kLiveOwner = 1u << 3,
    kNotASocket = 1u << 4,
    kStaleNotRemoved = 1u << 5,
    kBindFailed = 1u << 6,
    kListenFailed = 1u << 7,
    kChmodFailed = 1u << 8,
  };
  enum class PathState { kFree, kStaleRemoved, kBusy };

  bool StageSocket(int fd, int dirFd, const std::string& staging, const std::string& base, const std::string& path);
  PathState ExamineOccupiedPath(const std::string& path, const sockaddr_un& addr, socklen_t addrLen);
  void Report(Failure kind, const char* format, ...) __attribute__((format(printf, 3, 4)));

  const int m_nType;
  const char* const m_sLinkName;
  int m_fd = -1;
  std::string m_sPath;   // where m_fd is bound
  dev_t m_dev = 0;       // identity of the file bound at m_sPath
  ino_t m_ino = 0;
  bool m_bHaveIdentity = false;
  unsigned m_reported = 0;  // Failure bits diagnosed since the last success
};

}  // namespace siptrunk
