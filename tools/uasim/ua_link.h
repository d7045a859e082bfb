// The user agent's end of the user-agent link: a Unix SOCK_SEQPACKET
// connection to the agent's ua.sock, one packet per message.
//
// Owned and used by the one thread of siptrunk-uasim; not thread-safe.
#pragma once

#include <string>
#include <vector>

namespace siptrunk {
namespace uasim {

class UaLink {
 public:
  UaLink() = default;
  ~UaLink() { Close(); }
  UaLink(const UaLink&) = delete;
  UaLink& operator=(const UaLink&) = delete;

  enum class ConnectResult { kConnected, kNotYet, kFailed };
  // kNotYet: nobody listens on `path` yet (worth trying again); kFailed:
  // anything else, with *error.
  ConnectResult Connect(const std::string& path, std::string* error);
  void Close();
  bool Connected() const { return m_fd >= 0; }
  int Fd() const { return m_fd; }

  // Sends one packet. False with *error when the link failed.
  bool Send(const std::string& packet, std::string* error);

  enum class ReceiveResult { kPacket, kNothing, kClosed, kFailed, kTooLong };
  // Takes one packet if one is waiting. kClosed: the agent closed the link;
  // kFailed: with *error; kTooLong: the packet was larger than allowed (dropped).
  ReceiveResult Receive(std::string* packet, std::string* error);

 private:
  int m_fd = -1;
  std::vector<char> m_buffer;
};

}  // namespace uasim
}  // namespace siptrunk
