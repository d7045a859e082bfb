#include "ua/agent_link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace siptrunk {
namespace ua {

namespace {
constexpr int kPacketsPerWakeup = 256;  // then the loop serves the SIP stack again
constexpr size_t kSmallPacket = 64 * 1024;  // the buffer kept between packets
}

AgentLink::AgentLink(su_root_t* root, std::string path, const BackoffPolicy& reconnect, AgentLinkHandler* handler,
                     CSIPTrunkLogger* log)
    : m_root(root), m_path(std::move(path)), m_policy(reconnect), m_handler(handler), m_log(log),
      m_random(std::random_device{}()) {
  std::memset(m_wait, 0, sizeof m_wait);
}

AgentLink::~AgentLink() {
  if (m_index >= 0) su_root_deregister(m_root, m_index);  // also destroys m_wait
  if (m_fd >= 0) close(m_fd);
  if (m_timer) su_timer_destroy(m_timer);
}

void AgentLink::Start() {
  m_timer = su_timer_create(su_root_task(m_root), 0);
  TryConnect();
}

void AgentLink::ScheduleReconnect() {
  ++m_failures;
  std::uniform_real_distribution<double> draw(0.0, 1.0);
  const uint32_t delay = BackoffDelayMs(m_policy, m_failures, draw(m_random), false, 0);
  if (m_timer) su_timer_set_interval(m_timer, &AgentLink::OnTimer, this, delay);
}

void AgentLink::OnTimer(su_root_magic_t*, su_timer_t*, su_timer_arg_t* arg) {
  static_cast<AgentLink*>(arg)->TryConnect();
}

void AgentLink::TryConnect() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (m_path.size() >= sizeof address.sun_path) {
    m_log->TRACE(0, "ERROR: UA: socket path too long: %s\n", m_path.c_str());
    return;
  }
  std::memcpy(address.sun_path, m_path.c_str(), m_path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    m_log->TRACE(0, "ERROR: UA: socket: %s\n", std::strerror(errno));
    ScheduleReconnect();
    return;
  }
  // A local connect completes at once (or fails at once), so it may block.
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (!m_everFailed) {
      m_log->TRACE(2, "WARN: UA: agent not reachable at %s (%s); trying again\n", m_path.c_str(),
                   std::strerror(errno));
    }
    m_everFailed = true;
    close(fd);
    ScheduleReconnect();
    return;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  if (su_wait_create(m_wait, fd, SU_WAIT_IN | SU_WAIT_HUP | SU_WAIT_ERR) != 0 ||
      (m_index = su_root_register(m_root, m_wait, &AgentLink::OnSocket, this, 0)) < 0) {
    m_log->TRACE(0, "ERROR: UA: cannot watch the agent's socket\n");
    m_index = -1;
    close(fd);
    ScheduleReconnect();
    return;
  }
  m_fd = fd;
  m_watchingWrites = false;
  m_everFailed = false;
  std::string packet, why;
  UaMessage hello;
  hello.type = UaMessageType::kHello;
  EncodeUaMessage(hello, &packet, &why);
  if (send(m_fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) Drop("HELLO not sent");
}

void AgentLink::Drop(const char* why) {
  const bool wasUp = m_up;
  m_log->TRACE(2, "WARN: UA: link to the agent ended (%s); reconnecting\n", why);
  if (m_index >= 0) su_root_deregister(m_root, m_index);
  m_index = -1;
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  m_up = false;
  m_queue.clear();
  m_failures = 0;
  ScheduleReconnect();
  if (wasUp) m_handler->OnLinkDown();
}

int AgentLink::OnSocket(su_root_magic_t*, su_wait_t* w, su_wakeup_arg_t* arg) {
  auto* self = static_cast<AgentLink*>(arg);
  const int events = su_wait_events(w, self->m_fd);
  if (events & SU_WAIT_OUT) self->Flush();
  if (self->m_fd >= 0 && (events & (SU_WAIT_IN | SU_WAIT_HUP | SU_WAIT_ERR))) self->ReadPackets();
  return 0;
}

void AgentLink::ReadPackets() {
  // Each packet's length is read first (MSG_PEEK | MSG_TRUNC), so that the
  // buffer fits it: most packets are small and use m_buffer; a whole list may
  // be megabytes and gets a buffer of its own, freed once decoded, so that it
  // does not stay resident for the rest of the process's life.
  if (m_buffer.empty()) m_buffer.resize(kSmallPacket);
  for (int i = 0; i < kPacketsPerWakeup && m_fd >= 0; ++i) {
    const ssize_t size = recv(m_fd, nullptr, 0, MSG_DONTWAIT | MSG_PEEK | MSG_TRUNC);
    std::string large;
    std::string& buffer = size > static_cast<ssize_t>(kSmallPacket) &&
                                  static_cast<size_t>(size) <= kMaxUaPacketOut ? large : m_buffer;
    if (&buffer == &large) large.resize(static_cast<size_t>(size));
    const ssize_t n = size < 0 ? size : recv(m_fd, &buffer[0], buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      Drop(std::strerror(errno));
      return;
    }
    if (n == 0) {
      Drop("closed by the agent");
      return;
    }
    if (static_cast<size_t>(n) > buffer.size()) {
      m_log->TRACE(1, "ERROR: UA: dropped a packet of %zd bytes from the agent (too long)\n", n);
      continue;
    }
    UaMessage message;
    std::string why;
    if (!DecodeUaMessage(buffer.data(), static_cast<size_t>(n), &message, &why)) {
      m_log->TRACE(1, "ERROR: UA: dropped a malformed packet from the agent: %s\n", why.c_str());
      continue;
    }
    if (!m_up) {
      if (message.type != UaMessageType::kHello || message.version != kUaProtocolVersion) {
        Drop("the agent did not answer HELLO 1");
        return;
      }
      m_up = true;
      m_failures = 0;
      m_log->TRACE(3, "INFO: UA: connected to the agent\n");
      UaMessage request;
      request.type = UaMessageType::kRequestUsersList;
      Send(request);
      m_handler->OnLinkUp();
      continue;
    }
    m_handler->OnLinkMessage(message);
  }
}

bool AgentLink::Send(const UaMessage& message) {
  if (!m_up || m_fd < 0) return false;
  std::string packet, why;
  if (!EncodeUaMessage(message, &packet, &why)) {
    m_log->TRACE(1, "ERROR: UA: cannot encode a message for the agent: %s\n", why.c_str());
    return false;
  }
  if (m_queue.empty()) {
    const ssize_t n = send(m_fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
      Drop(std::strerror(errno));
      return false;
    }
  }
  if (m_queue.size() >= kMaxQueued) {
    Drop("the agent does not read its socket");
    return false;
  }
  m_queue.push_back(std::move(packet));
  WatchWrites(true);
  return true;
}

void AgentLink::Flush() {
  while (!m_queue.empty() && m_fd >= 0) {
    const std::string& packet = m_queue.front();
    const ssize_t n = send(m_fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return;
      Drop(std::strerror(errno));
      return;
    }
    m_queue.pop_front();
  }
  WatchWrites(false);
}

void AgentLink::WatchWrites(bool on) {
  if (m_index < 0 || m_watchingWrites == on) return;
  m_watchingWrites = on;
  su_root_eventmask(m_root, m_index, m_fd, SU_WAIT_IN | SU_WAIT_HUP | SU_WAIT_ERR | (on ? SU_WAIT_OUT : 0));
}

}  // namespace ua
}  // namespace siptrunk
