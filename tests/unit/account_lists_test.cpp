// Whole lists for the user agent, and the per-connection load that pushes them.
// Their order and content on each connection are tests/system/test_ua_side.py's;
// here what a repeated or a later request, and a role going off, change.
#include "unit/agent_fixture.h"

namespace {

class AccountListsTest : public LanAgentTest {
 protected:
  void SetUp() override {
    LanAgentTest::SetUp();
    World().storedUsers = {{"trunk1", "alice", "a-pw"}, {"trunk2", "alice", "a-pw"}};
    World().storedTrunks = {TrunkEntry("uplink", "bob")};
    World().storedSlaves = {SlaveReg{"alice", "a-pw", "192.0.2.10", "5060"}};
  }
  void Connect(bool master) {
    (master ? World().roles.bMasterEnabled : World().roles.bSlaveEnabled) = true;
    agent->OnPartyStateChanged(true);
    agent->OnSetUsersList();
  }
};

TEST_F(AccountListsTest, SecondRequestOnOneConnectionChangesNothingAndAReconnectionLoadsAgain) {
  Connect(true);
  ClearRecords();
  agent->OnSetUsersList();
  EXPECT_EQ(Effects(), Lines{});

  agent->OnPartyStateChanged(false);
  EXPECT_FALSE(Access::UaConnected(*agent));
  EXPECT_EQ(Access::Slaves(*agent).size(), 1u);  // a disconnection keeps the tables
  ClearRecords();
  agent->OnSetUsersList();
  EXPECT_EQ(World().TimelineOf("store:InitRegisterSlaveList").size(), 1u);
  EXPECT_EQ(Access::Slaves(*agent).size(), 1u);  // the store's merge adds no second copy
  EXPECT_EQ(World().TimelineOf("ua:").size(), 1u);
  EXPECT_EQ(Access::Users(*agent).size(), 2u);  // reloaded, not appended
}

TEST_F(AccountListsTest, EachRoleAloneLoadsOnlyItsOwnLists) {
  Connect(false);
  EXPECT_EQ(World().TimelineOf("ua:"), Lines{"ua:SetUsersList active=1 master=0 count=1"});
  EXPECT_EQ(World().uaCalls[0].list[0].sHostName, "unit-device");  // named as a single registration is
  EXPECT_TRUE(World().TimelineOf("store:InitRegisterSlaveList").empty() && World().regulatorCalls.empty());

  agent->OnPartyStateChanged(false);
  World().roles = CSIPTrunkBase::STAgentStates();
  ClearRecords();
  agent->OnSetUsersList();
  EXPECT_TRUE(World().TimelineOf("ua:").empty());
  EXPECT_TRUE(Access::UaConnected(*agent));
  EXPECT_FALSE(Access::SlaveActive(*agent));
}

TEST_F(AccountListsTest, SwitchingTheMasterOffWithdrawsEverySlaveAndKeepsTheTrunks) {
  World().storedSlaves.push_back(SlaveReg{"alice", "a-pw", "192.0.2.11", "5060"});
  Connect(true);
  ClearRecords();
  EXPECT_FALSE(Update({"1"}));
  EXPECT_EQ(World().TimelineOf("ua:"), Lines{"ua:SetUsersList active=0 master=1 count=2"});
  EXPECT_EQ(World().regulatorCalls, (Lines{"del 192.0.2.10", "del 192.0.2.11"}));
  EXPECT_EQ(World().TimelineOf("store:SetUnregisterParam").size(), 2u);
  EXPECT_TRUE(Access::Slaves(*agent).empty());
  EXPECT_EQ(Access::Users(*agent).size(), 2u);
  EXPECT_FALSE(Access::MasterActive(*agent));
}

TEST_F(AccountListsTest, SwitchingTheSlaveOffMarksEachTrunkInactiveOnceAndAnEmptyRoleStillHandsOverAList) {
  Connect(false);
  ClearRecords();
  EXPECT_FALSE(Update({"3"}));
  EXPECT_EQ(World().TimelineOf("store:"), Lines{"store:SetTrunkToMasterInActiveState uplink"});
  EXPECT_EQ(World().TimelineOf("ua:"), Lines{"ua:SetUsersList active=0 master=0 count=1"});
  EXPECT_EQ(World().uaCalls.back().list[0].sHostName, "unit-device");
  EXPECT_TRUE(Access::Trunks(*agent).empty());
  EXPECT_FALSE(Access::SlaveActive(*agent));

  World().storedUsers.clear();
  ClearRecords();
  EXPECT_FALSE(Update({"0"}));
  EXPECT_EQ(World().TimelineOf("ua:"), Lines{"ua:SetUsersList active=1 master=1 count=0"});
  EXPECT_EQ(World().regulatorCalls, Lines{"add 192.0.2.10"});
}

}  // namespace
