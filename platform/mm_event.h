// The event-manager client: one notification each.
//
// Register() names the source and kind (non-zero: accepted). Raise() hands the
// notification to a sender thread through a queue and returns at once: it
// never blocks its caller. The sender thread, begun at the first notification
// (through Thread::BeginThread: it blocks the termination signals), delivers
// each notification in order to syslog (facility daemon; kind "Registration
// failure" as a warning, others as notices) and, when a listener has bound
// eventman.sock, as one datagram (source, kind, text; see link_codec.h).
//
// It waits for a reader whose queue is full, up to kStallMs for one
// notification. A reader that took nothing for that long is deemed stalled:
// while it stays so, a notification it has no room for is lost at once (no
// further waits), until it takes one again. Notifications raised while
// kQueueLimit are queued are lost too. Each run of losses is counted in one
// trace line ("event channel: notifications lost: ...") once the queue has
// drained. A listener that is not there (no socket, nobody bound) loses
// nothing that is counted: syslog has every notification.
//
// StopSender() ends the sender thread (the agent's teardown, after the listen
// threads): what is still queued gets at most kStallMs more. A later Raise
// begins a new sender thread. One MMEvent object per notification.
#pragma once

#include <cstddef>
#include <string>

class MMEvent {
 public:
  MMEvent();
  ~MMEvent();
  MMEvent(const MMEvent&) = delete;
  MMEvent& operator=(const MMEvent&) = delete;

  // 0 when source or kind is null, empty or too long.
  int Register(const char* source, const char* kind);
  // text: the notification. The two further arguments are unused (pass null).
  // 0 when not registered or the text is null.
  int Raise(const char* text, const char* reserved1, const char* reserved2);

  // Ends the sender thread after delivering the queue (see above).
  static void StopSender();

  static constexpr int kStallMs = 5000;
  static constexpr size_t kQueueLimit = 4096;

 private:
  std::string m_sSource;
  std::string m_sKind;
  bool m_bRegistered = false;
};
