// The settings link (cgi-<queue>.sock, SOCK_DGRAM): the agent's receiving side
// and the clients' SendUpdate.
//
// Threads: the receiving side (ReceiveWaiting, ProcessMessageFromQueue and so
// OnUpdateMessage) belongs to the one thread that polls the queue; it owns the
// socket and the receive buffer, no lock. SendUpdate shares nothing and may run
// on any thread.
#include "platform/cgi_messenger.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/diag.h"
#include "platform/link_codec.h"
#include "platform/paths.h"
#include "platform/unix_socket_binding.h"

namespace {

constexpr int kPassWaitMs = 200;
constexpr int kMaxDatagramsPerPass = 256;
constexpr int kClientSendTimeoutMs = 5000;
constexpr const char kLink[] = "settings link";

bool SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

// Why a client cannot reach the agent, in words for the person running it.
std::string ReachError(int err, const std::string& path) {
  switch (err) {
    case ENOENT:
    case ECONNREFUSED:
      return "no agent is listening on " + path;
    case EACCES:
    case EPERM:
      return "permission denied on " + path;
    case EPROTOTYPE:
      return path + " is not a settings socket (wrong socket type)";
    default:
      return "cannot reach " + path + ": " + strerror(err);
  }
}

// The number of NUL-ended items in data[0..len): its NUL bytes (a last item
// without its NUL is refused later by SplitItems).
size_t CountItems(const char* data, size_t len) {
  size_t count = 0;
  for (size_t i = 0; i < len; ++i) count += data[i] == '\0' ? 1 : 0;
  return count;
}

}  // namespace

struct CyclicMessageQueue::Impl {
  Impl() : binding(SOCK_DGRAM, kLink), rx(siptrunk::kMaxUpdateDatagram + 1) {}
  siptrunk::UnixSocketBinding binding;
  std::vector<char> rx;
};

CyclicMessageQueue::CyclicMessageQueue(int queueId) : m_nQueueId(queueId), m_pImpl(new Impl) {}

CyclicMessageQueue::~CyclicMessageQueue() { delete m_pImpl; }  // closes and removes our socket

int CyclicMessageQueue::ReceiveWaiting(int waitMode, ItemsHandler handler, void* context) {
  const siptrunk::PassDeadline pass(waitMode != 0 ? kPassWaitMs : 0);
  int fd = m_pImpl->binding.Fd();
  if (fd < 0) fd = m_pImpl->binding.EnsureBound(siptrunk::CgiSocketPath(m_nQueueId));
  if (fd < 0) {
    if (waitMode != 0) poll(nullptr, 0, pass.RemainingMs());  // keep the pass's pace while retrying
    return 0;
  }
  int dispatched = 0;
  for (;;) {
    const int timeoutMs = pass.RemainingMs();
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) break;
    dispatched += TakeWaiting(fd, handler, context);
    if (timeoutMs == 0) break;
  }
  return dispatched;
}

// Takes every datagram waiting (at most a pass's worth) and dispatches the
// well-formed ones.
int CyclicMessageQueue::TakeWaiting(int fd, ItemsHandler handler, void* context) {
  std::vector<char>& rx = m_pImpl->rx;
  int dispatched = 0;
  for (int i = 0; i < kMaxDatagramsPerPass; ++i) {
    bool cutShort = false;
    const ssize_t n = siptrunk::ReceiveMessage(fd, &rx, &cutShort);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err != EAGAIN && err != EWOULDBLOCK) siptrunk::Diag("%s: receiving failed: %s", kLink, strerror(err));
      break;
    }
    if (cutShort || static_cast<size_t>(n) > siptrunk::kMaxUpdateDatagram) {
      siptrunk::Diag("%s: dropped an update message longer than %zu bytes", kLink, siptrunk::kMaxUpdateDatagram);
      continue;
    }
    // Counted before any list is built: 64 KiB of bare NULs would be 65536 items.
    const size_t count = CountItems(rx.data(), static_cast<size_t>(n));
    if (count > siptrunk::kMaxUpdateItems) {
      siptrunk::Diag("%s: dropped an update message of %zu items (the limit is %zu)", kLink, count,
                     siptrunk::kMaxUpdateItems);
      continue;
    }
    std::list<std::string> items;
    std::string why;
    // The items are never quoted: they hold passwords.
    if (!siptrunk::SplitItems(rx.data(), static_cast<size_t>(n), &items, &why)) {
      siptrunk::Diag("%s: dropped an update message of %zd bytes: %s", kLink, n, why.c_str());
      continue;
    }
    if (handler != nullptr) handler(items, context);
    ++dispatched;
  }
  return dispatched;
}

bool CyclicMessageQueue::SendUpdate(int queueId, std::list<std::string> const& items, std::string* error) {
  const std::string path = siptrunk::CgiSocketPath(queueId);
  std::string datagram;
  std::string why;
  if (items.size() > siptrunk::kMaxUpdateItems) {
    return SetError(error, "update message of " + std::to_string(items.size()) + " items is longer than the limit of " +
                               std::to_string(siptrunk::kMaxUpdateItems) + " items");
  }
  if (!siptrunk::JoinItems(items, &datagram, &why)) return SetError(error, "update message not sent: " + why);
  if (datagram.size() > siptrunk::kMaxUpdateDatagram) {
    return SetError(error, "update message of " + std::to_string(datagram.size()) +
                               " bytes is larger than the limit of " +
                               std::to_string(siptrunk::kMaxUpdateDatagram) + " bytes");
  }
  sockaddr_un addr;
  socklen_t addrLen = 0;
  if (!siptrunk::MakeUnixAddress(path, &addr, &addrLen)) {
    return SetError(error, "socket path \"" + path + "\" is too long");
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return SetError(error, std::string("cannot create a socket: ") + strerror(errno));

  // Connected, so that poll() can wait for room in the agent's queue.
  bool ok = false;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), addrLen) != 0) {
    SetError(error, ReachError(errno, path));
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientSendTimeoutMs);
    for (;;) {
      if (send(fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
        ok = true;
        break;
      }
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
          SetError(error, "the agent on " + path + " is not taking update messages (its queue stays full)");
          break;
        }
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left.count()) + 1);
        continue;
      }
      if (err == EMSGSIZE) {
        SetError(error, "update message of " + std::to_string(datagram.size()) +
                            " bytes is too large for the socket");
      } else {
        SetError(error, ReachError(err, path));
      }
      break;
    }
  }
  close(fd);
  return ok;
}

CGIMessenger::CGIMessenger(int queueId) : CyclicMessageQueue(queueId) {}

CGIMessenger::~CGIMessenger() = default;

namespace {

void DispatchToMessenger(std::list<std::string> const& items, void* context) {
  CGIMessenger* messenger = static_cast<CGIMessenger*>(context);
  messenger->OnUpdateMessage(messenger->QueueId(), items);
}

}  // namespace

// True when at least one update message was dispatched.
bool CGIMessenger::ProcessMessageFromQueue(int waitMode) {
  return ReceiveWaiting(waitMode, &DispatchToMessenger, this) > 0;
}

bool CGIMessenger::OnUpdateMessage(int, std::list<std::string> const&) { return false; }
