// The agent's side of the user-agent link (ua.sock, SOCK_SEQPACKET).
//
// Threads and locks:
//   - The listen thread (the one calling ProcessMessageFromQueue) owns the
//     listening socket, the receive buffer, and is the only thread that opens,
//     replaces or closes the connection. It calls every callback, never while
//     holding sendMutex.
//   - Senders (SetUsersList, ChangeUserParams; any thread) and the listen
//     thread's HELLO answer serialise on sendMutex. It also guards `conn`,
//     `helloDone` and `broken` against the listen thread closing or replacing
//     the connection mid-send: the listen thread writes them only under the
//     lock (and, being their only writer, may read them without it).
//   - A send never waits more than kSendTimeout and never calls back. When it
//     cannot complete it shuts the connection down; the listen thread then sees
//     the end and reports it on its own thread.
#include "platform/sip_trunk_messenger.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/diag.h"
#include "platform/link_codec.h"
#include "platform/paths.h"
#include "platform/unix_socket_binding.h"

namespace {

constexpr int kPassWaitMs = 200;
constexpr int kMaxPacketsPerPass = 256;
constexpr int kMaxAcceptsPerPass = 16;
constexpr auto kSendTimeout = std::chrono::seconds(2);
// Room for the largest list in the socket: a few thousand accounts fit easily.
constexpr int kSendBufferBytes = static_cast<int>(siptrunk::kMaxUaPacketOut);
constexpr const char kLink[] = "user-agent link";

const char* TypeName(siptrunk::UaMessageType type) {
  switch (type) {
    case siptrunk::UaMessageType::kHello: return "HELLO";
    case siptrunk::UaMessageType::kRequestUsersList: return "REQUEST_USERS_LIST";
    case siptrunk::UaMessageType::kConfirmUserState: return "CONFIRM_USER_STATE";
    case siptrunk::UaMessageType::kSetUsersList: return "SET_USERS_LIST";
    case siptrunk::UaMessageType::kChangeUserParams: return "CHANGE_USER_PARAMS";
  }
  return "?";
}

void EnlargeSendBuffer(int fd) {
  const int bytes = kSendBufferBytes;
  // SO_SNDBUFFORCE passes the system's limit but needs CAP_NET_ADMIN.
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) == 0) return;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

}  // namespace

struct CSIPTrunkMessenger::Impl {
  explicit Impl(CSIPTrunkMessenger& owner)
      : self(owner), binding(SOCK_SEQPACKET, kLink), rx(siptrunk::kMaxUaPacketIn + 1) {}

  CSIPTrunkMessenger& self;
  siptrunk::UnixSocketBinding binding;  // listen thread
  std::vector<char> rx;                 // listen thread

  std::mutex sendMutex;
  int conn = -1;                        // written under sendMutex by the listen thread only
  std::atomic<bool> helloDone{false};   // written under sendMutex; read anywhere
  bool broken = false;                  // under sendMutex: a send shut the connection down

  // Listen thread.
  void ServeConnection(short revents);
  void AcceptWaiting(int listenFd);
  void HandlePacket(const char* data, size_t len);
  void HandleOversized();
  void EndConnection();
  void RefuseBeforeHello(const char* why);
  void TracePeer();

  // Any thread, with sendMutex held.
  bool SendLocked(const std::string& packet, const char* what);
  void ShutDownLocked();

  // Any thread, without sendMutex.
  bool Send(const siptrunk::UaMessage& message);
};

void CSIPTrunkMessenger::Impl::ShutDownLocked() {
  if (conn >= 0) shutdown(conn, SHUT_RDWR);
  broken = true;
}

bool CSIPTrunkMessenger::Impl::SendLocked(const std::string& packet, const char* what) {
  if (conn < 0 || broken) return false;
  if (packet.size() > siptrunk::kMaxUaPacketOut) {
    siptrunk::Diag("%s: %s of %zu bytes is above the link's limit of %zu bytes; not sent", kLink, what,
                   packet.size(), siptrunk::kMaxUaPacketOut);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + kSendTimeout;
  for (;;) {
    const ssize_t n = send(conn, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      if (static_cast<size_t>(n) == packet.size()) return true;
      // A packet socket sends all or nothing; anything else leaves the peer out of step.
      siptrunk::Diag("%s: %s went out incomplete (%zd of %zu bytes); closing the connection", kLink, what, n,
                     packet.size());
      ShutDownLocked();
      return false;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        siptrunk::Diag("%s: the user agent has not taken a %s of %zu bytes within %lld s; closing the connection",
                       kLink, what, packet.size(),
                       static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kSendTimeout).count()));
        ShutDownLocked();
        return false;
      }
      pollfd p{conn, POLLOUT, 0};
      poll(&p, 1, static_cast<int>(left.count()) + 1);
      continue;
    }
    if (err == EMSGSIZE) {
      siptrunk::Diag("%s: %s of %zu bytes does not fit into the socket's send buffer; not sent", kLink, what,
                     packet.size());
      return false;
    }
    if (err == EPIPE || err == ECONNRESET || err == ENOTCONN) {
      // The peer is gone; the listen thread sees the same and reports it.
      broken = true;
      return false;
    }
    siptrunk::Diag("%s: sending %s failed: %s; closing the connection", kLink, what, strerror(err));
    ShutDownLocked();
    return false;
  }
}

