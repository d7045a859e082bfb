// The configuration store client the agent uses (SQLite, see store_schema.h).
//
// Every write is one transaction; the store is opened in WAL mode with full
// durability, so a committed row survives a crash or a power cut. The settings
// client (siptrunkctl) writes the same file concurrently; a busy timeout covers
// its short transactions. A store failure (missing or read-only file, a lock
// held too long, a full disk, a file that is not a database) is traced through
// the logger and reported as a false/empty result; nothing is thrown. After a
// failure the database is opened again at the next operation, so the client
// recovers once the fault clears.
//
// Thread-safe: each operation runs under the client's own lock. It takes no
// lock of the agent's and calls nothing back, so the agent may call it while
// holding a table lock.
#pragma once

#include <string>
#include <vector>

#include "model/records.h"

class CSIPTrunkLogger;

class CSIPTrunkConfig {
 public:
  // The logger must outlive the client. Opens nothing yet.
  explicit CSIPTrunkConfig(CSIPTrunkLogger* logger);
  virtual ~CSIPTrunkConfig();
  CSIPTrunkConfig(const CSIPTrunkConfig&) = delete;
  CSIPTrunkConfig& operator=(const CSIPTrunkConfig&) = delete;

  // Role switches. Leaves both false when the store cannot be read.
  bool GetSIPTrunkAgentStates(CSIPTrunkBase::STAgentStates& states);

  // Appends each stored registered slave that is not yet in `slaves` (same
  // user, address and port), in registration order. Entries already in the
  // table stay as they are, so a reconnection does not duplicate them.
  bool InitRegisterSlaveList(std::vector<CSIPTrunkBase::STRegistrationParam>& slaves);

  // Appends the master's SIP trunks, in order.
  bool GetMasterAccesibleUsersList(std::vector<CSIPTrunkBase::STAccessibleUser>& users);

  // Appends the trunks towards masters that are enabled (should be
  // registered), in order: bActive from the stored registration state,
  // nLastError 0, bNotifySuccess false (a restart announces no success; the
  // first failure and the recovery after it are announced).
  bool GetSlaveAccesibleUsersList(std::vector<CSIPTrunkBase::STAccessibleSlave>& trunks);

  // The registration target of trunk `name`. forRegister true: the configured
  // parameters, but only while the trunk is enabled. forRegister false (to
  // withdraw): the parameters last handed to the user agent (see
  // ChangeTrunkToMasterConfig), else the configured ones. A trunk that is not
  // found leaves every field empty.
  bool GetTrunkToMasterParams(const std::string& name, CSIPTrunkBase::STRegistrationFields& fields,
                              const bool& forRegister);

  // 1 when trunk `name` is enabled, 0 when it is disabled, missing or unreadable.
  int GetStateOfTrunkToMaster(const std::string& name);

  // Notes that the trunk's configured parameters now go to the user agent.
  bool ChangeTrunkToMasterConfig(const std::string& name);

  bool SetTrunkToMasterActiveState(const std::string& name);    // registered now
  bool SetTrunkToMasterInActiveState(const std::string& name);  // not registered

  // Records a registered slave. alreadyRegistered false: a new registration
  // (since = now). true: a repeated registration of a known slave (refreshed;
  // recorded anew when the row was missing).
  bool SetRegisterParam(const CSIPTrunkBase::STRegistrationParam& param, const bool& alreadyRegistered);

  // Forgets the slave (same user, address and port).
  bool SetUnregisterParam(const CSIPTrunkBase::STRegistrationParam& param);

  // Moves the stored registration `from` (same user, address and port) to the
  // address and port of `to`, in one transaction.
  bool ChangeRegisterParam(const CSIPTrunkBase::STRegistrationParam& from,
                           const CSIPTrunkBase::STRegistrationParam& to);

  // Whether the last of the three writes above failed on a store fault (not
  // a missing row, which SetUnregisterParam also answers with false). The
  // agent makes those writes one at a time under its table lock and asks
  // right after each.
  bool LastRegisteredSlaveWriteFailed() const;

  // Brings registered_slaves in step with the agent's table, in one
  // transaction: the rows of `forget` that the table no longer holds go, each
  // entry of `table` is stored with its password, and the stored order
  // follows the table's (rows already in that order keep their place and
  // `since`; from the first one out of order on, rows are written again at
  // the end, keeping `since`). Rows neither in the table nor in `forget`
  // stay. A failure is not traced (the agent retries and traces once).
  bool WriteRegisteredSlaves(const std::vector<CSIPTrunkBase::STRegistrationParam>& table,
                             const std::vector<CSIPTrunkBase::STRegistrationParam>& forget);

  // Group commit of a burst of registrations. After DeferSlaveSyncOnThisThread,
  // the three registered-slave writes above made on the calling thread commit
  // without waiting for the disk (SQLite's synchronous=NORMAL: the commit is
  // in the log, and a killed process loses nothing, but a power cut may lose
  // it); SyncRegisteredSlaves then makes all of them durable with one sync of
  // the log. Every other write, and those writes on other threads, stay
  // durable when they return. SyncRegisteredSlaves does nothing when no such
  // commit waits; false on a store fault, which it reports like a failed
  // registered-slave write (LastRegisteredSlaveWriteFailed).
  void DeferSlaveSyncOnThisThread();
  bool SyncRegisteredSlaves();

 private:
  struct Impl;
  Impl* m_pImpl;
};
