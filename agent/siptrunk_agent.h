// CSIPTrunkAgent: the one object of the daemon.
//
// It is at once the link to the SIP user agent (CSIPTrunkMessenger) and the
// link to the settings CGI (CGIMessenger, queue 117). It owns the trace
// logger, the store client, the LAN-traffic regulator handle and three tables,
// and runs two listen threads that carry all of its work:
//   - the SIP listen thread runs every user-agent callback (connection state,
//     list loads, registration confirmations);
//   - the CGI listen thread runs every settings update message.
// The member functions live in the folder of their role: agent/ (life cycle,
// the update-message dispatcher, the user agent's connection and list
// pushes), master/ (SIP trunks, the master list, registered slaves, slaves'
// registrations on this device, the regulator), slave/ (trunks towards
// masters, the slave list, this device's registrations on masters).
//
// Lock rules (every Part of the agent keeps them):
//   - each table is read and written only under its own ThreadMutex;
//   - no thread holds two table locks at once;
//   - the store and the regulator may be called with a table lock held; the
//     user-agent link (SetUsersList, ChangeUserParams) and the event manager
//     never are;
//   - the four flags are atomic and shared without a lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "platform/arpnl.h"
#include "platform/cgi_messenger.h"
#include "platform/route_helper.h"
#include "platform/sip_trunk_messenger.h"
#include "platform/thread.h"
#include "model/call_params.h"
#include "model/records.h"

class CSIPTrunkConfig;
class CSIPTrunkLogger;

// The settings CGI's update message types (item 0 of an update message).
enum UpdateMessageType : unsigned int {
  UPD_ACTIVATE_MASTER = 0,
  UPD_DEACTIVATE_MASTER = 1,
  UPD_ACTIVATE_SLAVE = 2,
  UPD_DEACTIVATE_SLAVE = 3,
  UPD_ADD_SIP_TRUNK = 4,
  UPD_EDIT_SIP_TRUNK = 5,
  UPD_DELETE_SIP_TRUNKS = 6,
  UPD_TRUNK_TO_MASTER_STATE = 7,
  UPD_EDIT_TRUNK_TO_MASTER = 8,
  UPD_DELETE_TRUNKS_TO_MASTER = 9,
  UPD_STOP_AGENT = 10,
};

class CSIPTrunkAgent : public CSIPTrunkMessenger, public CGIMessenger {
 public:
  static constexpr int kCgiQueueId = 117;
  static constexpr const char* kTraceLogName = "siptrunk-agent.log";

  // Creates the logger and the store client; opens nothing and starts no
  // thread (the regulator handle stays null until Start has opened it).
  CSIPTrunkAgent();
  // The teardown: stops both listen threads and releases everything. Must not
  // run on a listen thread (it waits for both without a time limit).
  ~CSIPTrunkAgent() override;
  CSIPTrunkAgent(const CSIPTrunkAgent&) = delete;
  CSIPTrunkAgent& operator=(const CSIPTrunkAgent&) = delete;

  // Opens the regulator, begins both listen threads and returns once the SIP
  // user agent has connected. Called once, on the process entry's thread.
  void Start();

  // The listen loops (thread functions; the argument is the agent).
  static unsigned long SIPListenThread(void* agent);
  static unsigned long CGIListenThread(void* agent);

  // Waits whole seconds (a signal ends the wait early); returns select's result.
  static int WaitSeconds(unsigned long const& seconds);

  // --- user-agent link callbacks (SIP listen thread) -------------------------
  bool OnSetUsersList() override;
  bool OnPartyStateChanged(bool const& connected) override;
  bool OnConfirmUserState(CallParams const& account, bool registered, unsigned int error,
                          bool masterList) override;
  // Makes the store writes of the confirmations just handled durable with
  // one sync (see CSIPTrunkConfig::DeferSlaveSyncOnThisThread).
  void OnPacketsHandled() override;

