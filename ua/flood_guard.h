// Bounds the REGISTER transactions the registrar answers within one window
// (the time the stack keeps an answered transaction, timer J). The stack holds
// about 10 KB per answered transaction until then, so the number admitted per
// window bounds that memory; requests beyond it get a cheap 503.
//
// Owned and used by the event-loop thread only; no locks.
#pragma once

#include <cstdint>
#include <deque>

namespace siptrunk {
namespace ua {

class FloodGuard {
 public:
  FloodGuard(uint32_t maxPerWindow, uint32_t windowMs) : m_max(maxPerWindow), m_windowMs(windowMs) {}

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

 private:
  uint32_t m_max;
  uint32_t m_windowMs;
  std::deque<uint64_t> m_times;
};

}  // namespace ua
}  // namespace siptrunk
