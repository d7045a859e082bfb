// The registrar's two flood bounds.
//
// FloodGuard counts, per window (the time the stack keeps an answered
// transaction, timer J):
// - the REGISTERs fully handled (Admit): beyond them a cheap 503 with
//   Retry-After, no digest work, no confirmation;
// - the requests the stack may have taken in (Take): it keeps about 10.6 KB
//   for each until its timer J, answered or not, so their number bounds the
//   stack's memory. At the bound the intake stops (IntakeGate) until some of
//   them leave the window.
//
// IntakeGate stops requests before the stack reads them: a socket filter on
// the stack's UDP sockets drops every datagram that is not a SIP response
// (responses to our own registrations still pass), so no transaction is made
// for them. The kernel's receive buffer, already bounded, holds the few that
// arrived before the filter.
//
// Both are owned and used by the event-loop thread only; no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <utility>
#include <vector>

namespace siptrunk {
namespace ua {

class FloodGuard {
 public:
  FloodGuard(uint32_t maxPerWindow, uint32_t maxHeld, uint32_t windowMs)
      : m_max(maxPerWindow), m_maxHeld(maxHeld), m_windowMs(windowMs) {}

  // True when one more request may be handled at `nowMs` (steady clock).
  bool Admit(uint64_t nowMs) {
    while (!m_times.empty() && m_times.front() + m_windowMs <= nowMs) m_times.pop_front();
    if (m_times.size() >= m_max) return false;
    m_times.push_back(nowMs);
    return true;
  }
  // Seconds until a slot frees (for Retry-After), at least 1.
  uint32_t SecondsUntilFree(uint64_t nowMs) const {
    if (m_times.empty()) return 1;
    const uint64_t free = m_times.front() + m_windowMs;
    return free <= nowMs ? 1 : static_cast<uint32_t>((free - nowMs + 999) / 1000);
  }

  // Counts `requests` that the stack may take in from `nowMs` on; true while
  // the ones counted within the window reach the bound (the intake must stop).
  bool Take(uint64_t nowMs, uint32_t requests) {
    while (!m_taken.empty() && m_taken.front().first + m_windowMs <= nowMs) {
      m_held -= m_taken.front().second;
      m_taken.pop_front();
    }
    if (requests > 0) {
      if (!m_taken.empty() && m_taken.back().first == nowMs) {
        m_taken.back().second += requests;
      } else {
        m_taken.emplace_back(nowMs, requests);
      }
      m_held += requests;
    }
    return m_held >= m_maxHeld;
  }
  uint64_t Held() const { return m_held; }

 private:
  uint32_t m_max;
  uint32_t m_maxHeld;
  uint32_t m_windowMs;
  std::deque<uint64_t> m_times;
  std::deque<std::pair<uint64_t, uint32_t>> m_taken;  // (ms, requests), oldest first
  uint64_t m_held = 0;
};

class IntakeGate {
 public:
  IntakeGate() = default;
  ~IntakeGate() { Open(); }
  IntakeGate(const IntakeGate&) = delete;
  IntakeGate& operator=(const IntakeGate&) = delete;

  // The datagram sockets (IPv4/IPv6) this process has open now.
  static std::set<int> DatagramSockets();
  // Gates these sockets from now on.
  void Add(const std::set<int>& sockets) { m_sockets.insert(m_sockets.end(), sockets.begin(), sockets.end()); }
  const std::vector<int>& SocketList() const { return m_sockets; }

  // Drops incoming SIP requests on every gated socket; false if the kernel
  // refused the filter on one of them (errno set).
  bool Close();
  // Lets everything in again.
  void Open();
  bool IsClosed() const { return m_closed; }

 private:
  std::vector<int> m_sockets;
  bool m_closed = false;
};

}  // namespace ua
}  // namespace siptrunk
