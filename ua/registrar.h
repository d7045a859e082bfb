// The master list's registrar: decides the answer to one incoming REGISTER
// (digest challenge, binding added, refreshed or removed, 423, 404, 403 ...)
// and keeps the bindings in step with the accounts the agent hands over.
//
// Pure SIP logic on parsed messages: the caller (UserAgent) turns an Answer
// into nua_respond, so the same code runs under the fuzzer without a stack.
// Every binding change is reported through the confirmation callback.
//
// Owned and used by the event-loop thread only; no locks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory_resource>
#include <string>
#include <vector>

#include <sofia-sip/sip.h>

#include "platform/link_codec.h"
#include "ua/bindings.h"
#include "ua/digest.h"
#include "ua/long_lived.h"

namespace siptrunk {
namespace ua {

struct RegistrarLimits {
  uint32_t minExpires = 60;      // shorter requests get 423 with Min-Expires
  uint32_t maxExpires = 3600;    // longer ones are shortened to this
  uint32_t defaultExpires = 3600;
};

struct Answer {
  int status = 500;
  // A string literal: the stack sends the answer after the call returns
  // and keeps the phrase pointer until then (header tags it copies).
  const char* phrase = "Internal Server Error";
  std::string wwwAuthenticate;  // header values; empty = header left out
  std::string minExpires;
  std::string contact;
  std::string retryAfter;
  std::string why;              // for the log
};

// registered, the account record as confirmed (device name, address, port
// filled); returns false when the agent cannot be told now (link down).
using ConfirmFn = std::function<bool(bool registered, const CallParams& account)>;

// The last answer given to a REGISTER for one account, for the status file.
struct LastAnswer {
  int status = 0;
  const char* phrase = "";  // a literal, as Answer::phrase
};

class Registrar {
 public:
  Registrar(DigestAuthority* digest, const RegistrarLimits& limits, ConfirmFn confirm);

  // Decides the answer to one REGISTER received from addr:port at `now`
  // (steady seconds), and applies it to the bindings.
  Answer Handle(const sip_t* sip, const std::string& addr, uint16_t port, uint64_t now);

  // The agent's master list: SET_USERS_LIST and CHANGE_USER_PARAMS. Accounts
  // withdrawn or changed lose their binding (confirmed registered=0).
  void SetList(bool active, const std::vector<CallParams>& accounts);
  void Change(const CallParams& oldAccount, const CallParams& newAccount);

  // Ends the bindings whose time is up (confirmed registered=0). A binding
  // whose end the agent could not be told of stays, ended, for the next call.
  void ExpireDue(uint64_t now);
  // Confirms every binding again (after the link to the agent came back).
  void ReportAll();
  // Bindings read back at start; they are confirmed (or ended) once the
  // agent's master list is known.
  void Restore(const std::vector<Binding>& loaded) { m_bindings.Restore(loaded); }

  const Bindings& bindings() const { return m_bindings; }
  Bindings& bindings() { return m_bindings; }
  using Answers = std::pmr::map<std::pmr::string, LastAnswer, std::less<>>;
  const Answers& answers() const { return m_answers; }

 private:
  Answer Decide(const sip_t* sip, const std::string& addr, uint16_t port, uint64_t now);
  Answer Challenge(uint64_t now, bool stale, const char* why);
  void Drop(const std::string& user);
  CallParams Confirmed(const CallParams& account, const Binding& b) const;

  DigestAuthority* m_digest;
  RegistrarLimits m_limits;
  ConfirmFn m_confirm;
  bool m_active = false;
  std::map<std::string, CallParams> m_accounts;  // by sUserName
  Bindings m_bindings;
  LongLivedPool m_pool;  // for m_answers, which is made during a burst and stays
  Answers m_answers{&m_pool};  // by sUserName, accounts of the list only
};

}  // namespace ua
}  // namespace siptrunk
