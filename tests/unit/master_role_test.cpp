// Slaves registering on this master, and which addresses reach the regulator. Register, move and unregister,
// with their notifications, are tests/system/test_model.py's; the set against the slaves reached through eth0
// test_regulator.py's and fuzz/model_fuzzer.cpp's.
#include "unit/agent_fixture.h"

namespace {

class MasterRoleTest : public LanAgentTest {
 protected:
  void Confirm(const CallParams& account, bool registered, unsigned error = 0) {
    agent->OnConfirmUserState(account, registered, error, true);
  }
};

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

using LanRegulatorTest = LanAgentTest;

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

// inet_addr would read each of these as some address (all ones for most).
TEST_F(LanRegulatorTest, AMalformedAddressIsNeitherAdmittedNorRemovedNorLookedUp) {
  for (const char* bad : {"255.255.255.255x", "not-an-address", "", "0x7f.1", "192.0.2.10 "}) {
    Access::Regulate(*agent, bad, true);
    Access::Regulate(*agent, bad, false);
  }
  EXPECT_EQ(World().routeLookups + World().regulatorCalls.size(), 0u);
  // The registration itself goes on: table, store and notification.
  agent->OnConfirmUserState(Account("eve", "pw", "192.0.2.300", "5060"), true, 0, true);
  EXPECT_EQ(Access::Slaves(*agent).size() + World().TimelineOf("store:").size() + World().notices.size(), 3u);
  EXPECT_TRUE(World().regulatorCalls.empty());
}

}  // namespace
