// Slaves registering on this master: the table, the store, the regulator and
// the notifications in step, first match in table order.
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

TEST_F(MasterRoleTest, NewSlaveIsStoredAppendedAdmittedThenAnnounced) {
  CallParams account = Account("alice", "pw", "192.0.2.10", "5060");
  account.sHostName = "slave-a";
  Confirm(account, true);

  ASSERT_EQ(Access::Slaves(*agent).size(), 1u);
  const std::vector<std::string> expected = {
      "trace:MESS:SIP Trunk Agent(MASTER): Incoming ConfirmUserState ...FROM: slave-a  alice@192.0.2.10:5060  # rez: "
      "Register # error: 0\n",
      "store:SetRegisterParam alice@192.0.2.10:5060 false",
      "trace:INFO:SIP Trunk Agent: Adding Slave 192.0.2.10 to LAN-traffic regulator\n",
      "arpnl:add 192.0.2.10",
      "notify:SIPTunnelMaster|Registration|Successfully registered user alice(192.0.2.10:5060) on master device ",
  };
  EXPECT_EQ(World().Timeline(), expected);
}

TEST_F(MasterRoleTest, RepeatedRegistrationOnlyRefreshesTheStore) {
  Access::SetSlaves(*agent, {SlaveReg("alice", "old", "192.0.2.10", "5060")});
  Confirm(Account("alice", "new", "192.0.2.10", "5060"), true);
  EXPECT_EQ(World().TimelineOf("store:"), std::vector<std::string>{"store:SetRegisterParam alice@192.0.2.10:5060 true"});
  EXPECT_EQ(World().regulatorCalls, std::vector<std::string>{"add 192.0.2.10"});  // a quiet re-admission
  EXPECT_TRUE(World().notices.empty());
  EXPECT_EQ(Access::Slaves(*agent).size(), 1u);
}

TEST_F(MasterRoleTest, KnownAccountAtNewAddressMovesRemovingOldBeforeAdmittingNew) {
  Access::SetSlaves(*agent, {SlaveReg("alice", "pw", "192.0.2.10", "5060")});
  Confirm(Account("alice", "pw", "192.0.2.20", "5070"), true);

  auto slaves = Access::Slaves(*agent);
  ASSERT_EQ(slaves.size(), 1u);
  EXPECT_EQ(slaves[0].sHostAddr, "192.0.2.20");
  EXPECT_EQ(slaves[0].sHostPort, "5070");
  EXPECT_EQ(World().TimelineOf("store:"),
            std::vector<std::string>{"store:ChangeRegisterParam alice@192.0.2.10:5060 -> alice@192.0.2.20:5070"});
  EXPECT_EQ(World().regulatorCalls, (std::vector<std::string>{"del 192.0.2.10", "add 192.0.2.20"}));
  ASSERT_EQ(World().notices.size(), 1u);
  EXPECT_EQ(World().notices[0].text, "Successfully registered user alice(192.0.2.20:5070) on master device ");
}

TEST_F(MasterRoleTest, SameUserWithAnotherPasswordIsASecondSlave) {
  Access::SetSlaves(*agent, {SlaveReg("alice", "pw", "192.0.2.10", "5060")});
  Confirm(Account("alice", "other", "192.0.2.20", "5060"), true);
  ASSERT_EQ(Access::Slaves(*agent).size(), 2u);
  EXPECT_EQ(World().TimelineOf("store:"), std::vector<std::string>{"store:SetRegisterParam alice@192.0.2.20:5060 false"});
}

TEST_F(MasterRoleTest, ARefreshOfAnyEntryGoesBeforeAMoveAndANewAddressMovesTheFirstEntry) {
  // One account at X and at Y: a registration from Y refreshes Y (never moves X
  // onto it, which would leave two entries for the store's one row), and takes
  // the password it came with, as the store's row does.
  Access::SetSlaves(*agent, {SlaveReg("alice", "pw", "192.0.2.10", "5060"), SlaveReg("alice", "pw", "192.0.2.20", "5060")});
  Confirm(Account("alice", "new", "192.0.2.20", "5060"), true);
  auto slaves = Access::Slaves(*agent);
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(ToText(slaves[0]) + " " + slaves[0].sUserPasswd, "alice@192.0.2.10:5060 pw");
  EXPECT_EQ(ToText(slaves[1]) + " " + slaves[1].sUserPasswd, "alice@192.0.2.20:5060 new");
  EXPECT_TRUE(World().notices.empty());  // a refresh announces nothing

  // From a new address: the first entry of the account moves there.
  Confirm(Account("alice", "pw", "192.0.2.30", "5080"), true);
  slaves = Access::Slaves(*agent);
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(ToText(slaves[0]), "alice@192.0.2.30:5080");
  EXPECT_EQ(ToText(slaves[1]), "alice@192.0.2.20:5060");
}

TEST_F(MasterRoleTest, UnregistrationRemovesTheEntryAndAnnouncesEvenWithoutOne) {
  Access::SetSlaves(*agent, {SlaveReg("alice", "pw", "192.0.2.10", "5060")});
  Confirm(Account("alice", "", "192.0.2.10", "5060"), false, 9);
  EXPECT_TRUE(Access::Slaves(*agent).empty());
  EXPECT_EQ(World().regulatorCalls, std::vector<std::string>{"del 192.0.2.10"});
  EXPECT_EQ(World().TimelineOf("store:"), std::vector<std::string>{"store:SetUnregisterParam alice@192.0.2.10:5060"});

  ClearRecords();
  Confirm(Account("alice", "", "192.0.2.10", "5060"), false);  // no such slave any more
  EXPECT_TRUE(World().TimelineOf("store:").empty());
  EXPECT_TRUE(World().regulatorCalls.empty());
  ASSERT_EQ(World().notices.size(), 1u);
  EXPECT_EQ(World().notices[0].text, "Successfully unregistered user alice(192.0.2.10:5060) from master device ");
}

TEST_F(MasterRoleTest, SlaveReachedOverTheWanIsNeverRegulated) {
  Confirm(Account("bob", "pw", "198.51.100.7", "5060"), true);
  Confirm(Account("bob", "pw", "198.51.100.7", "5060"), false);
  EXPECT_TRUE(World().regulatorCalls.empty());
  EXPECT_EQ(World().notices.size(), 2u);
}

}  // namespace
