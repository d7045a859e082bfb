// Fake of the store client: answers from FakeWorld's scripted rows, each call recorded as "store:<Op> <args>".
#include "fakes/fake_world.h"

#include <stdexcept>

#include "platform/siptrunk_config.h"
#include "model/matching.h"

namespace {

using Param = CSIPTrunkBase::STRegistrationParam;
using Rows = std::vector<Param>;

// Records `entry` and runs `answer` on the world, both under its lock.
template <class Answer>
auto Store(const std::string& entry, Answer answer) {
  FakeWorld& world = FakeWorld::Get();
  std::lock_guard<std::mutex> lock(world.mutex);
  world.timeline.push_back("store:" + entry);
  return answer(world);
}
bool Store(const std::string& entry) {
  return Store(entry, [](FakeWorld&) { return true; });
}
// Records `entry` and appends the scripted `rows` to `out`.
template <class Row>
bool Append(const std::string& entry, std::vector<Row> FakeScript::*rows, std::vector<Row>& out) {
  return Store(entry, [&](FakeWorld& w) { return out.insert(out.end(), (w.*rows).begin(), (w.*rows).end()), true; });
}

// The row of `key` (user, address, port) in `rows`, or end().
template <class R>
auto StoredRow(R& rows, const Param& key) {
  for (auto it = rows.begin(); it != rows.end(); ++it) {
    if (SameRegistration(*it, key)) return it;
  }
  return rows.end();
}

bool SlaveWriteFails(FakeWorld& w) { return (w.lastSlaveWriteFailed = w.slaveWritesFail); }

}  // namespace

struct CSIPTrunkConfig::Impl {};
CSIPTrunkConfig::CSIPTrunkConfig(CSIPTrunkLogger*) : m_pImpl(nullptr) {
  std::unique_lock<std::mutex> lock(FakeWorld::Get().mutex);
  const std::string text = FakeWorld::Get().storeThrows;
  lock.unlock();
  if (!text.empty()) throw std::runtime_error(text);
}
CSIPTrunkConfig::~CSIPTrunkConfig() { delete m_pImpl; }

bool CSIPTrunkConfig::GetSIPTrunkAgentStates(CSIPTrunkBase::STAgentStates& states) {
  return Store("GetSIPTrunkAgentStates", [&](FakeWorld& w) { return states = w.roles, true; });
}
bool CSIPTrunkConfig::InitRegisterSlaveList(Rows& slaves) {
  // As the real store: only the stored slaves not yet in the table are appended.
  return Store("InitRegisterSlaveList", [&](FakeWorld& w) {
    for (const auto& stored : w.storedSlaves) {
      if (StoredRow(slaves, stored) == slaves.end()) slaves.push_back(stored);
    }
    return true;
  });
}

bool CSIPTrunkConfig::GetMasterAccesibleUsersList(std::vector<CSIPTrunkBase::STAccessibleUser>& users) {
  return Append("GetMasterAccesibleUsersList", &FakeScript::storedUsers, users);
}
bool CSIPTrunkConfig::GetSlaveAccesibleUsersList(std::vector<CSIPTrunkBase::STAccessibleSlave>& trunks) {
  return Append("GetSlaveAccesibleUsersList", &FakeScript::storedTrunks, trunks);
}
bool CSIPTrunkConfig::GetTrunkToMasterParams(const std::string& name, CSIPTrunkBase::STRegistrationFields& fields,
                                             const bool& forRegister) {
  return Store("GetTrunkToMasterParams " + name + (forRegister ? " true" : " false"), [&](FakeWorld& w) {
    return w.trunkParams.count(name) != 0 && (fields = w.trunkParams[name], true);
  });
}
int CSIPTrunkConfig::GetStateOfTrunkToMaster(const std::string& name) {
  return Store("GetStateOfTrunkToMaster " + name,
               [&](FakeWorld& w) { return w.trunkStates.count(name) != 0 ? w.trunkStates[name] : 0; });
}

bool CSIPTrunkConfig::ChangeTrunkToMasterConfig(const std::string& n) { return Store("ChangeTrunkToMasterConfig " + n); }
bool CSIPTrunkConfig::SetTrunkToMasterActiveState(const std::string& n) { return Store("SetTrunkToMasterActiveState " + n); }
bool CSIPTrunkConfig::SetTrunkToMasterInActiveState(const std::string& n) { return Store("SetTrunkToMasterInActiveState " + n); }

bool CSIPTrunkConfig::SetRegisterParam(const Param& param, const bool& known) {
  return Store("SetRegisterParam " + ToText(param) + (known ? " true" : " false"), [&](FakeWorld& w) {
    if (SlaveWriteFails(w)) return false;
    if (!w.storeKeepsSlaves) return true;
    auto row = StoredRow(w.storedSlaves, param);
    if (row == w.storedSlaves.end()) w.storedSlaves.push_back(param);
    else row->sUserPasswd = param.sUserPasswd;
    return true;
  });
}

bool CSIPTrunkConfig::SetUnregisterParam(const Param& param) {
  return Store("SetUnregisterParam " + ToText(param), [&](FakeWorld& w) {
    if (SlaveWriteFails(w)) return false;
    if (!w.storeKeepsSlaves) return true;
    auto row = StoredRow(w.storedSlaves, param);
    if (row == w.storedSlaves.end()) return false;
    w.storedSlaves.erase(row);
    return true;
  });
}

bool CSIPTrunkConfig::ChangeRegisterParam(const Param& from, const Param& to) {
  return Store("ChangeRegisterParam " + ToText(from) + " -> " + ToText(to), [&](FakeWorld& w) {
    if (SlaveWriteFails(w)) return false;
    if (!w.storeKeepsSlaves) return true;
    // As the real store: the row moves in place, or goes when its new key is taken.
    Param moved = from;
    moved.sHostAddr = to.sHostAddr;
    moved.sHostPort = to.sHostPort;
    auto& rows = w.storedSlaves;
    auto row = StoredRow(rows, from);
    if (SameRegistration(from, moved)) return row != rows.end();
    if (StoredRow(rows, moved) != rows.end()) {
      if (row != rows.end()) rows.erase(row);
    } else if (row != rows.end()) {
      row->sHostAddr = moved.sHostAddr;
      row->sHostPort = moved.sHostPort;
    } else {
      rows.push_back(moved);
    }
    return true;
  });
}

bool CSIPTrunkConfig::LastRegisteredSlaveWriteFailed() const {
  std::lock_guard<std::mutex> lock(FakeWorld::Get().mutex);
  return FakeWorld::Get().lastSlaveWriteFailed;
}

bool CSIPTrunkConfig::WriteRegisteredSlaves(const Rows& table, const Rows& forget) {
  return Store("WriteRegisteredSlaves", [&](FakeWorld& w) {
    if (w.slaveWritesFail) return false;
    if (!w.storeKeepsSlaves) return true;
    // The rows the table does not name stay (but forgotten ones), ahead of the table's, in its order.
    Rows rows;
    for (const auto& row : w.storedSlaves) {
      if (StoredRow(table, row) == table.end() && StoredRow(forget, row) == forget.end()) rows.push_back(row);
    }
    for (const auto& entry : table) {
      if (StoredRow(rows, entry) == rows.end()) rows.push_back(entry);
    }
    w.storedSlaves = rows;
    return true;
  });
}

// The fake's writes are durable when they return.
void CSIPTrunkConfig::DeferSlaveSyncOnThisThread() {}
bool CSIPTrunkConfig::SyncRegisteredSlaves() { return true; }
