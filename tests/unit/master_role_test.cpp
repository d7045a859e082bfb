// Slaves registering on this master: the table, the store, the regulator and
// the notifications in step; which slaves reach the regulator, what is traced
// when it fails, and that its set agrees with the registered slaves reached
// through eth0. Register, move and unregister end to end are
// tests/system/test_ua_side.py's; WAN slaves never regulated, test_regulator.py's.
#include <set>

#include "unit/agent_fixture.h"

namespace {

class MasterRoleTest : public LanAgentTest {
 protected:
  void Confirm(const CallParams& account, bool registered, unsigned error = 0) {
    agent->OnConfirmUserState(account, registered, error, true);
  }
  static std::string Announced(const char* what) {
    return std::string("notify:SIPTunnelMaster|Registration|Successfully ") + what + " master device ";
  }
};

// Stored before it is admitted, admitted before it is announced.
TEST_F(MasterRoleTest, NewSlaveIsStoredAdmittedThenAnnouncedAndAMoveRemovesTheOldAddressFirst) {
  Confirm(Account("alice", "pw", "192.0.2.10", "5060"), true);
  EXPECT_EQ(Effects(), (Lines{"store:SetRegisterParam alice@192.0.2.10:5060 false", "arpnl:add 192.0.2.10",
                              Announced("registered user alice(192.0.2.10:5060) on")}));
  ClearRecords();
  Confirm(Account("alice", "pw", "192.0.2.20", "5070"), true);
  EXPECT_EQ(Effects(), (Lines{"store:ChangeRegisterParam alice@192.0.2.10:5060 -> alice@192.0.2.20:5070",
                              "arpnl:del 192.0.2.10", "arpnl:add 192.0.2.20",
                              Announced("registered user alice(192.0.2.20:5070) on")}));
  ASSERT_EQ(Access::Slaves(*agent).size(), 1u);
  EXPECT_EQ(ToText(Access::Slaves(*agent)[0]), "alice@192.0.2.20:5070");
}

// Once, a confirmation took the first entry matching by registration OR by
// account, so a refresh of one of two entries of a user moved the other onto
// it (two table entries for the store's one row). A refresh of any entry goes
// before a move; it takes the password it came with and is quiet apart from
// refreshing the store and the admission; the same user with another password
// from another address is a second slave.
TEST_F(MasterRoleTest, ARefreshOfAnyEntryGoesBeforeAMoveAndANewAddressMovesTheFirstEntry) {
  Access::SetSlaves(*agent, {SlaveReg{"alice", "pw", "192.0.2.10", "5060"}, SlaveReg{"alice", "pw", "192.0.2.20", "5060"}});
  Confirm(Account("alice", "new", "192.0.2.20", "5060"), true);
  EXPECT_EQ(Effects(), (Lines{"store:SetRegisterParam alice@192.0.2.20:5060 true", "arpnl:add 192.0.2.20"}));
  auto slaves = Access::Slaves(*agent);
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(ToText(slaves[0]) + " " + slaves[0].sUserPasswd + " " + ToText(slaves[1]) + " " + slaves[1].sUserPasswd,
            "alice@192.0.2.10:5060 pw alice@192.0.2.20:5060 new");

  Confirm(Account("alice", "pw", "192.0.2.30", "5080"), true);  // from a new address: the first entry moves
  slaves = Access::Slaves(*agent);
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(ToText(slaves[0]) + " " + ToText(slaves[1]), "alice@192.0.2.30:5080 alice@192.0.2.20:5060");

  ClearRecords();
  Confirm(Account("alice", "other", "192.0.2.40", "5060"), true);
  EXPECT_EQ(Access::Slaves(*agent).size(), 3u);
  EXPECT_EQ(World().TimelineOf("store:"), Lines{"store:SetRegisterParam alice@192.0.2.40:5060 false"});
}

TEST_F(MasterRoleTest, UnregistrationRemovesTheEntryAndAnnouncesEvenWithoutOne) {
  Access::SetSlaves(*agent, {SlaveReg{"alice", "pw", "192.0.2.10", "5060"}});
  Confirm(Account("alice", "", "192.0.2.10", "5060"), false, 9);
  EXPECT_TRUE(Access::Slaves(*agent).empty());
  const std::string announced = Announced("unregistered user alice(192.0.2.10:5060) from");
  EXPECT_EQ(Effects(), (Lines{"arpnl:del 192.0.2.10", "store:SetUnregisterParam alice@192.0.2.10:5060", announced}));
  ClearRecords();
  Confirm(Account("alice", "", "192.0.2.10", "5060"), false);  // no such slave any more
  EXPECT_EQ(Effects(), Lines{announced});
}

// The plain table operations: the key is user, address and port (case counts,
// the password does not); the first match goes and the order of the rest stays.
TEST_F(MasterRoleTest, TableRemovalTakesTheFirstMatchByKeyAndKeepsOrder) {
  Access::SetSlaves(*agent, {SlaveReg{"alice", "a", "192.0.2.10", "5060"}, SlaveReg{"Alice", "b", "192.0.2.10", "5060"},
                             SlaveReg{"alice", "c", "192.0.2.10", "5060"}, SlaveReg{"bob", "d", "192.0.2.11", "5060"}});
  const auto passwords = [this] {
    std::string out;
    for (const auto& s : Access::Slaves(*agent)) out += s.sUserPasswd;
    return out;
  };
  bool atEnd = true;
  EXPECT_EQ(Access::RemoveSlave(*agent, SlaveReg{"alice", "other", "192.0.2.10", "5060"}, &atEnd), 0u);
  EXPECT_FALSE(atEnd);  // the position of the entry that followed
  EXPECT_EQ(passwords(), "bcd");
  Access::RemoveSlave(*agent, SlaveReg{"alice", "", "192.0.2.10", "5061"}, &atEnd);  // no match
  Access::RemoveSlave(*agent, SlaveReg{"alice", "", "192.0.2.10", "5060"}, &atEnd);
  EXPECT_EQ(passwords(), "bd");
  Access::RemoveSlave(*agent, SlaveReg{"bob", "", "192.0.2.11", "5060"}, &atEnd);
  EXPECT_TRUE(atEnd);  // removing the last entry gives the end position
  EXPECT_EQ(passwords(), "b");

  Access::SetTrunks(*agent, {TrunkEntry("t1", "u1"), TrunkEntry("t2", "u2"), TrunkEntry("t1", "u3")});
  Access::RemoveTrunk(*agent, "T1");  // case counts: no match
  EXPECT_EQ(Access::Trunks(*agent).size(), 3u);
  Access::RemoveTrunk(*agent, "t1");
  const auto trunks = Access::Trunks(*agent);
  ASSERT_EQ(trunks.size(), 2u);
  EXPECT_EQ(trunks[0].sUserName + trunks[1].sUserName, "u2u3");
}

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
