// Fuzz target: the model check of the agent's four views over the unit-test fakes. Each input is a sequence
// of operations against one fresh agent: settings changes (store first, then the update message, as the
// settings client does), confirmations on the master list, user-agent reconnects, restarts, a full disk for
// the registered slaves' writes, and any datagram at all on the settings link. After every operation Check()
// holds the store's slaves to the agent's table (master role on, disk with room), the regulator's set to the
// table's slaves reached through eth0, the user agent's master accounts to the store's SIP trunks (role on;
// until a datagram edits trunks behind the store's back, up to the next full list), and the lock rule.
// Datagram() checks each datagram's result, trace-only drops and role flags. The stop message (type 10) is
// skipped: it signals this process. Single-threaded: the agent's listen threads are never started.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "fakes/fake_world.h"
#include "fuzz/fuzz_check.h"
#include "platform/link_codec.h"
#include "unit/agent_test_access.h"

namespace {

using Access = AgentTestAccess;
using Slave = CSIPTrunkBase::STRegistrationParam;

const char* const kAddresses[] = {"192.0.2.10", "192.0.2.11", "192.0.2.12", "198.51.100.20",
                                  "not-an-address", "192.0.2.010", "", "203.0.113.9"};
const char* const kPorts[] = {"5060", "5061"};

FakeWorld& World() { return FakeWorld::Get(); }

// The type as the dispatcher reads item 0: strtol base 10 (blanks, sign,
// digits), clamped to 32 bits, taken unsigned.
uint32_t TypeOf(const std::string& item) {
  errno = 0;
  long long value = std::strtoll(item.c_str(), nullptr, 10);
  value = std::min<long long>(std::max<long long>(value, INT32_MIN), INT32_MAX);
  return static_cast<uint32_t>(static_cast<int32_t>(value));
}

bool OnLan(const std::string& address) {
  std::lock_guard<std::mutex> lock(World().mutex);
  auto route = World().routes.find(address);
  return route != World().routes.end() && route->second == "192.0.2.1";
}

// What the regulator and the user agent hold, rebuilt from the fakes' recordings.
struct Views {
  std::set<std::string> admitted;
  bool masterActive = false;
  std::vector<std::pair<std::string, std::string>> masterAccounts;  // user, password

  void Replay() {
    std::lock_guard<std::mutex> lock(World().mutex);
    for (const std::string& call : World().regulatorCalls) {
      if (call == "open") admitted.clear();
      if (call.rfind("add ", 0) == 0) admitted.insert(call.substr(4));
      if (call.rfind("del ", 0) == 0) admitted.erase(call.substr(4));
    }
    for (const UaCall& call : World().uaCalls) {
      if (!call.masterList) continue;
      if (call.op == "SetUsersList") {
        masterActive = call.active;
        masterAccounts.clear();
        for (const CallParams& p : call.list) masterAccounts.emplace_back(p.sUserName, p.sUserPasswd);
        continue;
      }
      auto held = std::find_if(masterAccounts.begin(), masterAccounts.end(),
                               [&](const auto& a) { return a.first == call.oldParams.sUserName; });
      // A change replaces the old account (none for an add), or only removes it; the order is not compared.
      if (!(call.oldParams == CallParams()) && held != masterAccounts.end()) masterAccounts.erase(held);
      const CallParams& added = call.newParams;
      if (!(added == CallParams())) masterAccounts.emplace_back(added.sUserName, added.sUserPasswd);
    }
  }
  void Disconnected() {
    masterActive = false;
    masterAccounts.clear();
  }
};

struct Run {
  std::unique_ptr<CSIPTrunkAgent> agent;
  Views views;
  unsigned serial = 0;
  std::string log;  // the operations so far, printed when a check fails
  bool accountsFollowStore = true;  // false once a datagram edited SIP trunks, until the next full list

  void Connect() {
    agent->OnPartyStateChanged(true);
    agent->OnSetUsersList();
    accountsFollowStore = true;
  }
  void Start() {
    agent.reset(new CSIPTrunkAgent());
    Access::OpenRegulator(*agent);
    Connect();
  }
  void Update(std::list<std::string> items) { Access::Update(*agent, std::move(items)); }
  std::vector<CSIPTrunkBase::STAccessibleUser>& Trunks() { return World().storedUsers; }

