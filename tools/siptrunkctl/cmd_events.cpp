// events: stands where the device's event manager stands. Binds
// eventman.sock and prints each notification the agent raises.
//
// Single-threaded. SIGINT, SIGTERM and SIGHUP stay blocked except inside
// ppoll, so a signal can only end the wait, never a half-done step; the
// handler only sets g_stopSignal.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/link_codec.h"
#include "platform/paths.h"
#include "tools/siptrunkctl/commands.h"
#include "tools/siptrunkctl/ctl.h"
#include "tools/siptrunkctl/text_format.h"

namespace siptrunk {
namespace ctl {
namespace {

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signo) { g_stopSignal = signo; }

// The bound socket; unlinks its file when it goes, if the file is still ours.
class BoundEventSocket {
 public:
  ~BoundEventSocket() {
    if (m_fd < 0) return;
    struct stat st {};
    if (lstat(m_path.c_str(), &st) == 0 && st.st_ino == m_inode && st.st_dev == m_device) unlink(m_path.c_str());
    close(m_fd);
  }

  bool Bind(const std::string& path, std::string* error) {
    m_path = path;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
      *error = "socket path too long: " + path;
      return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (!RemoveStale(error)) return false;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = std::string("socket: ") + std::strerror(errno);
      return false;
    }
    // The file is born with mode 0660: no moment in which others could
    // connect. The umask is the process's, which is safe to change here
    // because this program is single-threaded.
    const mode_t previousMask = umask(0117);
    const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindErrno = errno;
    umask(previousMask);
    if (bound != 0) {
      *error = "cannot bind " + path + ": " + std::strerror(bindErrno);
      close(fd);
      return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
      *error = "cannot set up " + path + ": " + std::strerror(errno);
      unlink(path.c_str());
      close(fd);
      return false;
    }
    m_fd = fd;
    m_inode = st.st_ino;
    m_device = st.st_dev;
    return true;
  }

  int Fd() const { return m_fd; }

 private:
  // A socket file that nobody has bound is left over from a listener that
  // died; one that somebody has bound belongs to a running listener.
  bool RemoveStale(std::string* error) {
    struct stat st {};
    if (lstat(m_path.c_str(), &st) != 0) return true;
    if (!S_ISSOCK(st.st_mode)) {
      *error = m_path + " exists and is not a socket; not touching it";
      return false;
    }
    std::string why;
    const SocketProbe probe = ProbeDatagramSocket(m_path, &why);
    if (probe == SocketProbe::kLive) {
      *error = "another listener is bound to " + m_path;
      return false;
    }
    if (probe == SocketProbe::kProbeError) {
      *error = why;
      return false;
    }
    if (unlink(m_path.c_str()) != 0 && errno != ENOENT) {
      *error = "cannot remove the stale socket " + m_path + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }

  std::string m_path;
  int m_fd = -1;
  ino_t m_inode = 0;
  dev_t m_device = 0;
};

void PrintNotice(const EventNotice& notice, bool json) {
  std::string line;
  if (json) {
    line = "{\"source\":" + tools::JsonString(notice.source) + ",\"kind\":" + tools::JsonString(notice.kind) +
           ",\"text\":" + tools::JsonString(notice.text) + "}\n";
  } else {
    line = tools::PrintableText(notice.source) + " | " + tools::PrintableText(notice.kind) + " | " +
           tools::PrintableText(notice.text) + "\n";
  }
  std::fputs(line.c_str(), stdout);
}

int RunEvents(const Command& command, const std::vector<std::string>& args) {
  ParsedArgs parsed;
  int status = kExitOk;
  if (!PrepareArgs(command, args, 0, 0, &parsed, &status)) return status;
  unsigned long wanted = 0;  // 0: until a signal
  std::string error;
  if (parsed.Has("count") && !ParseCount("the count", parsed.options["count"], &wanted, &error)) {
    return UsageError(command, error);
  }
  const bool json = parsed.Has("json");
  const std::string name = CommandName(command);

  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGHUP);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed stdout shows as a failed flush

  const std::string path = EventSocketPath();
  BoundEventSocket sock;
  if (!sock.Bind(path, &error)) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
    return kExitFailure;
  }
  std::fprintf(stderr, "%s: listening on %s\n", name.c_str(), path.c_str());

  std::vector<char> buffer(kMaxUpdateDatagram + 1);
  unsigned long printed = 0;
  while (g_stopSignal == 0 && (wanted == 0 || printed < wanted)) {
    pollfd pfd{sock.Fd(), POLLIN, 0};
    const int ready = ppoll(&pfd, 1, nullptr, &waitMask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "%s: poll: %s\n", name.c_str(), std::strerror(errno));
      return kExitFailure;
    }
    const ssize_t n = recv(sock.Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      std::fprintf(stderr, "%s: receive: %s\n", name.c_str(), std::strerror(errno));
      return kExitFailure;
    }
    if (static_cast<size_t>(n) > buffer.size() - 1) {
      std::fprintf(stderr, "%s: dropped a notification of %zd bytes (too long)\n", name.c_str(), n);
      continue;
    }
    EventNotice notice;
    std::string why;
    if (!DecodeEventNotice(buffer.data(), static_cast<size_t>(n), &notice, &why)) {
      std::fprintf(stderr, "%s: dropped a malformed notification of %zd bytes: %s\n", name.c_str(), n, why.c_str());
      continue;
    }
    PrintNotice(notice, json);
    if (std::fflush(stdout) != 0) {
      std::fprintf(stderr, "%s: cannot write to standard output: %s\n", name.c_str(), std::strerror(errno));
      return kExitFailure;
    }
    ++printed;
  }
  return kExitOk;
}

const option kEventsOptions[] = {
    {"json", no_argument, nullptr, 0}, {"count", required_argument, nullptr, 0}, {nullptr, 0, nullptr, 0}};

}  // namespace

const Command kEvents = {
    "events", "", "[--count N] [--json]",
    "Stands in for the device's event manager: binds the event socket\n"
    "(eventman.sock in RUNTIME_DIRECTORY, mode 0660; a stale socket file left by\n"
    "a dead listener is removed first) and prints every notification the agent\n"
    "raises, one line each:\n"
    "  SOURCE | KIND | TEXT\n"
    "or with --json one object per line: {\"source\":...,\"kind\":...,\"text\":...}.\n"
    "Ends after N notifications with --count N, or on SIGINT/SIGTERM; the socket\n"
    "file is removed either way. While nothing is bound, the agent's\n"
    "notifications go to syslog only.\n"
    "\n"
    "Examples:\n"
    "  siptrunkctl events\n"
    "  siptrunkctl events --count 1 --json\n",
    RunEvents, kEventsOptions};

}  // namespace ctl
}  // namespace siptrunk