  // --- settings link callback (CGI listen thread) ----------------------------
  bool OnUpdateMessage(int queueId, std::list<std::string> const& items) override;

  // --- helpers shared by several concerns ------------------------------------
  static char const* RegistrationErrorText(unsigned int const& code);
  static void RaiseNotification(char const* source, char const* kind, char const* text);

 private:
  friend struct AgentTestAccess;  // unit tests look at the tables and flags

  using Users = std::vector<CSIPTrunkBase::STAccessibleUser>;
  using Slaves = std::vector<CSIPTrunkBase::STRegistrationParam>;
  using TrunksToMaster = std::vector<CSIPTrunkBase::STAccessibleSlave>;

  // --- agent/ ---------------------------------------------------------------
  // connection_state.cpp: the per-connection list load
  bool InitUsersLists();
  bool IsMasterDevice();
  bool IsSlaveDevice();
  // update_dispatcher.cpp
  void StopAgent();
  // agent_lifecycle.cpp: ends the wait of the stop message.
  void WaitUntilStopRequested();

  // --- master/ --------------------------------------------------------------
  // master_list.cpp
  void ClearAccessibleUsers();
  void LoadMasterAccessibleUsersList();
  void SetInactiveTrunksToSlaves();
  // sip_trunks.cpp
  void AddSipTrunk(std::string const& trunkName, std::string const& userName, std::string const& password,
                   bool const& symmetricNat);
  void EditSipTrunk(std::string const& oldName, std::string const& newName, std::string const& userName,
                    std::string const& password, bool const& symmetricNat, bool const& onlyNameChanged);
  void DeleteSipTrunk(std::string const& trunkName);
  // slave_registration.cpp: a slave device registering on this master
  void ConfirmSlaveRegistration(CallParams const& account, bool registered, unsigned int error);
  // registered_slaves.cpp (callers hold m_mtxRegisteredSlaves)
  void RegisterSlave(CSIPTrunkBase::STRegistrationParam const& param) REQUIRES(m_mtxRegisteredSlaves);
  void UnregisterSlave(CSIPTrunkBase::STRegistrationParam const& param) REQUIRES(m_mtxRegisteredSlaves);
  // Locks m_mtxRegisteredSlaves again inside its caller's hold (the lock is
  // recursive), which the analysis cannot follow.
  void ChangeSlaveAddress(CSIPTrunkBase::STRegistrationParam const& oldParam,
                          CSIPTrunkBase::STRegistrationParam const& newParam) NO_THREAD_SAFETY_ANALYSIS;
  void DropFirstSlaveOfUser(std::string const& userName);
  // How many entries of the table have this address.
  size_t RegistrationsAt(std::string const& address) const REQUIRES(m_mtxRegisteredSlaves);
  Slaves::iterator RemoveRegisteredSlave(CSIPTrunkBase::STRegistrationParam const& param)
      REQUIRES(m_mtxRegisteredSlaves);
  // The store kept in step with the table after a failed write (a full
  // disk, a lock held too long): NoteSlaveWrite follows each write of a
  // registered slave (`removed`: the key that write took out of the store);
  // after a failure the table is stale in the store until RewriteStaleSlaves
  // writes it whole, at the next write that succeeds, at the next load, or
  // every kSlavesRetrySeconds from the SIP listen thread (RetryStaleSlaves).
  // One trace line when the store falls behind, one when it is in step again.
  static constexpr int kSlavesRetrySeconds = 2;
  void NoteSlaveWrite(CSIPTrunkBase::STRegistrationParam const* removed) REQUIRES(m_mtxRegisteredSlaves);
  void RewriteStaleSlaves(bool force) REQUIRES(m_mtxRegisteredSlaves);
  void RetryStaleSlaves();
  // Appends the stored slaves the table lacks (activation, a connection's
  // load) and admits every registered slave.
  void LoadRegisteredSlaves();
  // lan_regulator.cpp (callers hold m_mtxRegisteredSlaves)
  void RegulateSlaveAddress(char const* address, bool const& add) REQUIRES(m_mtxRegisteredSlaves);
  void AdmitRegisteredSlaves();
  // Admits the address again without a trace line (a refresh of a known
  // registration): brings back an admission lost under the agent.
  void ReadmitSlaveAddress(std::string const& address) REQUIRES(m_mtxRegisteredSlaves);