bool CSIPTrunkMessenger::Impl::Send(const siptrunk::UaMessage& message) {
  // No one to send to: dropped quietly, this is the normal state before HELLO.
  if (!helloDone.load()) return false;
  std::string packet;
  std::string why;
  if (!siptrunk::EncodeUaMessage(message, &packet, &why)) {
    siptrunk::Diag("%s: %s not sent: %s", kLink, TypeName(message.type), why.c_str());
    return false;
  }
  std::lock_guard<std::mutex> lock(sendMutex);
  if (!helloDone.load()) return false;
  return SendLocked(packet, TypeName(message.type));
}

void CSIPTrunkMessenger::Impl::EndConnection() {
  int fd;
  bool wasOnline;
  {
    std::lock_guard<std::mutex> lock(sendMutex);
    fd = conn;
    conn = -1;
    broken = false;
    wasOnline = helloDone.exchange(false);
  }
  if (fd >= 0) close(fd);
  if (wasOnline) {
    const bool connected = false;
    self.OnPartyStateChanged(connected);
  }
}

void CSIPTrunkMessenger::Impl::RefuseBeforeHello(const char* why) {
  siptrunk::Diag("%s: %s; closing the connection", kLink, why);
  EndConnection();
}

void CSIPTrunkMessenger::Impl::HandleOversized() {
  if (!helloDone.load()) {
    RefuseBeforeHello("the first packet is not HELLO (it is longer than the link allows)");
    return;
  }
  siptrunk::Diag("%s: dropped a packet longer than %zu bytes", kLink, siptrunk::kMaxUaPacketIn);
}

void CSIPTrunkMessenger::Impl::HandlePacket(const char* data, size_t len) {
  siptrunk::UaMessage m;
  std::string why;
  const bool decoded = siptrunk::DecodeUaMessage(data, len, &m, &why);

  if (!helloDone.load()) {
    if (!decoded) {
      RefuseBeforeHello(("the first packet is malformed (" + why + ")").c_str());
    } else if (m.type != siptrunk::UaMessageType::kHello) {
      RefuseBeforeHello((std::string("the first packet is ") + TypeName(m.type) + ", not HELLO").c_str());
    } else if (m.version != siptrunk::kUaProtocolVersion) {
      RefuseBeforeHello(("the user agent speaks protocol version " + std::to_string(m.version) +
                         ", this agent only version " + std::to_string(siptrunk::kUaProtocolVersion)).c_str());
    } else {
      siptrunk::UaMessage answer;
      answer.type = siptrunk::UaMessageType::kHello;
      answer.version = siptrunk::kUaProtocolVersion;
      std::string packet;
      siptrunk::EncodeUaMessage(answer, &packet, nullptr);
      bool answered;
      {
        std::lock_guard<std::mutex> lock(sendMutex);
        answered = SendLocked(packet, "HELLO");
        if (answered) helloDone.store(true);
      }
      if (!answered) {
        RefuseBeforeHello("cannot answer HELLO");
        return;
      }
      // This peer receives every account and its password: say who it is,
      // beside the agent's connection line.
      TracePeer();
      const bool connected = true;
      self.OnPartyStateChanged(connected);
    }
    return;
  }

  if (!decoded) {
    siptrunk::Diag("%s: dropped a packet: %s", kLink, why.c_str());
    return;
  }
  switch (m.type) {
    case siptrunk::UaMessageType::kRequestUsersList:
      self.OnSetUsersList();
      return;
    case siptrunk::UaMessageType::kConfirmUserState:
      self.OnConfirmUserState(m.account, m.registered, m.error, m.masterList);
      return;
    case siptrunk::UaMessageType::kHello:
      siptrunk::Diag("%s: dropped a second HELLO on the same connection", kLink);
      return;
    case siptrunk::UaMessageType::kSetUsersList:
    case siptrunk::UaMessageType::kChangeUserParams:
      siptrunk::Diag("%s: dropped %s: only the agent sends it", kLink, TypeName(m.type));
      return;
  }
}

void CSIPTrunkMessenger::Impl::ServeConnection(short revents) {
  if ((revents & POLLNVAL) != 0) {
    EndConnection();
    return;
  }
  for (int i = 0; i < kMaxPacketsPerPass && conn >= 0; ++i) {
    bool cutShort = false;
    const ssize_t n = siptrunk::ReceiveMessage(conn, &rx, &cutShort);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) return;
      if (err != ECONNRESET) siptrunk::Diag("%s: receiving failed: %s; closing the connection", kLink, strerror(err));
      EndConnection();
      return;
    }
    if (n == 0) {
      // Either the end of the connection or an empty packet: only the
      // socket's shutdown state tells them apart.
      pollfd p{conn, POLLRDHUP, 0};
      if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        EndConnection();
        return;
      }
      HandlePacket(rx.data(), 0);
      continue;
    }
    if (cutShort || static_cast<size_t>(n) > siptrunk::kMaxUaPacketIn) {
      HandleOversized();
      continue;
    }
    HandlePacket(rx.data(), static_cast<size_t>(n));
  }
}

