// Fake of the store client: answers from FakeWorld's scripted rows and
// records each call in the timeline as "store:<Operation> <arguments>".
#include "fakes/fake_world.h"

#include <stdexcept>

#include "platform/siptrunk_config.h"
#include "model/matching.h"

namespace {

using Param = CSIPTrunkBase::STRegistrationParam;

FakeWorld& World() { return FakeWorld::Get(); }

// Records under the world's lock; the caller holds it.
void RecordLocked(const std::string& entry) { World().timeline.push_back("store:" + entry); }

// With storeKeepsSlaves, the stored row of `key` (user, address, port), or end(); the caller holds the lock.
std::vector<Param>::iterator StoredRow(const Param& key) {
  auto& rows = World().storedSlaves;
  for (auto it = rows.begin(); it != rows.end(); ++it) {
    if (SameRegistration(*it, key)) return it;
  }
  return rows.end();
}

// Records a call that only reports success.
bool RecordCall(const std::string& entry) {
  std::lock_guard<std::mutex> lock(World().mutex);
  RecordLocked(entry);
  return true;
}

}  // namespace

struct CSIPTrunkConfig::Impl {};
CSIPTrunkConfig::CSIPTrunkConfig(CSIPTrunkLogger*) : m_pImpl(nullptr) {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(World().mutex);
    text = World().storeThrows;
  }
  if (!text.empty()) throw std::runtime_error(text);
}
CSIPTrunkConfig::~CSIPTrunkConfig() { delete m_pImpl; }

bool CSIPTrunkConfig::GetSIPTrunkAgentStates(CSIPTrunkBase::STAgentStates& states) {
  std::lock_guard<std::mutex> lock(World().mutex);
  RecordLocked("GetSIPTrunkAgentStates");
  states = World().roles;
  return true;
}

bool CSIPTrunkConfig::InitRegisterSlaveList(std::vector<Param>& slaves) {
  std::lock_guard<std::mutex> lock(World().mutex);
  RecordLocked("InitRegisterSlaveList");
  // As the real store: only the stored slaves not yet in the table are appended.
  for (const auto& stored : World().storedSlaves) {
    bool present = false;
    for (const auto& entry : slaves) present = present || SameRegistration(entry, stored);
    if (!present) slaves.push_back(stored);
  }
  return true;
}

bool CSIPTrunkConfig::GetMasterAccesibleUsersList(std::vector<CSIPTrunkBase::STAccessibleUser>& users) {
  std::lock_guard<std::mutex> lock(World().mutex);
  RecordLocked("GetMasterAccesibleUsersList");
  users.insert(users.end(), World().storedUsers.begin(), World().storedUsers.end());
  return true;
}

bool CSIPTrunkConfig::GetSlaveAccesibleUsersList(std::vector<CSIPTrunkBase::STAccessibleSlave>& trunks) {
  std::lock_guard<std::mutex> lock(World().mutex);
  RecordLocked("GetSlaveAccesibleUsersList");
  trunks.insert(trunks.end(), World().storedTrunks.begin(), World().storedTrunks.end());
  return true;
}

bool CSIPTrunkConfig::GetTrunkToMasterParams(const std::string& name, CSIPTrunkBase::STRegistrationFields& fields,
                                             const bool& forRegister) {
  std::lock_guard<std::mutex> lock(World().mutex);
  RecordLocked("GetTrunkToMasterParams " + name + (forRegister ? " true" : " false"));
  auto it = World().trunkParams.find(name);
  if (it == World().trunkParams.end()) return false;
  fields = it->second;
  return true;
}

int CSIPTrunkConfig::GetStateOfTrunkToMaster(const std::string& name) {
  std::lock_guard<std::mutex> lock(World().mutex);
  RecordLocked("GetStateOfTrunkToMaster " + name);
  auto it = World().trunkStates.find(name);
  return it == World().trunkStates.end() ? 0 : it->second;
}