  void Step(FuzzedDataProvider& in) {
    const auto& trunks = Trunks();
    const std::string name = "t" + std::to_string(in.ConsumeIntegralInRange(0, 3));
    auto trunk = std::find_if(Trunks().begin(), Trunks().end(), [&](const auto& t) { return t.sTrunkName == name; });
    const std::string fresh = std::to_string(++serial);
    const int op = in.ConsumeIntegralInRange(0, 11);
    if (op >= 4) log += " op" + std::to_string(op) + "(" + name + ")";
    switch (op) {
      default: {  // a confirmation on the master list, which the user agent holds active only with the role
        if (!Access::MasterActive(*agent)) break;
        CallParams account;
        const size_t pick = in.ConsumeIntegralInRange<size_t>(0, trunks.size());
        account.sUserName = pick < trunks.size() ? trunks[pick].sUserName : "ghost";
        account.sUserPasswd = pick < trunks.size() && in.ConsumeBool() ? trunks[pick].sUserPasswd : "wrong";
        account.sHostAddr = kAddresses[in.ConsumeIntegralInRange(0, 7)];
        account.sHostPort = kPorts[in.ConsumeIntegralInRange(0, 1)];
        const bool registered = in.ConsumeBool();
        log += " confirm(" + account.sUserName + "/" + account.sUserPasswd + "@" + account.sHostAddr + ":" +
               account.sHostPort + (registered ? ")" : ",off)");
        agent->OnConfirmUserState(account, registered, 0, true);
        break;
      }
      case 4:
        if (trunk != Trunks().end()) break;  // the settings client refuses a taken name
        Trunks().push_back({name, "u" + fresh, "p" + fresh});
        Update({"4", name, "u" + fresh, "p" + fresh, "0"});
        break;
      case 5:
        if (trunk == Trunks().end()) break;
        trunk->sUserName = "u" + fresh;
        trunk->sUserPasswd = "p" + fresh;
        Update({"5", name, name, "u" + fresh, "p" + fresh, "0"});
        break;
      case 6:
        if (trunk == Trunks().end()) break;
        Trunks().erase(trunk);
        Update({"6", name});
        break;
      case 7:
        World().roles.bMasterEnabled = !World().roles.bMasterEnabled;
        Update({World().roles.bMasterEnabled ? "0" : "1"});
        accountsFollowStore = accountsFollowStore || World().roles.bMasterEnabled;  // type 0 hands over the full list
        break;
      case 8:
        agent->OnPartyStateChanged(false);
        views.Disconnected();
        Connect();
        break;
      case 9:
        agent.reset();
        views.Disconnected();
        Start();
        break;
      case 10:  // the disk fills, or has room again and the retry comes
        World().slaveWritesFail = !World().slaveWritesFail;
        if (!World().slaveWritesFail) Access::RetryStaleSlaves(*agent);
        break;
      case 11:
        Datagram(in);
        break;
    }
  }

  // Any datagram, split as the settings link splits one; with the store knowing
  // every item as a trunk towards a master, fuzzed names reach the slave role.
  void Datagram(FuzzedDataProvider& in) {
    std::string datagram = in.ConsumeRandomLengthString(128), why;
    std::list<std::string> items;
    if (!datagram.empty()) datagram.push_back('\0');
    siptrunk::SplitItems(datagram.data(), datagram.size(), &items, &why);
    const uint32_t type = items.empty() ? 0 : TypeOf(items.front());
    if (type == UPD_STOP_AGENT) return;
    const bool knows = in.ConsumeBool(), active = in.ConsumeBool();
    if (knows) {
      for (const std::string& item : items) {
        World().trunkParams[item] = {item, item, item, item};
        World().trunkStates[item] = active ? 1 : 0;
      }
    }
    log += " datagram(" + std::to_string(items.size()) + " items, type " + std::to_string(type) + ")";
    const bool master = Access::MasterActive(*agent), slave = Access::SlaveActive(*agent);
    const size_t before = World().Timeline().size();
    FUZZ_CHECK(Access::Update(*agent, items) == items.empty(), "the result is true exactly for the empty list");
    const size_t lines = World().Timeline().size() - before;
    const bool gated = type == UPD_ADD_SIP_TRUNK || type == UPD_EDIT_SIP_TRUNK || type == UPD_DELETE_SIP_TRUNKS;
    if (items.empty()) FUZZ_CHECK(lines == 0, "an empty message does nothing, not even a trace line");
    if (!items.empty() && (type > UPD_STOP_AGENT || (gated && !master))) {
      FUZZ_CHECK(lines == 1, "a dropped message does nothing beyond its trace line");
    }
    const bool switchesMaster = !items.empty() && (type == UPD_ACTIVATE_MASTER || type == UPD_DEACTIVATE_MASTER);
    const bool switchesSlave = !items.empty() && (type == UPD_ACTIVATE_SLAVE || type == UPD_DEACTIVATE_SLAVE);
    FUZZ_CHECK(Access::MasterActive(*agent) == (switchesMaster ? type == UPD_ACTIVATE_MASTER : master),
               "types 0 and 1 set and clear the master role, no other type moves it");
    FUZZ_CHECK(Access::SlaveActive(*agent) == (switchesSlave ? type == UPD_ACTIVATE_SLAVE : slave),
               "types 2 and 3 set and clear the slave role, no other type moves it");
    // The roles as the settings client stores them; type 0 hands over the full list again.
    World().roles.bMasterEnabled = Access::MasterActive(*agent);
    World().roles.bSlaveEnabled = Access::SlaveActive(*agent);
    if (switchesMaster && type == UPD_ACTIVATE_MASTER) accountsFollowStore = true;
    if (gated && master) accountsFollowStore = false;
  }

