// The event-manager client: syslog, plus one datagram to eventman.sock.
//
// Threads: Raise runs on any thread and only appends to a bounded queue; one
// sender thread of the client's own delivers the queue (see mm_event.h for
// its bounds). The rate limit of the channel's diagnostics is atomic.
//
// syslog(3) is not used: it blocks while the log reader's socket is full (a
// reader that stopped reading) and would hold the thread that raised the
// notification. The line goes instead as syslog(3) formats it, in one
// datagram to the log socket, from the sender thread, which waits for the
// reader within the same bounds as for the listener.
#include "platform/mm_event.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "platform/diag.h"
#include "platform/link_codec.h"
#include "platform/paths.h"
#include "platform/thread.h"
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

// Where a datagram went.
enum class Outcome { kSent, kNobody, kNoRoom };

// One destination of notifications (the listener, or the syslog reader): a
// datagram socket connected to its path, so that the sender can wait for room
// in the reader's queue (poll POLLOUT). Used by the sender thread only.
class Destination {
 public:
  explicit Destination(bool reportErrors) : m_reportErrors(reportErrors) {}
  ~Destination() { Close(); }
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;

  // Sends one datagram, waiting at most waitMs for room. A reader that is not
  // there (no socket file, or nobody bound to it) is kNobody at once.
  Outcome Send(const std::string& path, const std::string& datagram, int waitMs) {
    const long deadline = MonotonicMs() + waitMs;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!Connect(path)) return Outcome::kNobody;
      for (;;) {
        if (send(m_fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
          if (m_reportErrors) g_lastChannelError.store(0);
          return Outcome::kSent;
        }
        const int err = errno;
        if (err == EINTR) continue;
        if (err != EAGAIN && err != EWOULDBLOCK) {
          // The reader closed (and may have bound again): connect afresh once.
          if (err != ECONNREFUSED && err != ENOTCONN && err != EPIPE && err != ENOENT && m_reportErrors) {
            ReportChannelError(err, path);
          }
          Close();
          break;
        }
        const long left = deadline - MonotonicMs();
        if (left <= 0) return Outcome::kNoRoom;
        pollfd room{m_fd, POLLOUT, 0};
        poll(&room, 1, static_cast<int>(left));
      }
    }
    return Outcome::kNobody;
  }

  void Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }

  // Set after a wait for room ran out; cleared by the next delivery.
  bool stalled = false;
  unsigned long lost = 0;  // since the last report

 private:
  bool Connect(const std::string& path) {
    if (m_fd >= 0 && path == m_path) return true;
    Close();
    sockaddr_un addr;
    socklen_t addrLen = 0;
    if (!siptrunk::MakeUnixAddress(path, &addr, &addrLen)) {
      if (m_reportErrors) ReportChannelError(ENAMETOOLONG, path);
      return false;
    }
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
      if (m_reportErrors) ReportChannelError(errno, path);
      return false;
    }
    if (connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), addrLen) != 0) {
      const int err = errno;
      if (err != ENOENT && err != ECONNREFUSED && m_reportErrors) ReportChannelError(err, path);
      Close();
      return false;
    }
    m_path = path;
    return true;
  }

  static long MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec) * 1000L + now.tv_nsec / 1000000L;
  }

  const bool m_reportErrors;
  int m_fd = -1;
  std::string m_path;
};

// The line as syslog(3) formats it (facility daemon).
std::string SyslogDatagram(int severity, const std::string& line) {
  char stamp[32] = "";
  const time_t now = time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) != nullptr) strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
  return "<" + std::to_string(LOG_DAEMON | severity) + ">" + stamp + " " + program_invocation_short_name + "[" +
         std::to_string(getpid()) + "]: " + line;
}

struct QueuedNotice {
  std::string syslogLine;  // formatted when raised (its time stamp)
  siptrunk::EventNotice notice;
};

// The queue between the raising threads and the sender thread. Raise only
// appends under `mutex` and never waits; the sender thread (begun at the
// first notification through Thread::BeginThread, so it blocks the
// termination signals) delivers in order, to syslog and then to the listener,
// waiting for each reader as stated in mm_event.h.
struct Sender {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<QueuedNotice> queue;  // guarded by mutex
  unsigned long handle = 0;        // guarded by mutex; 0: no sender thread
  bool stopping = false;           // guarded by mutex
  unsigned long overflowLost = 0;  // guarded by mutex
};

// Reachable for the whole run (never destroyed, so that a sender thread still
// running at exit never meets a destroyed mutex).
Sender& TheSender() {
  static Sender* sender = new Sender;
  return *sender;
}

