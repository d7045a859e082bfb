// The event-manager client: one notification each.
//
// Register() names the source and kind (non-zero: accepted). Raise() sends the
// text to syslog (facility daemon; kind "Registration failure" as a warning,
// others as notices) and, when a listener has bound eventman.sock, as one
// datagram (source, kind, text; see link_codec.h). Sending never blocks: a
// syslog reader or a listener that cannot take a notification loses it. One object per notification; thread-safe
// in that objects on different threads share nothing.
#pragma once

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

 private:
  std::string m_sSource;
  std::string m_sKind;
  bool m_bRegistered = false;
};
