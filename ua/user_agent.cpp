#include "ua/user_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <set>

#include <sofia-sip/msg_addr.h>
#include <sofia-sip/nta_tag.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_tag.h>
#include <sofia-sip/su_tag.h>

#include "platform/paths.h"

namespace siptrunk {
namespace ua {

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}
uint64_t NowSeconds() { return NowMs() / 1000; }
uint64_t WallMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

namespace {
constexpr uint32_t kTickMs = 1000;          // binding expiry is checked this often
constexpr size_t kMaxSipMessage = 16 * 1024; // larger requests are refused by the stack
constexpr uint32_t kShutdownGuardMs = 3000;  // longest wait for the stack's shutdown
constexpr uint64_t kCommitWaitMs = 10;       // longest a change waits for a burst's commit
constexpr size_t kCommitBatch = 256;         // bindings written at the latest in one commit

std::string ListenUrl(const std::string& listen, const std::string& transport) {
  std::string url = "sip:" + listen;
  if (transport == "udp" || transport == "tcp") url += ";transport=" + transport;
  return url;
}
}  // namespace

UserAgent::UserAgent(su_root_t* root, const Options& options, CSIPTrunkLogger* log)
    : m_root(root),
      m_options(options),
      m_log(log),
      m_digest(options.realm, RandomBytes(32), options.nonceLifetime),
      m_flood(options.maxTransactions, options.maxHeld, options.holdMs),
      m_registrar(&m_digest, options.limits,
                  [this](bool registered, const CallParams& account) { return ConfirmMaster(registered, account); }) {}

UserAgent::~UserAgent() {
  if (m_link) Commit();
  su_root_remove_prepoll(m_root);
  // A stopped UA has no view to show; a killed one leaves its last.
  if (!m_statusPath.empty()) unlink(m_statusPath.c_str());
  m_link.reset();
  m_client.reset();
  if (m_tick) su_timer_destroy(m_tick);
  if (m_shutdownGuard) su_timer_destroy(m_shutdownGuard);
  StopWatchingIntake();
  m_gate.Open();
  for (nua_t* nua : m_nuas) nua_destroy(nua);
}

bool UserAgent::Start() {
  // One stack instance per listening address (a stack binds one URL); the
  // first also sends the registrations towards masters. All of them run on
  // this thread's root.
  for (const std::string& listen : m_options.listen) {
    const std::string url = ListenUrl(listen, m_options.transport);
    const std::set<int> before = IntakeGate::DatagramSockets();
    nua_t* nua = nua_create(m_root, &UserAgent::OnNuaEvent, this, NUTAG_URL(url.c_str()), NUTAG_ALLOW("REGISTER"),
                            NTATAG_SIP_T1X64(m_options.holdMs), NTATAG_MAXSIZE(kMaxSipMessage),
                            SIPTAG_USER_AGENT_STR("siptrunk-ua"), TAG_END());
    if (!nua) {
      m_log->TRACE(0, "ERROR: UA: cannot start the SIP stack on %s (address in use or not local?)\n", url.c_str());
      return false;
    }
    m_nuas.push_back(nua);
    // The datagram sockets the stack opened for this address are the ones
    // the intake gate watches over.
    std::set<int> opened;
    for (int fd : IntakeGate::DatagramSockets()) {
      if (!before.count(fd)) opened.insert(fd);
    }
    m_gate.Add(opened);
    m_log->TRACE(3, "INFO: UA: listening on %s (%s)\n", listen.c_str(), m_options.transport.c_str());
  }
  m_nua = m_nuas.front();
  // The bindings of the last run. A failing file is no reason to refuse
  // SIP: the UA runs on without it, and says so.
  const std::string dbPath = (m_options.stateDir.empty() ? StateDirectory() : m_options.stateDir) + "/siptrunk-ua.db";
  std::string storeError;
  if (m_store.Open(dbPath, &storeError)) {
    std::vector<std::string> diagnostics;
    const std::vector<Binding> loaded =
        m_store.Load(WallMs() / 1000, NowSeconds(), m_options.limits.maxExpires, &diagnostics);
    for (const std::string& d : diagnostics) m_log->TRACE(1, "ERROR: UA: %s: %s\n", dbPath.c_str(), d.c_str());
    m_registrar.Restore(loaded);
    m_log->TRACE(3, "INFO: UA: %zu bindings read back from %s\n", loaded.size(), dbPath.c_str());
  } else {
    m_log->TRACE(0, "ERROR: UA: bindings will not survive a restart: %s\n", storeError.c_str());
  }
  WatchIntake();
  su_root_add_prepoll(m_root, &UserAgent::OnPrepoll, reinterpret_cast<su_prepoll_magic_t*>(this));
  ClientSettings cs;
  cs.expires = m_options.clientExpires;
  cs.retry = m_options.retry;
  m_client = std::make_unique<SlaveClient>(
      m_nua, m_root, cs,
      [this](bool registered, uint32_t error, const CallParams& account) { ConfirmSlave(registered, error, account); },
      m_log);
  m_tick = su_timer_create(su_root_task(m_root), kTickMs);
  if (m_tick) su_timer_set_for_ever(m_tick, &UserAgent::OnTick, this);
  BackoffPolicy reconnect;
  reconnect.firstMs = 100;
  reconnect.capMs = m_options.reconnectMaxMs;
  const std::string socketPath = m_options.socketPath.empty() ? UaSocketPath() : m_options.socketPath;
  const size_t slash = socketPath.rfind('/');
  m_statusPath = (slash == std::string::npos ? std::string() : socketPath.substr(0, slash + 1)) + "siptrunk-ua.status";
  m_link = std::make_unique<AgentLink>(m_root, socketPath, reconnect, this, m_log);
  m_link->Start();
  PublishStatus();
  return true;
}

void UserAgent::Shutdown() {
  if (m_shuttingDown) return;
  m_shuttingDown = true;
  m_log->TRACE(3, "INFO: UA: shutting down\n");
  m_running = m_nuas.size();
  // Our copies keep the sockets open: once the stack closes its own, a
  // datagram nobody reads would keep the loop busy.
  StopWatchingIntake();
  for (nua_t* nua : m_nuas) nua_shutdown(nua);
  // The stack waits for its un-REGISTERs; a master that does not answer must
  // not hold the process for long.
  m_shutdownGuard = su_timer_create(su_root_task(m_root), kShutdownGuardMs);
  if (m_shutdownGuard) su_timer_set(m_shutdownGuard, &UserAgent::OnShutdownGuard, this);
}

void UserAgent::OnShutdownGuard(su_root_magic_t*, su_timer_t*, su_timer_arg_t* arg) {
  auto* self = static_cast<UserAgent*>(arg);
  self->m_log->TRACE(2, "WARN: UA: the SIP stack did not finish its shutdown in time; ending anyway\n");
  su_root_break(self->m_root);
}

// The stack reads one datagram each time the event loop finds its UDP socket
// readable. A duplicate of each such socket, registered with the same loop,
// is reported readable in the same turns, so OnDatagram counts the requests
// the stack takes in without reading anything itself.
void UserAgent::WatchIntake() {
  for (int fd : m_gate.SocketList()) {
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    su_wait_t wait[1];
    int index = -1;
    if (copy >= 0 && su_wait_create(wait, copy, SU_WAIT_IN) == 0) {
      index = su_root_register(m_root, wait, &UserAgent::OnDatagram, this, 0);
    }
    if (index < 0) {
      if (copy >= 0) close(copy);
      m_log->TRACE(1, "ERROR: UA: cannot watch a SIP socket; requests on it are not bounded before the stack\n");
      continue;
    }
    m_watchFds.push_back(copy);
    m_watchIndex.push_back(index);
  }
  m_log->TRACE(3, "INFO: UA: at most %u requests taken in per %u ms on %zu UDP sockets\n", m_options.maxHeld,
               m_options.holdMs, m_watchFds.size());
}

void UserAgent::StopWatchingIntake() {
  for (int index : m_watchIndex) su_root_deregister(m_root, index);
  for (int fd : m_watchFds) close(fd);
  m_watchIndex.clear();
  m_watchFds.clear();
}

int UserAgent::OnDatagram(su_root_magic_t*, su_wait_t*, su_wakeup_arg_t* arg) {
  auto* self = static_cast<UserAgent*>(arg);
  // Requests the stack answers itself leave transactions too.
  self->NoteSipActivity();
  self->GateIntake(1);
  return 0;
}

// At the bound the gate closes at once; the datagrams already queued in the
// kernel are still read (and counted). It opens again on the first count or
// tick after enough of them left the window.
void UserAgent::GateIntake(uint32_t arriving) {
  const bool full = m_flood.Take(NowMs(), arriving);
  if (full && !m_gate.IsClosed()) {
    const bool ok = m_gate.Close();
    m_log->TRACE(ok ? 2 : 1, "%s: UA: %llu requests taken in within %u ms; dropping requests until some expire%s\n",
                 ok ? "WARN" : "ERROR", static_cast<unsigned long long>(m_flood.Held()), m_options.holdMs,
                 ok ? "" : " (the kernel refused the socket filter)");
  } else if (!full && m_gate.IsClosed()) {
    m_gate.Open();
    m_log->TRACE(3, "INFO: UA: taking requests in again\n");
  }
}

void UserAgent::OnTick(su_root_magic_t*, su_timer_t*, su_timer_arg_t* arg) {
  auto* self = static_cast<UserAgent*>(arg);
  // Bindings end only while the agent can be told: one that ends while it
  // is away ends when it is back, before the others are confirmed again.
  if (self->m_link->up() && self->m_masterReported) self->m_registrar.ExpireDue(NowSeconds());
  self->GateIntake(0);
  self->PublishStatus();
  self->TrimAfterActivity();
}

void UserAgent::NoteSipActivity() {
  m_lastSipMs = NowMs();
  m_trimDue = true;
}

void UserAgent::TrimAfterActivity() {
  // The stack frees a transaction's memory when its hold ends, so a hold
  // after the last event the burst's memory is free but still in the heap.
  // Trimmed on the first tick past the hold and once more on the next (for
  // the transactions that ended just after the first); a trim walks the
  // heap, well under a millisecond here.
  if (!m_trimDue) return;
  const uint64_t quiet = NowMs() - m_lastSipMs;
  if (quiet < m_options.holdMs) return;
  if (quiet >= m_options.holdMs + kTickMs) m_trimDue = false;
  m_store.ReleaseMemory();
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

// Under load the loop turns once per datagram, so a commit in every turn
// would put one disk sync behind every REGISTER. While more requests wait on
// a UDP socket, the commit waits for them too, for at most kCommitWaitMs after
// the first change it holds or kCommitBatch bindings: one sync then covers a
// burst, and a UA with nothing more to read commits at once.
void UserAgent::OnPrepoll(su_prepoll_magic_t* arg, su_root_t*) {
  auto* self = reinterpret_cast<UserAgent*>(arg);
  const size_t changed = self->m_registrar.bindings().ChangedCount();
  if (changed == 0 && self->m_pending.empty()) return;
  const uint64_t now = NowMs();
  if (self->m_commitDueMs == 0) self->m_commitDueMs = now + kCommitWaitMs;
  if (now < self->m_commitDueMs && changed < kCommitBatch && self->RequestsWaiting()) return;
  self->m_commitDueMs = 0;
  self->Commit();
}

bool UserAgent::RequestsWaiting() const {
  for (int fd : m_watchFds) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) return true;
  }
  return false;
}