void Deliver(Destination& to, const std::string& path, const std::string& datagram, int waitMs) {
  if (to.stalled) waitMs = 0;
  switch (to.Send(path, datagram, waitMs)) {
    case Outcome::kSent:
      to.stalled = false;
      break;
    case Outcome::kNoRoom:
      to.stalled = true;
      ++to.lost;
      break;
    case Outcome::kNobody:
      break;
  }
}

void ReportLosses(Destination& syslogReader, Destination& listener, unsigned long overflowLost) {
  if (syslogReader.lost + listener.lost + overflowLost == 0) return;
  siptrunk::Diag("event channel: notifications lost: %lu by the listener, %lu by syslog (a reader that took "
                 "nothing for %d ms), %lu past a full queue of %lu\n",
                 listener.lost, syslogReader.lost, MMEvent::kStallMs, overflowLost,
                 static_cast<unsigned long>(MMEvent::kQueueLimit));
  syslogReader.lost = listener.lost = 0;
}

unsigned long SenderThread(void*) {
  Sender& sender = TheSender();
  Destination syslogReader(false);
  Destination listener(true);
  long stopDeadline = -1;
  std::unique_lock<std::mutex> lock(sender.mutex);
  for (;;) {
    sender.wake.wait(lock, [&] { return !sender.queue.empty() || sender.stopping; });
    if (sender.queue.empty()) break;  // stopping, and everything is sent
    QueuedNotice next = std::move(sender.queue.front());
    sender.queue.pop_front();
    int waitMs = MMEvent::kStallMs;
    if (sender.stopping) {
      // At the teardown the readers get what is queued within one stall time.
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long nowMs = static_cast<long>(now.tv_sec) * 1000L + now.tv_nsec / 1000000L;
      if (stopDeadline < 0) stopDeadline = nowMs + MMEvent::kStallMs;
      waitMs = static_cast<int>(stopDeadline > nowMs ? stopDeadline - nowMs : 0);
    }
    lock.unlock();

    Deliver(syslogReader, _PATH_LOG, next.syslogLine, waitMs);
    std::string datagram;
    std::string why;
    if (siptrunk::EncodeEventNotice(next.notice, &datagram, &why)) {
      Deliver(listener, siptrunk::EventSocketPath(), datagram, waitMs);
    }

    lock.lock();
    if (sender.queue.empty()) {
      const unsigned long overflowLost = sender.overflowLost;
      sender.overflowLost = 0;
      lock.unlock();
      ReportLosses(syslogReader, listener, overflowLost);  // one line after a burst
      lock.lock();
    }
  }
  return 0;
}

// Queues one notice; false when there is no sender thread to take it.
bool Enqueue(QueuedNotice notice) {
  Sender& sender = TheSender();
  {
    std::lock_guard<std::mutex> lock(sender.mutex);
    if (sender.handle == 0 && !sender.stopping) sender.handle = Thread::BeginThread(SenderThread, nullptr, 0);
    if (sender.handle == 0 || sender.stopping) return false;
    if (sender.queue.size() >= MMEvent::kQueueLimit) {
      ++sender.overflowLost;
    } else {
      sender.queue.push_back(std::move(notice));
    }
  }
  sender.wake.notify_one();
  return true;
}

// Without a sender thread (it could not begin, or the teardown stopped it):
// each reader gets the notice only if it has room at once.
void SendAtOnce(const QueuedNotice& notice) {
  Destination syslogReader(false);
  Destination listener(true);
  syslogReader.Send(_PATH_LOG, notice.syslogLine, 0);
  std::string datagram;
  std::string why;
  if (siptrunk::EncodeEventNotice(notice.notice, &datagram, &why)) {
    listener.Send(siptrunk::EventSocketPath(), datagram, 0);
  }
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
  QueuedNotice notice{SyslogDatagram(severity, m_sSource + ": " + m_sKind + ": " + text),
                      siptrunk::EventNotice{m_sSource, m_sKind, text}};
  if (!Enqueue(notice)) SendAtOnce(notice);
  return 1;
}

void MMEvent::StopSender() {
  Sender& sender = TheSender();
  unsigned long handle;
  {
    std::lock_guard<std::mutex> lock(sender.mutex);
    handle = sender.handle;
    sender.stopping = true;
  }
  sender.wake.notify_all();
  Thread::WaitForThread(handle, Thread::kInfinite, nullptr);  // a handle of 0 returns at once
  std::lock_guard<std::mutex> lock(sender.mutex);
  sender.handle = 0;
  sender.stopping = false;
}
