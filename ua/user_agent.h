// siptrunk-ua's core: one sofia-sip NUA instance serving both roles on the
// same ports (registrar for the master list, registering client for the
// slave list), the link to the agent, and the timers.
//
// Threading: everything runs on the one thread that runs the su_root event
// loop. The root is made single-threaded (su_root_threading(root, 0)) before
// the stack is created, so the stack's own work, its callbacks, the agent's
// socket and every timer are served by that thread; no object here is
// touched from anywhere else and no locks are needed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sofia-sip/nua.h>
#include <sofia-sip/su_wait.h>

#include "platform/logger.h"
#include "ua/agent_link.h"
#include "ua/binding_store.h"
#include "ua/client.h"
#include "ua/digest.h"
#include "ua/flood_guard.h"
#include "ua/options.h"
#include "ua/registrar.h"

namespace siptrunk {
namespace ua {

class UserAgent : public AgentLinkHandler {
 public:
  UserAgent(su_root_t* root, const Options& options, CSIPTrunkLogger* log);
  ~UserAgent() override;
  UserAgent(const UserAgent&) = delete;
  UserAgent& operator=(const UserAgent&) = delete;

  // Creates the stack and binds the listening addresses; false on failure.
  bool Start();
  // Shuts the stack down (unregistering towards masters); the loop ends
  // when it is done.
  void Shutdown();

  void OnLinkUp() override;
  void OnLinkMessage(const UaMessage& message) override;
  void OnLinkDown() override;

 private:
  static void OnNuaEvent(nua_event_t event, int status, char const* phrase, nua_t* nua, nua_magic_t* magic,
                         nua_handle_t* nh, nua_hmagic_t* hmagic, sip_t const* sip, tagi_t tags[]);
  static void OnTick(su_root_magic_t*, su_timer_t*, su_timer_arg_t* arg);
  static void OnShutdownGuard(su_root_magic_t*, su_timer_t*, su_timer_arg_t* arg);
  static int OnDatagram(su_root_magic_t*, su_wait_t*, su_wakeup_arg_t* arg);
  void WatchIntake();
  void StopWatchingIntake();
  void GateIntake(uint32_t arriving);
  void OnIncomingRegister(nua_t* nua, nua_handle_t* nh, const sip_t* sip);
  bool ConfirmMaster(bool registered, const CallParams& account);
  static void OnPrepoll(su_prepoll_magic_t* arg, su_root_t*);
  bool RequestsWaiting() const;  // a datagram queued on a stack's UDP socket
  // Writes the bindings changed since the last call in one transaction,
  // then sends the master-list confirmations that waited for it: the agent
  // hears of a binding only once it is on disk.
  void Commit();
  void PublishStatus();
  // After SIP traffic, once the hold window has passed: gives the freed heap
  // back to the kernel (see ua/long_lived.h).
  void TrimAfterActivity();
  void NoteSipActivity();
  void ConfirmSlave(bool registered, uint32_t error, const CallParams& account);

  su_root_t* m_root;
  Options m_options;
  CSIPTrunkLogger* m_log;
  std::vector<nua_t*> m_nuas;  // one per listening address
  nua_t* m_nua = nullptr;      // the first: it also sends our REGISTERs
  size_t m_running = 0;        // instances still shutting down
  su_timer_t* m_tick = nullptr;
  su_timer_t* m_shutdownGuard = nullptr;
  bool m_shuttingDown = false;
  DigestAuthority m_digest;
  FloodGuard m_flood;
  IntakeGate m_gate;              // the stack's UDP sockets
  std::vector<int> m_watchIndex;  // root registrations of the watching copies
  std::vector<int> m_watchFds;    // duplicates of the stack's UDP sockets
  Registrar m_registrar;
  std::unique_ptr<SlaveClient> m_client;
  std::unique_ptr<AgentLink> m_link;
  BindingStore m_store;
  std::vector<UaMessage> m_pending;  // master confirmations waiting for Commit()
  uint64_t m_commitDueMs = 0;        // steady ms by which held changes are committed
  std::string m_statusPath;
  std::string m_statusWritten;       // the status file's text as last written
  bool m_masterReported = false;  // bindings re-confirmed on this connection
  bool m_slaveReported = false;
  uint64_t m_refused = 0;         // 503s for the flood bound, for the log
  uint64_t m_lastSipMs = 0;       // steady ms of the last stack event
  bool m_trimDue = false;         // stack events since the last trim
};

// Seconds and milliseconds of the steady clock; wall-clock milliseconds.
uint64_t NowSeconds();
uint64_t NowMs();
uint64_t WallMs();

}  // namespace ua
}  // namespace siptrunk
