// Which slaves reach the regulator, what is traced when it fails, and that
// its set agrees with the registered slaves reached through eth0.
#include <set>

#include "unit/agent_fixture.h"

namespace {

using LanRegulatorTest = LanAgentTest;

// Every call reaches the regulator (an address admitted twice, one never
// admitted removed all the same); a failure is traced at level 0; a slave
// with no route, one that leaves through wan0, or no regulator at all is
// skipped silently; a whole table is admitted in its order.
TEST_F(LanRegulatorTest, WhichCallsReachTheRegulatorAndHowAFailureIsTraced) {
  const std::pair<const char*, bool> calls[] = {{"192.0.2.10", true}, {"192.0.2.10", true}, {"192.0.2.11", false},
                                                {"203.0.113.5", true} /* no route */, {"198.51.100.7", true} /* wan0 */};
  for (const auto& [address, add] : calls) Access::Regulate(*agent, address, add);
  Access::SetSlaves(*agent, {SlaveReg{"a", "", "192.0.2.12", "1"}, SlaveReg{"b", "", "198.51.100.3", "1"},
                             SlaveReg{"c", "", "192.0.2.13", "1"}});
  Access::AdmitAll(*agent);
  EXPECT_EQ(World().regulatorCalls,
            (Lines{"add 192.0.2.10", "add 192.0.2.10", "del 192.0.2.11", "add 192.0.2.12", "add 192.0.2.13"}));
  ClearRecords();
  World().arpnlAddResult = -1;
  World().arpnlDelResult = -2;
  Access::Regulate(*agent, "192.0.2.10", true);
  Access::Regulate(*agent, "192.0.2.10", false);
  std::string levels;
  for (const auto& t : World().traces) levels += std::to_string(t.level) + t.text.substr(0, 5) + " ";
  EXPECT_EQ(levels, "3INFO: 0ERROR 3INFO: 0ERROR ");
  ClearRecords();
  Access::DropRegulator(*agent);
  Access::Regulate(*agent, "192.0.2.10", true);
  EXPECT_TRUE(World().regulatorCalls.empty() && World().traces.empty());
}

TEST_F(LanRegulatorTest, WhenSeveralInterfacesCarryTheOutgoingAddressTheLastDecides) {
  for (bool ethLast : {false, true}) {
    World().Reset();
    AddInterface(ethLast ? "br0" : "eth0", "192.0.2.1");
    AddInterface(ethLast ? "eth0" : "br0", "192.0.2.1");
    World().routes["192.0.2.10"] = "192.0.2.1";
    Access::OpenRegulator(*agent);
    Access::Regulate(*agent, "192.0.2.10", true);
    EXPECT_EQ(World().regulatorCalls, (ethLast ? Lines{"open", "add 192.0.2.10"} : Lines{"open"}));
  }
}

TEST_F(LanRegulatorTest, AMalformedAddressIsNeitherAdmittedNorRemovedNorLookedUp) {
  // inet_addr would read each of these as some address (all ones for most).
  for (const char* bad : {"255.255.255.255x", "not-an-address", "", "192.0.2", "0x7f.1", "192.0.2.10 "}) {
    ClearRecords();
    Access::Regulate(*agent, bad, true);
    Access::Regulate(*agent, bad, false);
    const auto traces = World().TraceTexts();  // calls and lookups, traces, the first trace
    EXPECT_EQ(std::to_string(World().routeLookups + World().regulatorCalls.size()) + " " +
                  std::to_string(traces.size()) + " " + traces.at(0),
              std::string("0 2 ERROR:SIP Trunk Agent: Slave address '") + bad + "' is not a dotted IPv4 address; not admitted\n");
  }
  // The registration itself goes on: table, store and notification.
  ClearRecords();
  agent->OnConfirmUserState(Account("eve", "pw", "192.0.2.300", "5060"), true, 0, true);
  EXPECT_EQ(Access::Slaves(*agent).size() + World().TimelineOf("store:").size() + World().notices.size(), 3u);
  EXPECT_TRUE(World().regulatorCalls.empty());
}

// The faults once found here: an address shared by two registrations left
// with the first to go; a lost admission (flushed ruleset) stayed lost at the
// next refresh; type 0 loaded stored slaves without admitting them.
TEST_F(LanRegulatorTest, TheSetFollowsSharedAddressesRefreshesAndActivation) {
  using Addresses = std::set<std::string>;
  const auto admitted = [] {
    std::lock_guard<std::mutex> lock(World().mutex);
    return World().admitted;
  };
  const auto confirm = [this](const char* user, const char* address, const char* port, bool registered) {
    agent->OnConfirmUserState(Account(user, "pw", address, port), registered, 0, true);
  };
  World().storedUsers = {{"t1", "alice", "pw"}};
  World().roles.bMasterEnabled = true;
  agent->OnSetUsersList();
  confirm("alice", "192.0.2.10", "5060", true);
  confirm("bob", "192.0.2.10", "5060", true);    // a second trunk of the same device
  confirm("carol", "192.0.2.10", "5062", true);  // a second port
  confirm("alice", "192.0.2.10", "5060", false);
  EXPECT_EQ(admitted(), Addresses{"192.0.2.10"});
  confirm("bob", "192.0.2.11", "5060", true);  // bob moves away; carol stays
  EXPECT_EQ(admitted(), (Addresses{"192.0.2.10", "192.0.2.11"}));
  confirm("carol", "192.0.2.10", "5062", false);
  EXPECT_EQ(admitted(), Addresses{"192.0.2.11"});

  World().admitted.clear();  // the ruleset was flushed under the agent
  ClearRecords();
  confirm("bob", "192.0.2.11", "5060", true);
  confirm("dave", "198.51.100.7", "5060", true);
  EXPECT_EQ(admitted(), Addresses{"192.0.2.11"});
  EXPECT_EQ(World().TimelineOf("trace:").size(), 2u) << "the confirmation lines; the re-admission is quiet";

  Update({"1"});  // the master role goes off: every slave leaves
  EXPECT_TRUE(admitted().empty());
  World().storedSlaves = {SlaveReg{"alice", "pw", "192.0.2.10", "5060"}, SlaveReg{"bob", "pw", "198.51.100.7", "5060"}};
  Update({"0"});
  EXPECT_EQ(admitted(), Addresses{"192.0.2.10"});
}

}  // namespace