void UserAgent::Commit() {
  const std::vector<std::string> changed = m_registrar.bindings().TakeChanged();
  std::string error;
  if (!changed.empty() && m_store.open() &&
      !m_store.Sync(m_registrar.bindings(), changed, WallMs() / 1000, NowSeconds(), &error)) {
    // Memory stays right; the file catches up at the account's next change.
    m_log->TRACE(1, "ERROR: UA: %zu bindings not written: %s\n", changed.size(), error.c_str());
  }
  for (const UaMessage& m : m_pending) m_link->Send(m);
  m_pending.clear();
}

void UserAgent::PublishStatus() {
  const uint64_t wallMs = WallMs(), steadyMs = NowMs();
  const int64_t offsetMs = static_cast<int64_t>(wallMs) - static_cast<int64_t>(steadyMs);
  // Every account with a binding (read back ones too) or an answer.
  std::map<std::string, SlaveStatus> byUser;
  for (const Binding& b : m_registrar.bindings().All()) {
    SlaveStatus& s = byUser[b.user];
    s.address = b.addr;
    s.port = b.port;
    s.device = b.hostName;
    s.expires = b.expiresAt ? static_cast<uint64_t>(static_cast<int64_t>(b.expiresAt * 1000) + offsetMs) / 1000 : 0;
  }
  for (const auto& kv : m_registrar.answers()) {
    SlaveStatus& s = byUser[std::string(kv.first)];
    s.code = kv.second.status;
    s.reason = kv.second.phrase;
  }
  std::vector<SlaveStatus> slaves;
  for (auto& kv : byUser) {
    kv.second.user = kv.first;
    slaves.push_back(std::move(kv.second));
  }
  const std::vector<TrunkStatus> trunks = m_client ? m_client->Status(offsetMs) : std::vector<TrunkStatus>();
  // Rewritten only when something changed (the written time aside).
  const std::string body = FormatStatus(0, trunks, slaves);
  if (body == m_statusWritten) return;
  std::string error;
  if (ReplaceFile(m_statusPath, FormatStatus(wallMs / 1000, trunks, slaves), &error)) {
    m_statusWritten = body;
  } else {
    m_log->TRACE(1, "ERROR: UA: status file not written: %s\n", error.c_str());
  }
}

