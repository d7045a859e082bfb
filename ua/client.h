// The slave list's registering client: one registration towards its master
// per active account, refreshed by the stack, re-registered with back-off by
// us after a failure (the stack does not retry), unregistered when the agent
// withdraws the account. Each change of outcome is confirmed to the agent.
//
// Owned and used by the event-loop thread only (the stack calls back on the
// same thread); no locks.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <sofia-sip/nua.h>
#include <sofia-sip/su_wait.h>

#include "platform/link_codec.h"
#include "platform/logger.h"
#include "ua/backoff.h"
#include "ua/status_file.h"

namespace siptrunk {
namespace ua {

struct ClientSettings {
  uint32_t expires = 3600;  // asked of the master; the stack refreshes before it ends
  BackoffPolicy retry;
};

// registered, error (0..12), the account as the agent gave it
using ClientConfirmFn = std::function<void(bool registered, uint32_t error, const CallParams& account)>;

class SlaveClient {
 public:
  SlaveClient(nua_t* nua, su_root_t* root, const ClientSettings& settings, ClientConfirmFn confirm,
              CSIPTrunkLogger* log);
  ~SlaveClient();
  SlaveClient(const SlaveClient&) = delete;
  SlaveClient& operator=(const SlaveClient&) = delete;

  void SetList(bool active, const std::vector<CallParams>& accounts);
  void Change(const CallParams& oldAccount, const CallParams& newAccount);
  // Confirms every known outcome again (after the link to the agent came back).
  void ReportAll();
  // What each active registration last saw; times turned into wall-clock
  // seconds with `wallMinusSteadyMs`.
  std::vector<TrunkStatus> Status(int64_t wallMinusSteadyMs) const;

  // A response to one of our REGISTERs; hmagic is the handle's magic;
  // fromNetwork is false for a response the stack made itself.
  void OnResponse(nua_event_t event, int status, const char* phrase, nua_handle_t* nh, void* hmagic,
                  const sip_t* sip, bool fromNetwork);

  // Public for the timer trampoline; holds one account's registration.
  struct Registration;

 private:
  void Start(Registration* reg);
  void Fail(Registration* reg, uint32_t error, uint32_t retryAfter, const char* why);
  void Withdraw(const std::string& user);
  void Add(const CallParams& account);
  void Confirm(Registration* reg, bool registered, uint32_t error, bool always = false);
  void Forget(Registration* reg);
  static void OnTimer(su_root_magic_t*, su_timer_t*, su_timer_arg_t* arg);

  nua_t* m_nua;
  su_root_t* m_root;
  ClientSettings m_settings;
  ClientConfirmFn m_confirm;
  CSIPTrunkLogger* m_log;
  std::mt19937 m_random;
  std::list<std::unique_ptr<Registration>> m_all;  // stable addresses: they are handle magic
  std::map<std::string, Registration*> m_byUser;   // the active ones
};

// "sip:user@addr:port" with the user part escaped as RFC 3261 asks.
std::string AddressOfRecord(const std::string& user, const std::string& addr, const std::string& port);
// A display name as a quoted string (quotes and backslashes escaped).
std::string QuotedDisplayName(const std::string& name);

}  // namespace ua
}  // namespace siptrunk