void CSIPTrunkMessenger::Impl::AcceptWaiting(int listenFd) {
  for (int i = 0; i < kMaxAcceptsPerPass; ++i) {
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      if (err == EINTR || err == ECONNABORTED) continue;
      if (err != EAGAIN && err != EWOULDBLOCK) {
        siptrunk::Diag("%s: accepting a connection failed: %s", kLink, strerror(err));
      }
      return;
    }
    if (conn >= 0) {
      close(fd);
      siptrunk::Diag("%s: refused a second user agent: one is already connected", kLink);
      continue;
    }
    EnlargeSendBuffer(fd);
    std::lock_guard<std::mutex> lock(sendMutex);
    conn = fd;
    broken = false;
    helloDone.store(false);
  }
}

void CSIPTrunkMessenger::Impl::TracePeer() {
  ucred peer{};
  socklen_t len = sizeof peer;
  if (getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || len != sizeof peer) {
    siptrunk::Diag("%s: the user agent's credentials cannot be read: %s", kLink, strerror(errno));
    return;
  }
  siptrunk::Note("%s: the user agent connected as uid %u, pid %d", kLink, static_cast<unsigned>(peer.uid),
                 static_cast<int>(peer.pid));
}

CSIPTrunkMessenger::CSIPTrunkMessenger() : m_pImpl(new Impl(*this)) {}

CSIPTrunkMessenger::~CSIPTrunkMessenger() {
  int fd;
  {
    std::lock_guard<std::mutex> lock(m_pImpl->sendMutex);
    fd = m_pImpl->conn;
    m_pImpl->conn = -1;
    m_pImpl->helloDone.store(false);
  }
  if (fd >= 0) close(fd);
  delete m_pImpl;  // closes the listening socket and removes ua.sock if still ours
}

// True when the listening socket is up (the pass could look for work).
bool CSIPTrunkMessenger::ProcessMessageFromQueue(int const& waitMode) {
  Impl& d = *m_pImpl;
  const siptrunk::PassDeadline pass(waitMode != 0 ? kPassWaitMs : 0);
  int listenFd = d.binding.Fd();
  if (listenFd < 0) listenFd = d.binding.EnsureBound(siptrunk::UaSocketPath());
  if (listenFd < 0) {
    if (waitMode != 0) poll(nullptr, 0, pass.RemainingMs());  // keep the pass's pace while retrying
    return false;
  }
  for (;;) {
    const int timeoutMs = pass.RemainingMs();
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {d.conn, POLLIN, 0}};
    const nfds_t count = d.conn >= 0 ? 2 : 1;
    if (poll(fds, count, timeoutMs) <= 0) break;
    // The current connection first: a user agent that reconnects at once must
    // find its old connection already closed.
    if (count == 2 && fds[1].revents != 0) {
      d.ServeConnection(fds[1].revents);
      OnPacketsHandled();
    }
    if ((fds[0].revents & POLLIN) != 0) d.AcceptWaiting(listenFd);
    if (timeoutMs == 0) break;
  }
  return true;
}

bool CSIPTrunkMessenger::IsPartyOnline() { return m_pImpl->helloDone.load(); }

bool CSIPTrunkMessenger::OnSetUsersList() { return true; }

bool CSIPTrunkMessenger::OnChangeUserParams(CallParams const&, CallParams const&, bool) { return false; }

bool CSIPTrunkMessenger::OnConfirmUserState(CallParams const&, bool, unsigned int, bool) { return true; }

void CSIPTrunkMessenger::OnPacketsHandled() {}

bool CSIPTrunkMessenger::OnPartyStateChanged(bool const&) { return true; }

bool CSIPTrunkMessenger::SetUsersList(std::list<CallParams> const& list, bool active, bool masterList) {
  if (!m_pImpl->helloDone.load()) return false;
  siptrunk::UaMessage m;
  m.type = siptrunk::UaMessageType::kSetUsersList;
  m.active = active;
  m.masterList = masterList;
  m.list.assign(list.begin(), list.end());
  return m_pImpl->Send(m);
}

bool CSIPTrunkMessenger::ChangeUserParams(CallParams const& oldParams, CallParams const& newParams, bool masterList) {
  siptrunk::UaMessage m;
  m.type = siptrunk::UaMessageType::kChangeUserParams;
  m.masterList = masterList;
  m.oldParams = oldParams;
  m.newParams = newParams;
  return m_pImpl->Send(m);
}
