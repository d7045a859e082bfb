#include "ua/client.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include <sofia-sip/msg_header.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_tag.h>
#include <sofia-sip/su_tag.h>

#include "ua/sip_outcome.h"

namespace siptrunk {
namespace ua {

namespace {
constexpr uint32_t kLeaveGuardMs = 40000;  // a withdrawn handle waits this long for its un-REGISTER

uint64_t SteadyMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

uint64_t WallSeconds(uint64_t steadyMs, int64_t wallMinusSteadyMs) {
  return steadyMs == 0 ? 0 : static_cast<uint64_t>(static_cast<int64_t>(steadyMs) + wallMinusSteadyMs) / 1000;
}

bool ValidPeer(const CallParams& p) {
  in_addr a;
  if (inet_pton(AF_INET, p.sHostAddr.c_str(), &a) != 1) return false;
  uint32_t port = 0;
  return ParseDecimalU32(p.sHostPort, &port) && port >= 1 && port <= 65535;
}
}  // namespace

std::string AddressOfRecord(const std::string& user, const std::string& addr, const std::string& port) {
  static const char kKeep[] = "-_.!~*'()&=+$,;?/";
  std::string out = "sip:";
  for (unsigned char c : user) {
    if (std::isalnum(c) || std::strchr(kKeep, c)) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out + "@" + addr + ":" + port;
}

std::string QuotedDisplayName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\r' || c == '\n') continue;  // would end the header line
    out += c;
  }
  return out + "\"";
}

struct SlaveClient::Registration {
  enum class State { kIdle, kRegistering, kRegistered, kWaiting, kLeaving };
  SlaveClient* owner = nullptr;
  CallParams account;
  nua_handle_t* nh = nullptr;
  su_timer_t* timer = nullptr;
  State state = State::kIdle;
  uint32_t failures = 0;     // failures in a row, for the back-off
  uint32_t challenges = 0;   // 401/407 answered since the last other answer
  bool confirmed = false;    // something was confirmed already
  bool lastRegistered = false;
  uint32_t lastError = 0;
  // For the status file: the last final answer, steady-clock milliseconds.
  int lastCode = 0;
  std::string lastReason;
  uint64_t expiresMs = 0;
  uint64_t nextAttemptMs = 0;
};

SlaveClient::SlaveClient(nua_t* nua, su_root_t* root, const ClientSettings& settings, ClientConfirmFn confirm,
                         CSIPTrunkLogger* log)
    : m_nua(nua), m_root(root), m_settings(settings), m_confirm(std::move(confirm)), m_log(log),
      m_random(std::random_device{}()) {}

SlaveClient::~SlaveClient() {
  for (auto& reg : m_all) {
    if (reg->timer) su_timer_destroy(reg->timer);
    if (reg->nh) nua_handle_destroy(reg->nh);
  }
}

void SlaveClient::Confirm(Registration* reg, bool registered, uint32_t error, bool always) {
  if (!always && reg->confirmed && reg->lastRegistered == registered && reg->lastError == error) return;
  reg->confirmed = true;
  reg->lastRegistered = registered;
  reg->lastError = error;
  m_confirm(registered, error, reg->account);
}

void SlaveClient::Start(Registration* reg) {
  const CallParams& a = reg->account;
  if (!ValidPeer(a)) {
    m_log->TRACE(1, "ERROR: UA: account \"%s\": master address \"%s\" port \"%s\" unusable; not registering\n",
                 a.sUserName.c_str(), a.sHostAddr.c_str(), a.sHostPort.c_str());
    reg->state = Registration::State::kIdle;
    Confirm(reg, false, kErrTransport);
    return;
  }
  const std::string aor = AddressOfRecord(a.sUserName, a.sHostAddr, a.sHostPort);
  const std::string from = QuotedDisplayName(a.sHostName) + " <" + aor + ">";
  const std::string registrar = "sip:" + a.sHostAddr + ":" + a.sHostPort;
  const std::string expires = std::to_string(m_settings.expires);
  reg->nh = nua_handle(m_nua, reg, SIPTAG_TO_STR(aor.c_str()), SIPTAG_FROM_STR(from.c_str()), TAG_END());
  if (!reg->nh) {
    Fail(reg, kErrOther, 0, "no handle");
    return;
  }
  reg->state = Registration::State::kRegistering;
  reg->challenges = 0;
  m_log->TRACE(3, "INFO: UA: registering \"%s\" at %s\n", a.sUserName.c_str(), registrar.c_str());
  nua_register(reg->nh, NUTAG_REGISTRAR(registrar.c_str()), NUTAG_M_USERNAME(a.sUserName.c_str()),
               SIPTAG_EXPIRES_STR(expires.c_str()), NUTAG_OUTBOUND("no-validate no-natify no-options-keepalive"),
               TAG_END());
}

void SlaveClient::Fail(Registration* reg, uint32_t error, uint32_t retryAfter, const char* why) {
  if (reg->nh) nua_handle_destroy(reg->nh);
  reg->nh = nullptr;
  reg->state = Registration::State::kWaiting;
  ++reg->failures;
  std::uniform_real_distribution<double> draw(0.0, 1.0);
  const uint32_t delay = BackoffDelayMs(m_settings.retry, reg->failures, draw(m_random),
                                        IsCredentialsFailure(static_cast<UaError>(error)), retryAfter);
  reg->expiresMs = 0;
  reg->nextAttemptMs = SteadyMs() + delay;
  m_log->TRACE(2, "WARN: UA: registration of \"%s\" failed (%s, error %u); next try in %u ms\n",
               reg->account.sUserName.c_str(), why, error, delay);
  if (!reg->timer) reg->timer = su_timer_create(su_root_task(m_root), 0);
  if (reg->timer) su_timer_set_interval(reg->timer, &SlaveClient::OnTimer, reg, delay);
  Confirm(reg, false, error);
}

void SlaveClient::OnTimer(su_root_magic_t*, su_timer_t*, su_timer_arg_t* arg) {
  auto* reg = static_cast<Registration*>(arg);
  SlaveClient* self = reg->owner;
  if (reg->state == Registration::State::kWaiting) {
    self->Start(reg);
  } else if (reg->state == Registration::State::kLeaving) {
    self->m_log->TRACE(2, "WARN: UA: no answer to the un-REGISTER of \"%s\"; giving up\n",
                       reg->account.sUserName.c_str());
    self->Forget(reg);
  }
}

void SlaveClient::Forget(Registration* reg) {
  if (reg->timer) su_timer_destroy(reg->timer);
  if (reg->nh) nua_handle_destroy(reg->nh);
  auto it = m_byUser.find(reg->account.sUserName);
  if (it != m_byUser.end() && it->second == reg) m_byUser.erase(it);
  m_all.remove_if([reg](const std::unique_ptr<Registration>& r) { return r.get() == reg; });
}

void SlaveClient::OnResponse(nua_event_t event, int status, const char* phrase, nua_handle_t* nh, void* hmagic,
                             const sip_t* sip, bool fromNetwork) {
  auto* reg = static_cast<Registration*>(hmagic);
  bool known = false;
  for (auto& r : m_all) known = known || r.get() == reg;
  if (!known || reg->nh != nh || status < 200) return;
  const char* text = phrase ? phrase : "";
  if (reg->state != Registration::State::kLeaving && event == nua_r_register) {
    reg->lastCode = status;
    reg->lastReason = text;
  }

  if (reg->state == Registration::State::kLeaving || event == nua_r_unregister) {
    m_log->TRACE(3, "INFO: UA: un-REGISTER of \"%s\": %d %s\n", reg->account.sUserName.c_str(), status, text);
    if (reg->state == Registration::State::kLeaving) Forget(reg);
    return;
  }
  if (status < 300) {
    if (reg->state != Registration::State::kRegistered) {
      m_log->TRACE(3, "INFO: UA: \"%s\" registered at %s:%s\n", reg->account.sUserName.c_str(),
                   reg->account.sHostAddr.c_str(), reg->account.sHostPort.c_str());
    }
    reg->state = Registration::State::kRegistered;
    reg->failures = 0;
    // The time granted: our contact's expires in the answer, else Expires.
    uint64_t granted = sip && sip->sip_expires ? sip->sip_expires->ex_delta : m_settings.expires;
    if (sip && sip->sip_contact && sip->sip_contact->m_expires) {
      granted = std::strtoull(sip->sip_contact->m_expires, nullptr, 10);
    }
    if (granted > 86400) granted = 86400;  // a master's absurd value must not wrap the clock
    reg->expiresMs = SteadyMs() + granted * 1000;
    reg->nextAttemptMs = 0;
    reg->challenges = 0;
    Confirm(reg, true, kErrNone);
    return;
  }
  if ((status == 401 || status == 407) && sip) {
    const msg_auth_t* au = status == 401 ? sip->sip_www_authenticate : sip->sip_proxy_authenticate;
    const char* realm = au ? msg_params_find(au->au_params, "realm=") : nullptr;
    const char* stale = au ? msg_params_find(au->au_params, "stale=") : nullptr;
    const bool isStale = stale && strcasecmp(stale, "true") == 0;
    // One answer per challenge; a second challenge right after ours means the
    // credentials were refused, unless it only says our nonce went stale.
    if (realm && (reg->challenges == 0 || (reg->challenges == 1 && isStale))) {
      ++reg->challenges;
      const std::string auth = std::string("Digest:") + (realm[0] == '"' ? "" : "\"") + realm +
                               (realm[0] == '"' ? "" : "\"") + ":" + reg->account.sUserName + ":" +
                               reg->account.sUserPasswd;
      nua_authenticate(nh, NUTAG_AUTH(auth.c_str()), TAG_END());
      return;
    }
    Fail(reg, kErrCredentials, 0, "credentials refused");
    return;
  }
  const uint32_t retryAfter =
      sip && sip->sip_retry_after ? static_cast<uint32_t>(std::min<sip_time_t>(sip->sip_retry_after->af_delta, 86400))
                                  : 0;
  char why[160];
  std::snprintf(why, sizeof why, "%d %s%s", status, text, fromNetwork ? "" : " (made by the stack: no answer)");
  Fail(reg, ErrorForStatus(status, fromNetwork), retryAfter, why);
}

void SlaveClient::Add(const CallParams& account) {
  if (account.sUserName.empty() || m_byUser.count(account.sUserName)) return;
  m_all.push_back(std::make_unique<Registration>());
  Registration* reg = m_all.back().get();
  reg->owner = this;
  reg->account = account;
  m_byUser[account.sUserName] = reg;
  Start(reg);
}

void SlaveClient::Withdraw(const std::string& user) {
  auto it = m_byUser.find(user);
  if (it == m_byUser.end()) return;
  Registration* reg = it->second;
  m_byUser.erase(it);
  Confirm(reg, false, kErrNone, true);
  if (reg->nh && (reg->state == Registration::State::kRegistered ||
                  reg->state == Registration::State::kRegistering)) {
    reg->state = Registration::State::kLeaving;
    m_log->TRACE(3, "INFO: UA: unregistering \"%s\"\n", user.c_str());
    nua_unregister(reg->nh, TAG_END());
    if (!reg->timer) reg->timer = su_timer_create(su_root_task(m_root), 0);
    if (reg->timer) su_timer_set_interval(reg->timer, &SlaveClient::OnTimer, reg, kLeaveGuardMs);
    return;
  }
  Forget(reg);
}

void SlaveClient::SetList(bool active, const std::vector<CallParams>& accounts) {
  std::map<std::string, CallParams> next;
  if (active) {
    for (const CallParams& p : accounts) {
      if (!p.sUserName.empty()) next[p.sUserName] = p;
    }
  }
  std::vector<std::string> gone;
  for (const auto& kv : m_byUser) {
    auto it = next.find(kv.first);
    if (it == next.end() || it->second != kv.second->account) gone.push_back(kv.first);
  }
  for (const std::string& user : gone) Withdraw(user);
  for (const auto& kv : next) Add(kv.second);
}

void SlaveClient::Change(const CallParams& oldAccount, const CallParams& newAccount) {
  if (!oldAccount.sUserName.empty()) Withdraw(oldAccount.sUserName);
  if (!newAccount.sUserName.empty()) Add(newAccount);
}

std::vector<TrunkStatus> SlaveClient::Status(int64_t wallMinusSteadyMs) const {
  std::vector<TrunkStatus> out;
  for (const auto& kv : m_byUser) {
    const Registration* reg = kv.second;
    TrunkStatus t;
    t.user = reg->account.sUserName;
    t.master = reg->account.sHostAddr + ":" + reg->account.sHostPort;
    t.registered = reg->state == Registration::State::kRegistered;
    t.code = reg->lastCode;
    t.reason = reg->lastReason;
    t.expires = WallSeconds(reg->expiresMs, wallMinusSteadyMs);
    t.nextAttempt = WallSeconds(reg->nextAttemptMs, wallMinusSteadyMs);
    out.push_back(std::move(t));
  }
  return out;
}

void SlaveClient::ReportAll() {
  for (auto& kv : m_byUser) {
    Registration* reg = kv.second;
    if (reg->confirmed) Confirm(reg, reg->lastRegistered, reg->lastError, true);
  }
}

}  // namespace ua
}  // namespace siptrunk
