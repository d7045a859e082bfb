#include "tools/uasim/ua_link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/link_codec.h"

namespace siptrunk {
namespace uasim {

UaLink::ConnectResult UaLink::Connect(const std::string& path, std::string* error) {
  Close();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *error = "socket path too long: " + path;
    return ConnectResult::kFailed;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return ConnectResult::kFailed;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int savedErrno = errno;
    close(fd);
    if (savedErrno == ENOENT || savedErrno == ECONNREFUSED || savedErrno == EAGAIN) {
      return ConnectResult::kNotYet;
    }
    *error = "cannot connect to " + path + ": " + std::strerror(savedErrno);
    return ConnectResult::kFailed;
  }
  m_fd = fd;
  return ConnectResult::kConnected;
}

void UaLink::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

bool UaLink::Send(const std::string& packet, std::string* error) {
  if (m_fd < 0) {
    *error = "not connected";
    return false;
  }
  while (true) {
    const ssize_t n = send(m_fd, packet.data(), packet.size(), MSG_NOSIGNAL);
    if (n >= 0) return true;
    if (errno == EINTR) continue;
    *error = std::string("send: ") + std::strerror(errno);
    return false;
  }
}

UaLink::ReceiveResult UaLink::Receive(std::string* packet, std::string* error) {
  if (m_fd < 0) return ReceiveResult::kClosed;
  if (m_buffer.empty()) m_buffer.resize(kMaxUaPacketOut + 1);
  const ssize_t n = recv(m_fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ReceiveResult::kNothing;
    if (errno == ECONNRESET) return ReceiveResult::kClosed;
    *error = std::string("receive: ") + std::strerror(errno);
    return ReceiveResult::kFailed;
  }
  // On a SOCK_SEQPACKET socket a read of zero bytes is the end of the
  // connection (the agent never sends an empty packet).
  if (n == 0) return ReceiveResult::kClosed;
  if (static_cast<size_t>(n) > kMaxUaPacketOut) return ReceiveResult::kTooLong;
  packet->assign(m_buffer.data(), static_cast<size_t>(n));
  return ReceiveResult::kPacket;
}

}  // namespace uasim
}  // namespace siptrunk