bool UserAgent::ConfirmMaster(bool registered, const CallParams& account) {
  m_log->TRACE(3, "INFO: UA: confirm master \"%s\" registered=%d error=0 %s:%s (%s)\n", account.sUserName.c_str(),
               registered ? 1 : 0, account.sHostAddr.c_str(), account.sHostPort.c_str(), account.sHostName.c_str());
  UaMessage m;
  m.type = UaMessageType::kConfirmUserState;
  m.registered = registered;
  m.error = 0;
  m.masterList = true;
  m.account = account;
  if (!m_link || !m_link->up()) return false;
  m_pending.push_back(std::move(m));
  return true;
}

void UserAgent::ConfirmSlave(bool registered, uint32_t error, const CallParams& account) {
  m_log->TRACE(3, "INFO: UA: confirm slave \"%s\" registered=%d error=%u %s:%s\n", account.sUserName.c_str(),
               registered ? 1 : 0, error, account.sHostAddr.c_str(), account.sHostPort.c_str());
  UaMessage m;
  m.type = UaMessageType::kConfirmUserState;
  m.registered = registered;
  m.error = error;
  m.masterList = false;
  m.account = account;
  if (m_link) m_link->Send(m);
}

void UserAgent::OnLinkUp() {
  m_masterReported = false;
  m_slaveReported = false;
}

