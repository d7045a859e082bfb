// Slaves registering on this master: the table, the store, the regulator and
// the notifications in step. Register, move and unregister end to end are
// tests/system/test_ua_side.py's; WAN slaves never regulated, test_regulator.py's.
#include "unit/agent_fixture.h"

namespace {

class MasterRoleTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    UseLanAndWan();
  }
  void Confirm(const CallParams& account, bool registered, unsigned error = 0) {
    agent->OnConfirmUserState(account, registered, error, true);
  }
};

// Stored before it is admitted, admitted before it is announced.
TEST_F(MasterRoleTest, NewSlaveIsStoredAdmittedThenAnnouncedAndAMoveRemovesTheOldAddressFirst) {
  Confirm(Account("alice", "pw", "192.0.2.10", "5060"), true);
  EXPECT_EQ(Effects(), (std::vector<std::string>{
                           "store:SetRegisterParam alice@192.0.2.10:5060 false", "arpnl:add 192.0.2.10",
                           "notify:SIPTunnelMaster|Registration|Successfully registered user alice(192.0.2.10:5060) on "
                           "master device "}));
  ClearRecords();
  Confirm(Account("alice", "pw", "192.0.2.20", "5070"), true);
  EXPECT_EQ(Effects(), (std::vector<std::string>{
                           "store:ChangeRegisterParam alice@192.0.2.10:5060 -> alice@192.0.2.20:5070",
                           "arpnl:del 192.0.2.10", "arpnl:add 192.0.2.20",
                           "notify:SIPTunnelMaster|Registration|Successfully registered user alice(192.0.2.20:5070) on "
                           "master device "}));
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
  Access::SetSlaves(*agent, {SlaveReg("alice", "pw", "192.0.2.10", "5060"), SlaveReg("alice", "pw", "192.0.2.20", "5060")});
  Confirm(Account("alice", "new", "192.0.2.20", "5060"), true);
  EXPECT_EQ(Effects(), (std::vector<std::string>{"store:SetRegisterParam alice@192.0.2.20:5060 true", "arpnl:add 192.0.2.20"}));
  auto slaves = Access::Slaves(*agent);
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(ToText(slaves[0]) + " " + slaves[0].sUserPasswd, "alice@192.0.2.10:5060 pw");
  EXPECT_EQ(ToText(slaves[1]) + " " + slaves[1].sUserPasswd, "alice@192.0.2.20:5060 new");

  Confirm(Account("alice", "pw", "192.0.2.30", "5080"), true);  // from a new address: the first entry moves
  slaves = Access::Slaves(*agent);
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(ToText(slaves[0]) + " " + ToText(slaves[1]), "alice@192.0.2.30:5080 alice@192.0.2.20:5060");

  ClearRecords();
  Confirm(Account("alice", "other", "192.0.2.40", "5060"), true);
  EXPECT_EQ(Access::Slaves(*agent).size(), 3u);
  EXPECT_EQ(World().TimelineOf("store:"), std::vector<std::string>{"store:SetRegisterParam alice@192.0.2.40:5060 false"});
}

TEST_F(MasterRoleTest, UnregistrationRemovesTheEntryAndAnnouncesEvenWithoutOne) {
  Access::SetSlaves(*agent, {SlaveReg("alice", "pw", "192.0.2.10", "5060")});
  Confirm(Account("alice", "", "192.0.2.10", "5060"), false, 9);
  EXPECT_TRUE(Access::Slaves(*agent).empty());
  EXPECT_EQ(Effects(), (std::vector<std::string>{
                           "arpnl:del 192.0.2.10", "store:SetUnregisterParam alice@192.0.2.10:5060",
                           "notify:SIPTunnelMaster|Registration|Successfully unregistered user alice(192.0.2.10:5060) "
                           "from master device "}));
  ClearRecords();
  Confirm(Account("alice", "", "192.0.2.10", "5060"), false);  // no such slave any more
  EXPECT_EQ(Effects(), (std::vector<std::string>{
                           "notify:SIPTunnelMaster|Registration|Successfully unregistered user alice(192.0.2.10:5060) "
                           "from master device "}));
}

}  // namespace
