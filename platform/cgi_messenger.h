// The link to the settings CGI (agent side), message queue 117.
//
// CyclicMessageQueue binds cgi-<queue>.sock, a Unix SOCK_DGRAM socket (mode
// 0660). One datagram is one update message: its items, each ended by a NUL
// byte; zero bytes are the empty list; at most kMaxUpdateDatagram bytes and
// kMaxUpdateItems items. A datagram whose last byte is not NUL, that was cut
// short or that holds too many items is rejected with one diagnostic and not
// dispatched. Nothing is sent back.
//
// Threads: ProcessMessageFromQueue and OnUpdateMessage run on one thread (the
// CGI listen thread). SendUpdate is for clients and may run anywhere.
#pragma once

#include <list>
#include <string>

class CyclicMessageQueue {
 public:
  explicit CyclicMessageQueue(int queueId);  // opens nothing yet
  virtual ~CyclicMessageQueue();
  CyclicMessageQueue(const CyclicMessageQueue&) = delete;
  CyclicMessageQueue& operator=(const CyclicMessageQueue&) = delete;

  int QueueId() const { return m_nQueueId; }

  // Client side: sends one update message to queue `queueId`. False with
  // *error (for instance: no agent is listening, permission denied).
  static bool SendUpdate(int queueId, std::list<std::string> const& items, std::string* error);

 protected:
  // One pass: for about 200 ms (waitMode != 0; 0: no waiting) takes every
  // datagram off the socket as it arrives. Each well-formed one is passed to
  // handler(items, context). Returns the number dispatched.
  using ItemsHandler = void (*)(std::list<std::string> const& items, void* context);
  int ReceiveWaiting(int waitMode, ItemsHandler handler, void* context);

 private:
  int TakeWaiting(int fd, ItemsHandler handler, void* context);

  int m_nQueueId;
  struct Impl;
  Impl* m_pImpl;
};

class CGIMessenger : public CyclicMessageQueue {
 public:
  explicit CGIMessenger(int queueId);
  ~CGIMessenger() override;

  // One pass of the listen loop: see ReceiveWaiting. Every update message is
  // handed to OnUpdateMessage on the calling thread.
  bool ProcessMessageFromQueue(int waitMode);

  // One update message. The default does nothing and returns false.
  virtual bool OnUpdateMessage(int queueId, std::list<std::string> const& items);
};