  void Check() {
    FUZZ_CHECK(ThreadMutex::HeldByCurrentThread() == 0, "no agent lock is held after an operation");
    FUZZ_CHECK(World().callsUnderLock == 0, "user agent or event manager called under an agent lock");
    views.Replay();
    World().ClearRecordings();
    const std::vector<Slave> table = Access::Slaves(*agent);
    auto key = [](const Slave& s) { return std::tie(s.sUserName, s.sUserPasswd, s.sHostAddr, s.sHostPort); };
    auto order = [&](const Slave& a, const Slave& b) { return key(a) < key(b); };
    std::vector<Slave> sortedTable = table, stored = World().storedSlaves;
    std::sort(sortedTable.begin(), sortedTable.end(), order);
    std::sort(stored.begin(), stored.end(), order);
    const bool same = std::equal(sortedTable.begin(), sortedTable.end(), stored.begin(), stored.end(),
                                 [&](const Slave& a, const Slave& b) { return key(a) == key(b); });
    const bool master = Access::MasterActive(*agent);
    const bool checked = master && !World().slaveWritesFail;
    if (!same && checked) std::fprintf(stderr, "operations:%s\n", log.c_str());
    // While the master role is off the store keeps the slaves for the next activation.
    FUZZ_CHECK(same || !checked, "the store's registered slaves equal the agent's table");

    std::set<std::string> expected;
    for (const Slave& s : table) {
      if (OnLan(s.sHostAddr)) expected.insert(s.sHostAddr);
    }
    for (const std::string& address : views.admitted) {
      FUZZ_CHECK(expected.count(address) == 1, "only registered slaves reached through eth0 are admitted");
    }
    for (const std::string& address : expected) {
      FUZZ_CHECK(views.admitted.count(address) == 1, "every registered slave reached through eth0 is admitted");
    }

    FUZZ_CHECK(views.masterActive == master, "the user agent's master list is active exactly with the role");
    if (master && accountsFollowStore) {
      std::vector<std::pair<std::string, std::string>> want, held = views.masterAccounts;
      for (const auto& t : Trunks()) want.emplace_back(t.sUserName, t.sUserPasswd);
      std::sort(want.begin(), want.end());
      std::sort(held.begin(), held.end());
      FUZZ_CHECK(held == want, "the user agent holds the store's SIP trunks");
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World().Reset();
  AddInterface("lo", "127.0.0.1");
  AddInterface("eth0", "192.0.2.1");
  AddInterface("wan0", "198.51.100.1");
  {
    std::lock_guard<std::mutex> lock(World().mutex);
    World().storeKeepsSlaves = true;
    World().roles.bMasterEnabled = true;
    World().storedUsers = {{"t0", "u0", "p0"}, {"t1", "u1", "p1"}};
    for (int host = 2; host < 40; ++host) {
      World().routes["192.0.2." + std::to_string(host)] = "192.0.2.1";
      World().routes["198.51.100." + std::to_string(host)] = "198.51.100.1";
    }
  }
  FuzzedDataProvider in(data, size);
  Run run;
  run.Start();
  run.Check();
  for (int steps = 0; steps < 64 && in.remaining_bytes() > 0; ++steps) {
    run.Step(in);
    run.Check();
  }
  return 0;
}
