// Fuzz target: an update message from the settings link, decoded as the CGI
// link decodes a datagram and dispatched to the agent's OnUpdateMessage.
//
// The agent runs against the unit-test fakes of the platform classes (store,
// user-agent link, regulator, route lookup, trace log), with one agent kept
// across inputs so that the tables carry state from one message to the next.
//
// Input: byte 0 chooses the agent's situation (see the Control bits below),
// the rest is the datagram. Properties checked on every message:
//   - the result is true exactly for the empty list; an empty list leaves no
//     trace, any other message traces its type first ("# %02x");
//   - a type above 10 (negative ones included), and a master-gated type while
//     the master role is off, do nothing beyond that trace line;
//   - types 0 to 3 leave the role flags as they promise, other types leave
//     them alone, and a type 4 hands exactly the new account to the user agent
//     and appends the trunk;
//   - no agent lock is held afterwards, and the user agent and the event
//     manager are never called with one held.
// The stop message (type 10) is skipped: it signals this process.
//
// Single-threaded: libFuzzer calls LLVMFuzzerTestOneInput on one thread and
// the agent's listen threads are never started.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <tuple>
#include <vector>

#include "fakes/fake_world.h"
#include "fuzz/fuzz_check.h"
#include "platform/link_codec.h"
#include "unit/agent_test_access.h"

namespace {

using Access = AgentTestAccess;

enum Control : uint8_t {
  kMasterActive = 1 << 0,
  kSlaveActive = 1 << 1,
  kUaConnected = 1 << 2,
  kRegulatorFails = 1 << 3,
  kFreshTables = 1 << 4,       // start this message from the seeded tables
  kStoreKnowsItems = 1 << 5,   // the store has a trunk to master for every item of the message
  kStoredTrunksActive = 1 << 6,  // ... and reports those trunks active
  kStoreEmpty = 1 << 7,        // the store holds no users, slaves or trunks
};

// Above this many entries in any table the tables go back to the seed, so a
// long run's memory stays bounded.
constexpr size_t kMaxTableEntries = 256;

CSIPTrunkAgent* g_agent = nullptr;

FakeWorld& World() { return FakeWorld::Get(); }

CSIPTrunkBase::STAccessibleSlave TrunkToMaster(const char* name, const char* user, const char* address) {
  CSIPTrunkBase::STAccessibleSlave trunk;
  trunk.sTrunkName = name;
  trunk.sUserName = user;
  trunk.sUserPasswd = "pw";
  trunk.sHostAddr = address;
  trunk.sHostPort = "5060";
  return trunk;
}

// The scripted store and network: two SIP trunks, two registered slaves (one
// on the LAN, one beyond the WAN), two trunks towards masters (one active).
void ScriptWorld(uint8_t control) {
  std::lock_guard<std::mutex> lock(World().mutex);
  FakeWorld& w = World();
  w.storedUsers.clear();
  w.storedSlaves.clear();
  w.storedTrunks.clear();
  w.trunkParams.clear();
  w.trunkStates.clear();
  if ((control & kStoreEmpty) == 0) {
    w.storedUsers = {{"t1", "alice", "pw1"}, {"t2", "bob", "pw2"}};
    w.storedSlaves = {{"alice", "pw1", "192.0.2.10", "5060"}, {"bob", "pw2", "198.51.100.20", "5062"}};
    w.storedTrunks = {TrunkToMaster("m1", "carol", "192.0.2.30"), TrunkToMaster("m2", "dave", "198.51.100.5")};
    w.trunkParams["m1"] = {"carol", "pw", "192.0.2.30", "5060"};
    w.trunkParams["m2"] = {"dave", "pw", "198.51.100.5", "5060"};
    w.trunkStates["m1"] = 1;
  }
  w.arpnlAddResult = (control & kRegulatorFails) != 0 ? -1 : 0;
  w.arpnlDelResult = w.arpnlAddResult;
}

void ScriptItemsAsTrunks(const std::list<std::string>& items, bool active) {
  std::lock_guard<std::mutex> lock(World().mutex);
  bool first = true;
  for (const std::string& item : items) {
    if (first) {
      first = false;
      continue;
    }
    World().trunkParams[item] = {item, item, item, item};
    World().trunkStates[item] = active ? 1 : 0;
  }
}

void SeedTables(CSIPTrunkAgent& agent) {
  Access::SetUsers(agent, {{"t1", "alice", "pw1"}, {"t2", "bob", "pw2"}, {"t3", "alice", "pw3"}});
  Access::SetSlaves(agent, {{"alice", "pw1", "192.0.2.10", "5060"}, {"bob", "pw2", "198.51.100.20", "5062"},
                            {"alice", "pw1", "192.0.2.11", "5060"}, {"eve", "x", "not-an-address", "1"}});
  Access::SetTrunks(agent, {TrunkToMaster("m1", "carol", "192.0.2.30"), TrunkToMaster("m3", "carol", "192.0.2.31")});
}

void ClearRecordings() { World().ClearRecordings(); }

// The type as the dispatcher reads item 0: strtol base 10 (blanks, sign,
// digits), clamped to 32 bits, taken unsigned.
uint32_t TypeOf(const std::string& item) {
  errno = 0;
  long long value = std::strtoll(item.c_str(), nullptr, 10);
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<uint32_t>(static_cast<int32_t>(value));
}

struct Tables {
  std::vector<CSIPTrunkBase::STAccessibleUser> users;
  std::vector<CSIPTrunkBase::STRegistrationParam> slaves;
  std::vector<CSIPTrunkBase::STAccessibleSlave> trunks;
};

Tables Snapshot(CSIPTrunkAgent& agent) { return Tables{Access::Users(agent), Access::Slaves(agent), Access::Trunks(agent)}; }

auto Key(const CSIPTrunkBase::STAccessibleUser& u) { return std::tie(u.sTrunkName, u.sUserName, u.sUserPasswd); }
auto Key(const CSIPTrunkBase::STRegistrationParam& s) {
  return std::tie(s.sUserName, s.sUserPasswd, s.sHostAddr, s.sHostPort);
}
auto Key(const CSIPTrunkBase::STAccessibleSlave& t) {
  return std::tie(t.sTrunkName, t.sUserName, t.sUserPasswd, t.sHostAddr, t.sHostPort, t.bActive, t.nLastError,
                  t.bNotifySuccess);
}

template <typename T>
bool SameRows(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Key(a[i]) != Key(b[i])) return false;
  }
  return true;
}

