// Fuzz target: an update message from the settings link, decoded as the CGI
// link decodes a datagram and dispatched to the agent's OnUpdateMessage.
//
// The agent runs against the unit-test fakes, one agent kept across inputs
// so that the tables carry state from one message to the next. Input: byte 0
// chooses the agent's situation (see the Control bits below), the rest is the
// datagram. Properties checked on every message:
//   - the result is true exactly for the empty list, which does nothing;
//   - a type above 10 (negative ones included), and a master-gated type while
//     the master role is off, do nothing beyond one trace line;
//   - types 0 to 3 set the role flags as they promise, others leave them;
//   - no agent lock is held afterwards, and the user agent and the event
//     manager are never called with one held.
// What a message does to the views is the model target's (model_fuzzer.cpp).
// The stop message (type 10) is skipped: it signals this process.
//
// Single-threaded: libFuzzer calls LLVMFuzzerTestOneInput on one thread and
// the agent's listen threads are never started.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <string>
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

// The scripted store and network: two SIP trunks, two registered slaves (one
// on the LAN, one beyond the WAN), two trunks towards masters (one active);
// with kStoreKnowsItems also a trunk towards a master for each item.
void ScriptWorld(uint8_t control, const std::list<std::string>& items) {
  std::lock_guard<std::mutex> lock(World().mutex);
  FakeWorld& w = World();
  w.storedUsers = {{"t1", "alice", "pw1"}, {"t2", "bob", "pw2"}};
  w.storedSlaves = {{"alice", "pw1", "192.0.2.10", "5060"}, {"bob", "pw2", "198.51.100.20", "5062"}};
  w.storedTrunks = {{"m1", "carol", "pw", "192.0.2.30", "5060"}, {"m2", "dave", "pw", "198.51.100.5", "5060"}};
  w.trunkParams = {{"m1", {"carol", "pw", "192.0.2.30", "5060"}}, {"m2", {"dave", "pw", "198.51.100.5", "5060"}}};
  w.trunkStates = {{"m1", 1}};
  if ((control & kStoreEmpty) != 0) {
    w.storedUsers.clear();
    w.storedSlaves.clear();
    w.storedTrunks.clear();
    w.trunkParams.clear();
    w.trunkStates.clear();
  }
  for (auto it = items.begin(); (control & kStoreKnowsItems) != 0 && it != items.end(); ++it) {
    if (it == items.begin()) continue;  // the type
    w.trunkParams[*it] = {*it, *it, *it, *it};
    w.trunkStates[*it] = (control & kStoredTrunksActive) != 0 ? 1 : 0;
  }
  w.arpnlAddResult = w.arpnlDelResult = (control & kRegulatorFails) != 0 ? -1 : 0;
}

void SeedTables(CSIPTrunkAgent& agent) {
  Access::SetUsers(agent, {{"t1", "alice", "pw1"}, {"t2", "bob", "pw2"}, {"t3", "alice", "pw3"}});
  Access::SetSlaves(agent, {{"alice", "pw1", "192.0.2.10", "5060"}, {"bob", "pw2", "198.51.100.20", "5062"},
                            {"alice", "pw1", "192.0.2.11", "5060"}, {"eve", "x", "not-an-address", "1"}});
  Access::SetTrunks(agent, {{"m1", "carol", "pw", "192.0.2.30", "5060"}, {"m3", "carol", "pw", "192.0.2.31", "5060"}});
}

// The type as the dispatcher reads item 0: strtol base 10 (blanks, sign,
// digits), clamped to 32 bits, taken unsigned.
uint32_t TypeOf(const std::string& item) {
  errno = 0;
  long long value = std::strtoll(item.c_str(), nullptr, 10);
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<uint32_t>(static_cast<int32_t>(value));
}

bool TooLarge(CSIPTrunkAgent& agent) {
  return Access::Users(agent).size() > kMaxTableEntries || Access::Slaves(agent).size() > kMaxTableEntries ||
         Access::Trunks(agent).size() > kMaxTableEntries;
}

void CheckOutcome(const std::vector<std::string>& items, bool result, bool masterBefore, bool slaveBefore,
                  CSIPTrunkAgent& agent) {
  FUZZ_CHECK(ThreadMutex::HeldByCurrentThread() == 0, "no agent lock is held after a message");
  FUZZ_CHECK(World().callsUnderLock == 0, "user agent or event manager called under an agent lock");
  FUZZ_CHECK(result == items.empty(), "the result is true exactly for the empty list");
  const bool masterAfter = Access::MasterActive(agent);
  const bool slaveAfter = Access::SlaveActive(agent);

  const std::vector<std::string> timeline = World().Timeline();
  if (items.empty()) {
    FUZZ_CHECK(timeline.empty(), "an empty message does nothing, not even a trace line");
    return;
  }
  const uint32_t type = TypeOf(items[0]);
  const bool gated = type == UPD_ADD_SIP_TRUNK || type == UPD_EDIT_SIP_TRUNK || type == UPD_DELETE_SIP_TRUNKS;
  if (type > UPD_STOP_AGENT || (gated && !masterBefore)) {
    FUZZ_CHECK(timeline.size() == 1, "a dropped message does nothing beyond its trace line");
  }
  const bool masterSwitch = type == UPD_ACTIVATE_MASTER || type == UPD_DEACTIVATE_MASTER;
  const bool slaveSwitch = type == UPD_ACTIVATE_SLAVE || type == UPD_DEACTIVATE_SLAVE;
  FUZZ_CHECK(masterAfter == (masterSwitch ? type == UPD_ACTIVATE_MASTER : masterBefore),
             "types 0 and 1 set and clear the master role, no other type moves it");
  FUZZ_CHECK(slaveAfter == (slaveSwitch ? type == UPD_ACTIVATE_SLAVE : slaveBefore),
             "types 2 and 3 set and clear the slave role, no other type moves it");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  World().Reset();
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
  ScriptWorld(control, items);
  if ((control & kFreshTables) != 0 || TooLarge(agent)) SeedTables(agent);
  Access::SetMasterActive(agent, (control & kMasterActive) != 0);
  Access::SetSlaveActive(agent, (control & kSlaveActive) != 0);
  Access::SetUaConnected(agent, (control & kUaConnected) != 0);
  World().ClearRecordings();
  const bool result = Access::Update(agent, items);
  CheckOutcome(std::vector<std::string>(items.begin(), items.end()), result, (control & kMasterActive) != 0,
               (control & kSlaveActive) != 0, agent);
  return 0;
}
