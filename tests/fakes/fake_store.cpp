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
  return RecordCall("SetRegisterParam " + ToText(param) + (known ? " true" : " false"));
}
bool CSIPTrunkConfig::SetUnregisterParam(const Param& param) { return RecordCall("SetUnregisterParam " + ToText(param)); }
bool CSIPTrunkConfig::ChangeRegisterParam(const Param& from, const Param& to) {
  return RecordCall("ChangeRegisterParam " + ToText(from) + " -> " + ToText(to));
}