  // --- slave/ ---------------------------------------------------------------
  // slave_list.cpp
  void ClearTrunksToMaster();
  void RemoveTrunkToMaster(std::string const& trunkName);
  void LoadSlaveAccessibleUsersList();
  void SetInactiveTrunksToMasters();
  // trunks_to_master.cpp
  void SendRegisterToMaster(std::string const& trunkName);
  void SendUnregisterToMaster(std::string const& trunkName);
  void EditTrunkToMaster(std::string const& oldName, std::string const& newName, bool const& paramsChanged);
  void DeleteTrunkToMaster(std::string const& trunkName);
  // registration_on_master.cpp: this device registering on a master
  void ConfirmTrunkToMaster(CallParams const& account, bool registered, unsigned int error);

  // Thread handles: written by Start on the entry's thread, read by the
  // teardown on the teardown thread. Atomic, since nothing else orders the two
  // (the hand-over to the teardown thread happens in a signal handler).
  std::atomic<unsigned long> m_hCGIListenThread;
  std::atomic<unsigned long> m_hSIPListenThread;

  ThreadMutex m_mtxAccessibleUsers;
  ThreadMutex m_mtxRegisteredSlaves;
  ThreadMutex m_mtxTrunksToMaster;

  // Owned; created by the constructor, deleted by the teardown (store client
  // before the logger). Both are thread-safe on their own.
  CSIPTrunkLogger* m_pLogger;
  CSIPTrunkConfig* m_pConfig;

  Users m_vAccessibleUsers GUARDED_BY(m_mtxAccessibleUsers);
  Slaves m_vRegisteredSlaves GUARDED_BY(m_mtxRegisteredSlaves);
  // The store lags behind m_vRegisteredSlaves (see NoteSlaveWrite). Written
  // under m_mtxRegisteredSlaves; atomic so that the SIP listen thread's pass
  // looks at it without the lock.
  std::atomic<bool> m_bSlavesStale{false};
  // While stale: registrations whose removal from the store failed, whether
  // a write succeeded since (rewrite at once) and when to try again.
  Slaves m_vSlavesToForget GUARDED_BY(m_mtxRegisteredSlaves);
  bool m_bSlavesRewriteNow GUARDED_BY(m_mtxRegisteredSlaves) = false;
  std::chrono::steady_clock::time_point m_slavesRetryAt GUARDED_BY(m_mtxRegisteredSlaves);
  TrunksToMaster m_vTrunksToMaster GUARDED_BY(m_mtxTrunksToMaster);

  // Owned. Set by Start once the regulator is open (before the SIP thread
  // begins) and closed by the teardown, both while holding
  // m_mtxRegisteredSlaves; every regulator call is made under that lock too,
  // so the handle never changes under a call. Null: no open regulator.
  ARPNL_HANDLE* m_pArpnlHandle GUARDED_BY(m_mtxRegisteredSlaves);
  // The route lookups of lan_regulator.cpp, on one rtnetlink socket for the
  // agent's life. Used under m_mtxRegisteredSlaves; its own mutex is a leaf.
  RouteHelper m_routeHelper;

  std::atomic<bool> m_bUAConnected{false};
  std::atomic<bool> m_bMasterActive{false};
  std::atomic<bool> m_bSlaveActive{false};
  std::atomic<bool> m_bStopThreads{false};

  // Lets the CGI thread wait for the teardown after the stop message,
  // without polling. m_bStopThreads is set under m_stopMutex.
  std::mutex m_stopMutex;
  std::condition_variable m_stopRequested;
};
