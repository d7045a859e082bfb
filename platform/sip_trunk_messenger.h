// The link to the SIP user agent (agent side).
//
// The agent listens on ua.sock, a Unix SOCK_SEQPACKET socket (mode 0660), and
// serves one user agent at a time; a second connection is closed at once with
// a diagnostic. A connection starts with HELLO (answered, then reported with
// OnPartyStateChanged(true)); REQUEST_USERS_LIST calls OnSetUsersList;
// CONFIRM_USER_STATE calls OnConfirmUserState. A malformed packet is dropped
// with a diagnostic and the connection stays. The end of a connection (close,
// reset, or a send that cannot complete in bounded time) is reported once,
// with OnPartyStateChanged(false).
//
// Threads: ProcessMessageFromQueue and so every callback run on one thread
// (the SIP listen thread). SetUsersList and ChangeUserParams may be called from
// any thread, also concurrently; they serialise on the link's own send lock,
// copy what they send, never block for long, and drop the message while no
// user agent is connected. The link never calls back from a send.
#pragma once

#include <list>

#include "model/call_params.h"

class CSIPTrunkMessenger {
 public:
  CSIPTrunkMessenger();  // opens nothing yet: the socket is bound at the first pass
  virtual ~CSIPTrunkMessenger();
  CSIPTrunkMessenger(const CSIPTrunkMessenger&) = delete;
  CSIPTrunkMessenger& operator=(const CSIPTrunkMessenger&) = delete;

  // One pass: for about 200 ms handles every connection and packet as it
  // arrives and dispatches them. `waitMode` 0 does not wait: it handles only
  // what is waiting already.
  virtual bool ProcessMessageFromQueue(int const& waitMode);

  // A user agent is connected and has said HELLO.
  virtual bool IsPartyOnline();

  // Callbacks, called from ProcessMessageFromQueue. The defaults do nothing.
  virtual bool OnSetUsersList();
  virtual bool OnChangeUserParams(CallParams const& oldParams, CallParams const& newParams, bool masterList);
  virtual bool OnConfirmUserState(CallParams const& account, bool registered, unsigned int error, bool masterList);
  virtual bool OnPartyStateChanged(bool const& connected);
  // After each run of packets read from the connection (all that waited, or
  // the most one pass takes at a time), once their callbacks have returned.
  virtual void OnPacketsHandled();

  // Agent to user agent. True when the message was sent whole.
  bool SetUsersList(std::list<CallParams> const& list, bool active, bool masterList);
  bool ChangeUserParams(CallParams const& oldParams, CallParams const& newParams, bool masterList);

 private:
  struct Impl;
  Impl* m_pImpl;
};