void UserAgent::OnLinkDown() {
  m_log->TRACE(2, "WARN: UA: the agent is gone; bindings and registrations are kept\n");
}

void UserAgent::OnLinkMessage(const UaMessage& message) {
  switch (message.type) {
    case UaMessageType::kSetUsersList:
      m_log->TRACE(3, "INFO: UA: %s list: %zu accounts, %s\n", message.masterList ? "master" : "slave",
                   message.list.size(), message.active ? "active" : "inactive");
      if (message.masterList) {
        m_registrar.SetList(message.active, message.list);
        if (!m_masterReported) {
          // First list of this connection: what ended while the agent was
          // away (or while we were down) is confirmed gone, the rest again.
          m_registrar.ExpireDue(NowSeconds());
          m_registrar.ReportAll();
        }
        m_masterReported = true;
      } else {
        if (!m_slaveReported) m_client->ReportAll();
        m_client->SetList(message.active, message.list);
        m_slaveReported = true;
      }
      break;
    case UaMessageType::kChangeUserParams:
      m_log->TRACE(3, "INFO: UA: %s list: change \"%s\" -> \"%s\"\n", message.masterList ? "master" : "slave",
                   message.oldParams.sUserName.c_str(), message.newParams.sUserName.c_str());
      if (message.masterList) {
        m_registrar.Change(message.oldParams, message.newParams);
      } else {
        m_client->Change(message.oldParams, message.newParams);
      }
      break;
    default:
      m_log->TRACE(1, "ERROR: UA: unexpected message from the agent ignored\n");
      break;
  }
}