bool SameTables(const Tables& a, const Tables& b) {
  return SameRows(a.users, b.users) && SameRows(a.slaves, b.slaves) && SameRows(a.trunks, b.trunks);
}

bool TooLarge(const Tables& t) {
  return t.users.size() > kMaxTableEntries || t.slaves.size() > kMaxTableEntries ||
         t.trunks.size() > kMaxTableEntries;
}

std::string TypeTraceLine(uint32_t type) {
  char line[128];
  std::snprintf(line, sizeof line, "MESS: Incoming update message from SIP Trunk settings CGI. type: # %02x \n", type);
  return line;
}

void CheckTypeFour(const std::vector<std::string>& items, const Tables& before, const Tables& after) {
  if (items.size() < 5) return;  // too short: how it is dropped is the dispatcher's choice
  std::lock_guard<std::mutex> lock(World().mutex);
  const auto& calls = World().uaCalls;
  FUZZ_CHECK(calls.size() == 1 && calls[0].op == "ChangeUserParams" && calls[0].masterList,
             "type 4 hands one change of the master list to the user agent");
  const CallParams& added = calls[0].newParams;
  FUZZ_CHECK(calls[0].oldParams == CallParams(), "type 4 adds: no old account");
  FUZZ_CHECK(added.sUserName == items[2] && added.sUserPasswd == items[3], "type 4 account is items 2 and 3");
  FUZZ_CHECK(added.nFlags == (items[4] == "1" ? CallParams::kFlagSymmetricNat : 0u),
             "type 4 symmetric NAT only for exactly \"1\"");
  FUZZ_CHECK(after.users.size() == before.users.size() + 1 && after.users.back().sTrunkName == items[1] &&
                 after.users.back().sUserName == items[2] && after.users.back().sUserPasswd == items[3],
             "type 4 appends the trunk");
}

