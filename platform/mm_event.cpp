// The event-manager client: syslog, plus one datagram to eventman.sock.
//
// Threads: an object belongs to the thread that made it. The only shared state
// is the rate limit of the channel's diagnostics (atomic).
//
// syslog(3) is not used: it blocks while the log reader's socket is full (a
// reader that stopped reading), and would hold the listen thread that raised
// the notification. The line goes instead as syslog(3) formats it, in one
// datagram to the log socket that never waits; a reader that cannot take it
// loses it.
#include "platform/mm_event.h"

#include <errno.h>
#include <sys/socket.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/diag.h"
#include "platform/link_codec.h"
#include "platform/paths.h"
#include "platform/unix_socket_binding.h"

namespace {

constexpr size_t kMaxNameBytes = 64;
constexpr const char kWarningKind[] = "Registration failure";

// The errno last diagnosed for the event channel (0: none since the last
// delivery), so that a broken listener does not flood the trace.
std::atomic<int> g_lastChannelError{0};

bool ValidName(const char* name) {
  if (name == nullptr) return false;
  const size_t n = strnlen(name, kMaxNameBytes + 1);
  return n > 0 && n <= kMaxNameBytes;
}

void ReportChannelError(int err, const std::string& path) {
  if (g_lastChannelError.exchange(err) == err) return;
  siptrunk::Diag("event channel: cannot deliver to %s: %s", path.c_str(), strerror(err));
}

// One datagram, never waiting. True when a listener got it.
bool SendToChannel(const siptrunk::EventNotice& notice) {
  std::string datagram;
  std::string why;
  if (!siptrunk::EncodeEventNotice(notice, &datagram, &why)) return false;
  const std::string path = siptrunk::EventSocketPath();
  sockaddr_un addr;
  socklen_t addrLen = 0;
  if (!siptrunk::MakeUnixAddress(path, &addr, &addrLen)) {
    ReportChannelError(ENAMETOOLONG, path);
    return false;
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ReportChannelError(errno, path);
    return false;
  }
  const ssize_t n = sendto(fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&addr), addrLen);
  const int err = n < 0 ? errno : 0;
  close(fd);
  if (n >= 0) {
    g_lastChannelError.store(0);
    return true;
  }
  // No listener, or a listener that is busy: syslog has the notification.
  if (err == ENOENT || err == ECONNREFUSED || err == EAGAIN || err == EWOULDBLOCK) return false;
  ReportChannelError(err, path);
  return false;
}

// One datagram to the log socket (facility daemon), never waiting. True when
// the reader took it.
bool SendToSyslog(int severity, const std::string& line) {
  char stamp[32] = "";
  const time_t now = time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) != nullptr) strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
  const std::string datagram = "<" + std::to_string(LOG_DAEMON | severity) + ">" + stamp + " " +
                               program_invocation_short_name + "[" + std::to_string(getpid()) + "]: " + line;
  sockaddr_un addr;
  socklen_t addrLen = 0;
  if (!siptrunk::MakeUnixAddress(_PATH_LOG, &addr, &addrLen)) return false;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t n = sendto(fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&addr), addrLen);
  close(fd);
  return n >= 0;
}

}  // namespace

MMEvent::MMEvent() = default;

MMEvent::~MMEvent() = default;

int MMEvent::Register(const char* source, const char* kind) {
  if (!ValidName(source) || !ValidName(kind)) {
    m_bRegistered = false;
    return 0;
  }
  m_sSource = source;
  m_sKind = kind;
  m_bRegistered = true;
  return 1;
}

int MMEvent::Raise(const char* text, const char* reserved1, const char* reserved2) {
  (void)reserved1;
  (void)reserved2;
  if (!m_bRegistered || text == nullptr) return 0;
  const int severity = m_sKind == kWarningKind ? LOG_WARNING : LOG_NOTICE;
  SendToSyslog(severity, m_sSource + ": " + m_sKind + ": " + text);
  SendToChannel(siptrunk::EventNotice{m_sSource, m_sKind, text});
  return 1;
}