bool CSIPTrunkConfig::ChangeTrunkToMasterConfig(const std::string& name) {
  return RecordCall("ChangeTrunkToMasterConfig " + name);
}
bool CSIPTrunkConfig::SetTrunkToMasterActiveState(const std::string& name) {
  return RecordCall("SetTrunkToMasterActiveState " + name);
}
bool CSIPTrunkConfig::SetTrunkToMasterInActiveState(const std::string& name) {
  return RecordCall("SetTrunkToMasterInActiveState " + name);
}
bool CSIPTrunkConfig::SetRegisterParam(const Param& param, const bool& known) {
  std::lock_guard<std::mutex> lock(World().mutex);
  RecordLocked("SetRegisterParam " + ToText(param) + (known ? " true" : " false"));
  World().lastSlaveWriteFailed = World().slaveWritesFail;
  if (World().slaveWritesFail) return false;
  if (!World().storeKeepsSlaves) return true;
  auto row = StoredRow(param);
  if (row == World().storedSlaves.end()) {
    World().storedSlaves.push_back(param);
  } else {
    row->sUserPasswd = param.sUserPasswd;
  }
  return true;
}

bool CSIPTrunkConfig::SetUnregisterParam(const Param& param) {
  std::lock_guard<std::mutex> lock(World().mutex);
  RecordLocked("SetUnregisterParam " + ToText(param));
  World().lastSlaveWriteFailed = World().slaveWritesFail;
  if (World().slaveWritesFail) return false;
  if (!World().storeKeepsSlaves) return true;
  auto row = StoredRow(param);
  if (row == World().storedSlaves.end()) return false;
  World().storedSlaves.erase(row);
  return true;
}

bool CSIPTrunkConfig::ChangeRegisterParam(const Param& from, const Param& to) {
  std::lock_guard<std::mutex> lock(World().mutex);
  RecordLocked("ChangeRegisterParam " + ToText(from) + " -> " + ToText(to));
  World().lastSlaveWriteFailed = World().slaveWritesFail;
  if (World().slaveWritesFail) return false;
  if (!World().storeKeepsSlaves) return true;
  // As the real store: the row moves in place, or goes when its new key is taken.
  Param moved = from;
  moved.sHostAddr = to.sHostAddr;
  moved.sHostPort = to.sHostPort;
  auto row = StoredRow(from);
  if (SameRegistration(from, moved)) return row != World().storedSlaves.end();
  if (StoredRow(moved) != World().storedSlaves.end()) {
    if (row != World().storedSlaves.end()) World().storedSlaves.erase(row);
  } else if (row != World().storedSlaves.end()) {
    row->sHostAddr = moved.sHostAddr;
    row->sHostPort = moved.sHostPort;
  } else {
    World().storedSlaves.push_back(moved);
  }
  return true;
}

bool CSIPTrunkConfig::LastRegisteredSlaveWriteFailed() const {
  std::lock_guard<std::mutex> lock(World().mutex);
  return World().lastSlaveWriteFailed;
}

bool CSIPTrunkConfig::WriteRegisteredSlaves(const std::vector<CSIPTrunkBase::STRegistrationParam>& table,
                                            const std::vector<CSIPTrunkBase::STRegistrationParam>& forget) {
  std::lock_guard<std::mutex> lock(World().mutex);
  RecordLocked("WriteRegisteredSlaves");
  if (World().slaveWritesFail) return false;
  if (!World().storeKeepsSlaves) return true;
  // The rows the table does not name stay (but forgotten ones), ahead of the table's, in its order.
  std::vector<CSIPTrunkBase::STRegistrationParam> rows;
  for (const auto& row : World().storedSlaves) {
    bool named = false;
    for (const auto& entry : table) named = named || SameRegistration(entry, row);
    for (const auto& key : forget) named = named || SameRegistration(key, row);
    if (!named) rows.push_back(row);
  }
  for (const auto& entry : table) {
    bool seen = false;
    for (const auto& row : rows) seen = seen || SameRegistration(entry, row);
    if (!seen) rows.push_back(entry);
  }
  World().storedSlaves = rows;
  return true;
}