void CheckOutcome(const std::vector<std::string>& items, bool result, bool masterBefore, bool slaveBefore,
                  const Tables& before, CSIPTrunkAgent& agent) {
  FUZZ_CHECK(ThreadMutex::HeldByCurrentThread() == 0, "no agent lock is held after a message");
  {
    std::lock_guard<std::mutex> lock(World().mutex);
    FUZZ_CHECK(World().callsUnderLock == 0, "user agent or event manager called under an agent lock");
  }
  FUZZ_CHECK(result == items.empty(), "the result is true exactly for the empty list");
  const Tables after = Snapshot(agent);
  const bool masterAfter = Access::MasterActive(agent);
  const bool slaveAfter = Access::SlaveActive(agent);

  std::vector<TraceLine> traces;
  std::vector<std::string> timeline;
  {
    std::lock_guard<std::mutex> lock(World().mutex);
    traces = World().traces;
    timeline = World().timeline;
  }
  if (items.empty()) {
    FUZZ_CHECK(timeline.empty(), "an empty message does nothing, not even a trace line");
    FUZZ_CHECK(SameTables(before, after), "an empty message changes no table");
    return;
  }

  const uint32_t type = TypeOf(items[0]);
  FUZZ_CHECK(!traces.empty() && traces[0].level == 3 && traces[0].text == TypeTraceLine(type),
             "the first trace line names the type in hex");
  const bool gated = type == UPD_ADD_SIP_TRUNK || type == UPD_EDIT_SIP_TRUNK || type == UPD_DELETE_SIP_TRUNKS;
  if (type > UPD_STOP_AGENT || (gated && !masterBefore)) {
    FUZZ_CHECK(timeline.size() == 1, "a dropped message does nothing beyond its trace line");
    FUZZ_CHECK(SameTables(before, after), "a dropped message changes no table");
  }

  switch (type) {
    case UPD_ACTIVATE_MASTER: FUZZ_CHECK(masterAfter, "type 0 sets the master role"); break;
    case UPD_DEACTIVATE_MASTER: FUZZ_CHECK(!masterAfter, "type 1 clears the master role"); break;
    case UPD_ACTIVATE_SLAVE: FUZZ_CHECK(slaveAfter, "type 2 sets the slave role"); break;
    case UPD_DEACTIVATE_SLAVE: FUZZ_CHECK(!slaveAfter, "type 3 clears the slave role"); break;
    default: break;
  }
  if (type != UPD_ACTIVATE_MASTER && type != UPD_DEACTIVATE_MASTER) {
    FUZZ_CHECK(masterAfter == masterBefore, "only types 0 and 1 move the master role");
  }
  if (type != UPD_ACTIVATE_SLAVE && type != UPD_DEACTIVATE_SLAVE) {
    FUZZ_CHECK(slaveAfter == slaveBefore, "only types 2 and 3 move the slave role");
  }
  if (type == UPD_ADD_SIP_TRUNK && masterBefore) CheckTypeFour(items, before, after);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  World().Reset();
  ScriptWorld(0);
  AddInterface("lo", "127.0.0.1");
  AddInterface("eth0", "192.0.2.1");
  AddInterface("wan0", "198.51.100.1");
  {
    std::lock_guard<std::mutex> lock(World().mutex);
    for (int host = 2; host < 40; ++host) {
      World().routes["192.0.2." + std::to_string(host)] = "192.0.2.1";
      World().routes["198.51.100." + std::to_string(host)] = "198.51.100.1";
    }
  }
  // Lives for the whole run: libFuzzer ends the process with exit().
  g_agent = new CSIPTrunkAgent();
  Access::OpenRegulator(*g_agent);
  SeedTables(*g_agent);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const uint8_t* datagram = data + 1;
  const size_t length = size - 1;

  // As the CGI link receives: longer datagrams and ones without a final NUL
  // are dropped before dispatch.
  if (length > siptrunk::kMaxUpdateDatagram) return 0;
  std::list<std::string> items;
  std::string why;
  if (!siptrunk::SplitItems(datagram, length, &items, &why)) return 0;
  if (!items.empty() && TypeOf(items.front()) == UPD_STOP_AGENT) return 0;

  CSIPTrunkAgent& agent = *g_agent;
  ScriptWorld(control);
  if ((control & kStoreKnowsItems) != 0) ScriptItemsAsTrunks(items, (control & kStoredTrunksActive) != 0);
  if ((control & kFreshTables) != 0 || TooLarge(Snapshot(agent))) SeedTables(agent);
  Access::SetMasterActive(agent, (control & kMasterActive) != 0);
  Access::SetSlaveActive(agent, (control & kSlaveActive) != 0);
  Access::SetUaConnected(agent, (control & kUaConnected) != 0);
  ClearRecordings();

  const Tables before = Snapshot(agent);
  const bool result = Access::Update(agent, items);
  CheckOutcome(std::vector<std::string>(items.begin(), items.end()), result, (control & kMasterActive) != 0,
               (control & kSlaveActive) != 0, before, agent);
  return 0;
}
