#include "ua/registrar.h"

#include <cstdlib>
#include <cstring>

#include <sofia-sip/msg_header.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/su_alloc.h>
#include <sofia-sip/url.h>

namespace siptrunk {
namespace ua {

namespace {

constexpr size_t kMaxHostName = 255;

// A su_home for the strings of one request, freed on every path out.
struct ScopedHome {
  su_home_t home[1] = {SU_HOME_INIT(home)};
  ~ScopedHome() { su_home_deinit(home); }
};

Answer Simple(int status, const char* phrase, std::string why) {
  Answer a;
  a.status = status;
  a.phrase = phrase;
  a.why = std::move(why);
  return a;
}

// Decimal seconds from a Contact's expires parameter; false when malformed.
bool ParseSeconds(const char* text, uint32_t* out) {
  if (!text || !*text || std::strlen(text) > 10) return false;
  uint64_t v = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  *out = v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
  return true;
}

// The device's name, carried as the From display name (docs/protocols.md).
std::string DeviceName(su_home_t* home, const sip_t* sip) {
  if (!sip->sip_from || !sip->sip_from->a_display) return std::string();
  const char* display = sip->sip_from->a_display;
  std::string name;
  if (display[0] == '"') {
    char* unquoted = msg_unquote_dup(home, display);
    if (unquoted) name = unquoted;
  } else {
    name = display;
  }
  if (name.size() > kMaxHostName) name.resize(kMaxHostName);
  return name;
}

}  // namespace

Registrar::Registrar(DigestAuthority* digest, const RegistrarLimits& limits, ConfirmFn confirm)
    : m_digest(digest), m_limits(limits), m_confirm(std::move(confirm)) {}

Answer Registrar::Challenge(uint64_t now, bool stale, const char* why) {
  Answer a = Simple(401, "Unauthorized", why);
  a.wwwAuthenticate = "Digest realm=\"" + m_digest->realm() + "\", nonce=\"" + m_digest->IssueNonce(now) +
                      "\", algorithm=MD5, qop=\"auth\"" + (stale ? ", stale=true" : "");
  return a;
}

CallParams Registrar::Confirmed(const CallParams& account, const Binding& b) const {
  CallParams p = account;
  p.sHostName = b.hostName;
  p.sHostAddr = b.addr;
  p.sHostPort = std::to_string(b.port);
  return p;
}

Answer Registrar::Handle(const sip_t* sip, const std::string& addr, uint16_t port, uint64_t now) {
  Answer a = Decide(sip, addr, port, now);
  if (sip && sip->sip_to && sip->sip_to->a_url->url_user && m_accounts.count(sip->sip_to->a_url->url_user)) {
    const std::string_view user = sip->sip_to->a_url->url_user;
    auto it = m_answers.find(user);
    if (it == m_answers.end()) it = m_answers.emplace(user, LastAnswer{}).first;  // the key in the pool
    it->second = LastAnswer{a.status, a.phrase};
  }
  return a;
}

Answer Registrar::Decide(const sip_t* sip, const std::string& addr, uint16_t port, uint64_t now) {
  if (!sip || !sip->sip_request || sip->sip_request->rq_method != sip_method_register) {
    return Simple(405, "Method Not Allowed", "not a REGISTER");
  }
  if (!sip->sip_to || !sip->sip_to->a_url->url_user || !*sip->sip_to->a_url->url_user || !sip->sip_from ||
      !sip->sip_call_id || !sip->sip_cseq) {
    return Simple(400, "Bad Request", "REGISTER without To user, From, Call-ID or CSeq");
  }
  ScopedHome scoped;
  su_home_t* home = scoped.home;
  const std::string user = sip->sip_to->a_url->url_user;
  auto account = m_accounts.find(user);
  if (!m_active || account == m_accounts.end()) {
    return Simple(404, "Not Found", "no active account \"" + user + "\"");
  }

  // Credentials for our realm; a request without them is challenged.
  const sip_authorization_t* au = sip->sip_authorization;
  auth_response_t ar;
  bool found = false;
  for (; au; au = au->au_next) {
    std::memset(&ar, 0, sizeof ar);
    ar.ar_size = sizeof ar;
    if (!au->au_scheme || strcasecmp(au->au_scheme, "Digest") != 0) continue;
    // "Digest" with no parameters parses with none at all, and the stack's
    // reader asserts on that: one such request would abort the UA.
    if (!au->au_params || auth_digest_response_get(home, &ar, au->au_params) < 0) continue;
    if (ar.ar_realm && m_digest->realm() == ar.ar_realm) {
      found = true;
      break;
    }
  }
  if (!found) return Challenge(now, false, "no credentials for our realm");
  if (!ar.ar_username || user != ar.ar_username) {
    return Simple(403, "Forbidden", "credentials of another user for \"" + user + "\"");
  }
  url_t* digestUri = ar.ar_uri ? url_make(home, ar.ar_uri) : nullptr;
  if (!digestUri || url_cmp(digestUri, sip->sip_request->rq_url) != 0) {
    return Simple(400, "Bad Request", "digest uri does not name the request URI");
  }
  const DigestResult verdict = m_digest->Verify(ar, account->second.sUserPasswd, "REGISTER", now);
  switch (verdict) {
    case DigestResult::kOk: break;
    case DigestResult::kStale: return Challenge(now, true, "stale nonce");
    case DigestResult::kWrongPassword:
      return Simple(403, "Forbidden", "wrong password for \"" + user + "\"");
    case DigestResult::kMalformed:
      return Simple(400, "Bad Request", "malformed credentials");
    case DigestResult::kWrongRealm:
    case DigestResult::kUnknownNonce:
    case DigestResult::kReplay:
      return Challenge(now, false, DigestResultName(verdict));
  }

  const sip_contact_t* m = sip->sip_contact;
  const uint32_t headerExpires = sip->sip_expires
      ? static_cast<uint32_t>(std::min<sip_time_t>(sip->sip_expires->ex_delta, UINT32_MAX))
      : m_limits.defaultExpires;
  if (!m) {  // a query: report the binding there is
    Answer a = Simple(200, "OK", "query");
    if (const std::optional<Binding> b = m_bindings.Find(user)) {
      a.contact = "<" + b->contact + ">;expires=" + std::to_string(b->expiresAt > now ? b->expiresAt - now : 0);
    }
    return a;
  }
  if (m->m_url->url_type == url_any) {
    if (headerExpires != 0 || m->m_next) return Simple(400, "Bad Request", "Contact: * needs Expires: 0 alone");
    Drop(user);
    return Simple(200, "OK", "all bindings removed");
  }
  uint32_t expires = headerExpires;
  if (m->m_expires && !ParseSeconds(m->m_expires, &expires)) {
    return Simple(400, "Bad Request", "malformed expires parameter");
  }
  if (expires == 0) {
    Drop(user);
    return Simple(200, "OK", "binding removed");
  }
  if (expires < m_limits.minExpires) {
    Answer a = Simple(423, "Interval Too Brief", "expires " + std::to_string(expires) + " too brief");
    a.minExpires = std::to_string(m_limits.minExpires);
    return a;
  }
  if (expires > m_limits.maxExpires) expires = m_limits.maxExpires;

  const char* contactText = url_as_string(home, m->m_url);
  if (!contactText) return Simple(500, "Internal Server Error", "out of memory");
  Binding b;
  b.user = user;
  b.contact = contactText;
  b.hostName = DeviceName(home, sip);
  b.addr = addr;
  b.port = port;
  b.expiresAt = now + expires;
  m_bindings.Upsert(b);
  m_confirm(true, Confirmed(account->second, b));
  Answer a = Simple(200, "OK", "binding of \"" + user + "\" for " + std::to_string(expires) + " s");
  a.contact = "<" + b.contact + ">;expires=" + std::to_string(expires);
  return a;
}

void Registrar::Drop(const std::string& user) {
  const std::optional<Binding> b = m_bindings.Find(user);
  if (!b) return;
  auto account = m_accounts.find(user);
  if (account == m_accounts.end() || m_confirm(false, Confirmed(account->second, *b))) {
    m_bindings.Remove(user);
    return;
  }
  // The agent cannot be told now: the binding stays, ended, and its end is
  // confirmed when the agent is back (ExpireDue).
  Binding ended = *b;
  ended.expiresAt = 0;
  m_bindings.Upsert(ended);
}

void Registrar::SetList(bool active, const std::vector<CallParams>& accounts) {
  std::map<std::string, CallParams> next;
  if (active) {
    for (const CallParams& p : accounts) {
      if (!p.sUserName.empty()) next[p.sUserName] = p;
    }
  }
  for (const auto& kv : m_accounts) {
    auto it = next.find(kv.first);
    if (it == next.end() || it->second.sUserPasswd != kv.second.sUserPasswd) Drop(kv.first);
  }
  // Bindings of accounts the list does not hold (read back after a
  // restart, for a trunk deleted meanwhile) end without a confirmation:
  // there is no account to confirm.
  for (const Binding& b : m_bindings.All()) {
    if (!next.count(b.user) && !m_accounts.count(b.user)) m_bindings.Remove(b.user);
  }
  for (auto it = m_answers.begin(); it != m_answers.end();) {
    it = next.count(std::string(it->first)) ? std::next(it) : m_answers.erase(it);
  }
  m_accounts = std::move(next);
  m_active = active;
}

void Registrar::Change(const CallParams& oldAccount, const CallParams& newAccount) {
  if (!oldAccount.sUserName.empty()) {
    const bool keeps = oldAccount.sUserName == newAccount.sUserName &&
                       oldAccount.sUserPasswd == newAccount.sUserPasswd;
    if (!keeps) {
      Drop(oldAccount.sUserName);
      m_accounts.erase(oldAccount.sUserName);
      auto answer = m_answers.find(std::string_view(oldAccount.sUserName));
      if (answer != m_answers.end()) m_answers.erase(answer);
    }
  }
  if (!newAccount.sUserName.empty()) m_accounts[newAccount.sUserName] = newAccount;
}

void Registrar::ExpireDue(uint64_t now) {
  for (const Binding& b : m_bindings.Due(now)) {
    auto account = m_accounts.find(b.user);
    if (account == m_accounts.end() || m_confirm(false, Confirmed(account->second, b))) m_bindings.Remove(b.user);
  }
}

void Registrar::ReportAll() {
  for (const Binding& b : m_bindings.All()) {
    auto account = m_accounts.find(b.user);
    if (account != m_accounts.end() && b.expiresAt != 0) m_confirm(true, Confirmed(account->second, b));
  }
}

}  // namespace ua
}  // namespace siptrunk
