// The user agent's end of the link to the agent (ua.sock, SOCK_SEQPACKET,
// docs/protocols.md): connect, HELLO 1, REQUEST_USERS_LIST, then packets both
// ways. When the agent is absent or goes away the link tries again with a
// capped back-off, for as long as the process runs.
//
// The socket is registered with the su_root event loop, so the link runs on
// the same single thread as the SIP stack: no locks. Packets to the agent
// that do not fit the socket at once wait in a bounded queue and leave when
// the socket is writable again.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>

#include <sofia-sip/su_wait.h>

#include "platform/link_codec.h"
#include "platform/logger.h"
#include "ua/backoff.h"

namespace siptrunk {
namespace ua {

class AgentLinkHandler {
 public:
  virtual ~AgentLinkHandler() = default;
  virtual void OnLinkUp() = 0;  // HELLO answered; the lists were asked for
  virtual void OnLinkMessage(const UaMessage& message) = 0;
  virtual void OnLinkDown() = 0;
};

class AgentLink {
 public:
  static constexpr size_t kMaxQueued = 20000;  // packets waiting for room in the socket

  AgentLink(su_root_t* root, std::string path, const BackoffPolicy& reconnect, AgentLinkHandler* handler,
            CSIPTrunkLogger* log);
  ~AgentLink();
  AgentLink(const AgentLink&) = delete;
  AgentLink& operator=(const AgentLink&) = delete;

  void Start();
  bool up() const { return m_up; }
  // Sends one message; dropped (false) while the link is not up.
  bool Send(const UaMessage& message);

 private:
  void TryConnect();
  void ScheduleReconnect();
  void Drop(const char* why);
  void ReadPackets();
  void Flush();
  void WatchWrites(bool on);
  static int OnSocket(su_root_magic_t*, su_wait_t* w, su_wakeup_arg_t* arg);
  static void OnTimer(su_root_magic_t*, su_timer_t*, su_timer_arg_t* arg);

  su_root_t* m_root;
  std::string m_path;
  BackoffPolicy m_policy;
  AgentLinkHandler* m_handler;
  CSIPTrunkLogger* m_log;
  std::mt19937 m_random;
  su_timer_t* m_timer = nullptr;
  int m_fd = -1;
  int m_index = -1;         // su_root registration
  su_wait_t m_wait[1];
  bool m_up = false;        // HELLO answered
  bool m_watchingWrites = false;
  uint32_t m_failures = 0;  // connection attempts failed in a row
  bool m_everFailed = false;
  std::deque<std::string> m_queue;
  std::string m_buffer;
};

}  // namespace ua
}  // namespace siptrunk
