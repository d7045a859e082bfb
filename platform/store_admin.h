// The settings side of the store: what the device's settings CGI (here,
// siptrunkctl) edits, and a read of everything for status displays. Shares the
// schema of store_schema.h with the agent's CSIPTrunkConfig.
//
// Every edit is one transaction (BEGIN IMMEDIATE ... COMMIT). Errors are
// returned as text, nothing is thrown. Not thread-safe: one object per thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace siptrunk {

struct SipTrunkRow {
  std::string name;
  std::string user;
  std::string password;
  bool symmetricNat = false;
};

struct TrunkToMasterRow {
  std::string name;
  std::string user;
  std::string password;
  std::string masterAddr;
  std::string masterPort;
  bool enabled = false;     // should be registered
  bool registered = false;  // the user agent confirmed the registration
};

struct RegisteredSlaveRow {
  std::string user;
  std::string password;
  std::string address;
  std::string port;
  int64_t since = 0;  // seconds since the epoch, UTC
};

struct StoreSnapshot {
  bool masterEnabled = false;
  bool slaveEnabled = false;
  std::vector<SipTrunkRow> sipTrunks;
  std::vector<TrunkToMasterRow> trunksToMaster;
  std::vector<RegisteredSlaveRow> registeredSlaves;
};

class StoreAdmin {
 public:
  // Opens the store at `path`, creating the file and schema when missing
  // (create false: a missing file is an error). nullptr and *error on failure.
  static std::unique_ptr<StoreAdmin> Open(const std::string& path, bool create, std::string* error);
  ~StoreAdmin();

  bool SetMasterEnabled(bool on, std::string* error);
  bool SetSlaveEnabled(bool on, std::string* error);

  // SIP trunk names are unique in the store; an add of an existing name fails.
  bool AddSipTrunk(const SipTrunkRow& row, std::string* error);
  // Renames trunk `oldName` to row.name; unless renameOnly, also sets the
  // user, password and symmetric NAT.
  bool EditSipTrunk(const std::string& oldName, const SipTrunkRow& row, bool renameOnly, std::string* error);
  bool DeleteSipTrunk(const std::string& name, std::string* error);

  bool AddTrunkToMaster(const TrunkToMasterRow& row, std::string* error);
  // Replaces trunk `oldName` by row (name included; enabled and registered are
  // kept). *paramsChanged tells whether user, password, address or port changed.
  bool EditTrunkToMaster(const std::string& oldName, const TrunkToMasterRow& row, bool* paramsChanged,
                         std::string* error);
  bool SetTrunkToMasterEnabled(const std::string& name, bool enabled, std::string* error);
  bool DeleteTrunkToMaster(const std::string& name, std::string* error);

  bool Read(StoreSnapshot* snapshot, std::string* error);

 private:
  struct Impl;
  explicit StoreAdmin(Impl* impl);
  Impl* m_pImpl;
};

}  // namespace siptrunk