void UserAgent::OnIncomingRegister(nua_t* nua, nua_handle_t* nh, const sip_t* sip) {
  const uint64_t nowMs = NowMs();
  if (!m_flood.Admit(nowMs)) {
    // Beyond the bound: a cheap answer, no digest work, no confirmation.
    const std::string after = std::to_string(m_flood.SecondsUntilFree(nowMs));
    if (m_refused++ % 1000 == 0) {
      m_log->TRACE(2, "WARN: UA: too many REGISTERs in %u ms; answering 503 (%llu so far)\n", m_options.holdMs,
                   static_cast<unsigned long long>(m_refused));
    }
    nua_respond(nh, 503, "Service Unavailable", NUTAG_WITH_THIS(nua), SIPTAG_RETRY_AFTER_STR(after.c_str()),
                TAG_END());
    return;
  }
  char addr[INET6_ADDRSTRLEN] = "";
  uint16_t port = 0;
  su_addrinfo_t* ai = msg_addrinfo(nua_current_request(nua));
  if (ai && ai->ai_addr && ai->ai_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
    inet_ntop(AF_INET, &in->sin_addr, addr, sizeof addr);
    port = ntohs(in->sin_port);
  }
  const Answer a = m_registrar.Handle(sip, addr, port, nowMs / 1000);
  m_log->TRACE(a.status < 300 ? 4 : 3, "INFO: UA: REGISTER from %s:%u: %d %s (%s)\n", addr, port, a.status,
               a.phrase, a.why.c_str());
  nua_respond(nh, a.status, a.phrase, NUTAG_WITH_THIS(nua),
              TAG_IF(!a.wwwAuthenticate.empty(), SIPTAG_WWW_AUTHENTICATE_STR(a.wwwAuthenticate.c_str())),
              TAG_IF(!a.minExpires.empty(), SIPTAG_MIN_EXPIRES_STR(a.minExpires.c_str())),
              TAG_IF(!a.contact.empty(), SIPTAG_CONTACT_STR(a.contact.c_str())),
              TAG_IF(!a.retryAfter.empty(), SIPTAG_RETRY_AFTER_STR(a.retryAfter.c_str())), TAG_END());
}

void UserAgent::OnNuaEvent(nua_event_t event, int status, char const* phrase, nua_t* nua, nua_magic_t* magic,
                           nua_handle_t* nh, nua_hmagic_t* hmagic, sip_t const* sip, tagi_t*) {
  auto* self = static_cast<UserAgent*>(magic);
  self->NoteSipActivity();
  switch (event) {
    case nua_i_register:
      self->OnIncomingRegister(nua, nh, sip);
      // Every incoming handle is ours to destroy, or it stays for good.
      nua_handle_destroy(nh);
      break;
    case nua_r_register:
    case nua_r_unregister: {
      // A response that came over the network has the address it came
      // from; one the stack made itself (timeout, transport failure) has none.
      // Saving the event hands it to us: phrase and sip live in it, so it is
      // destroyed only after they were used.
      bool fromNetwork = false;
      nua_saved_event_t saved[1];
      const bool isSaved = nua_save_event(nua, saved) != 0;
      if (isSaved) {
        const nua_event_data_t* data = nua_event_data(saved);
        su_addrinfo_t* ai = data && data->e_msg ? msg_addrinfo(data->e_msg) : nullptr;
        fromNetwork = ai && (ai->ai_family == AF_INET || ai->ai_family == AF_INET6);
      }
      if (self->m_client) self->m_client->OnResponse(event, status, phrase, nh, hmagic, sip, fromNetwork);
      if (isSaved) nua_destroy_event(saved);
      break;
    }
    case nua_r_shutdown:
      // Each instance reports its end once (200, or 500 when its own time ran out).
      if (status >= 200 && self->m_running > 0 && --self->m_running == 0) su_root_break(self->m_root);
      break;
    case nua_r_authenticate:
      if (status >= 300) {
        self->m_log->TRACE(1, "ERROR: UA: the stack could not answer a challenge: %d %s\n", status,
                           phrase ? phrase : "");
      }
      break;
    case nua_i_error:
      self->m_log->TRACE(1, "ERROR: UA: SIP stack: %d %s\n", status, phrase ? phrase : "");
      break;
    case nua_i_invite: case nua_i_refer: case nua_i_publish: case nua_i_info: case nua_i_update:
    case nua_i_message: case nua_i_chat: case nua_i_subscribe: case nua_i_notify: case nua_i_method:
      // The Allow list keeps these away; should one still arrive, it is
      // refused and its handle, which the stack leaves to us, destroyed.
      if (nh && !hmagic) {
        nua_respond(nh, 405, "Method Not Allowed", NUTAG_WITH_THIS(nua), SIPTAG_ALLOW_STR("REGISTER"),
                    TAG_END());
        nua_handle_destroy(nh);
      }
      break;
    default:
      self->m_log->TRACE(5, "DEBUG: UA: event %s %d %s\n", nua_event_name(event), status, phrase ? phrase : "");
      break;
  }
}

}  // namespace ua
}  // namespace siptrunk
