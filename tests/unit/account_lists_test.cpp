// Whole lists for the user agent, and the per-connection load that pushes them.
#include "unit/agent_fixture.h"

namespace {

class AccountListsTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    UseLanAndWan();
    World().storedUsers = {{"trunk1", "alice", "a-pw"}, {"trunk2", "alice", "a-pw"}};
    CSIPTrunkBase::STAccessibleSlave uplink = TrunkEntry("uplink", "bob", "192.0.2.1", "5060");
    World().storedTrunks = {uplink};
    World().storedSlaves = {SlaveReg("alice", "a-pw", "192.0.2.10", "5060")};
  }
  void Connect() {
    agent->OnPartyStateChanged(true);
    agent->OnSetUsersList();
  }
};

// The order and content of the lists pushed on each connection are
// tests/system/test_ua_side.py's; here what a repeated or a later request,
// and a role going off, change.
TEST_F(AccountListsTest, SecondRequestOnOneConnectionChangesNothingAndAReconnectionLoadsAgain) {
  World().roles.bMasterEnabled = true;
  Connect();
  ClearRecords();
  agent->OnSetUsersList();
  EXPECT_TRUE(World().TimelineOf("ua:").empty() && World().TimelineOf("store:").empty());

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
  World().roles.bSlaveEnabled = true;
  Connect();
  EXPECT_EQ(World().TimelineOf("ua:"), std::vector<std::string>{"ua:SetUsersList active=1 master=0 count=1"});
  EXPECT_EQ(World().uaCalls[0].list[0].sHostName, "unit-device");  // named as a single registration is
  EXPECT_TRUE(World().TimelineOf("store:InitRegisterSlaveList").empty());
  EXPECT_TRUE(World().regulatorCalls.empty());

  agent->OnPartyStateChanged(false);
  World().roles = CSIPTrunkBase::STAgentStates();
  ClearRecords();
  agent->OnSetUsersList();
  EXPECT_TRUE(World().TimelineOf("ua:").empty());
  EXPECT_TRUE(Access::UaConnected(*agent));
  EXPECT_FALSE(Access::SlaveActive(*agent));
}

TEST_F(AccountListsTest, SwitchingTheMasterOffWithdrawsEverySlaveAndKeepsTheTrunks) {
  World().roles.bMasterEnabled = true;
  World().storedSlaves.push_back(SlaveReg("alice", "a-pw", "192.0.2.11", "5060"));
  Connect();
  ClearRecords();
  EXPECT_FALSE(Update({"1"}));
  EXPECT_EQ(World().TimelineOf("ua:"), std::vector<std::string>{"ua:SetUsersList active=0 master=1 count=2"});
  EXPECT_EQ(World().regulatorCalls, (std::vector<std::string>{"del 192.0.2.10", "del 192.0.2.11"}));
  EXPECT_EQ(World().TimelineOf("store:SetUnregisterParam").size(), 2u);
  EXPECT_TRUE(Access::Slaves(*agent).empty());
  EXPECT_EQ(Access::Users(*agent).size(), 2u);
  EXPECT_FALSE(Access::MasterActive(*agent));
}

TEST_F(AccountListsTest, SwitchingTheSlaveOffMarksEachTrunkInactiveOnceAndEmptiesTheTable) {
  World().roles.bSlaveEnabled = true;
  Connect();
  ClearRecords();
  EXPECT_FALSE(Update({"3"}));
  EXPECT_EQ(World().TimelineOf("store:"), std::vector<std::string>{"store:SetTrunkToMasterInActiveState uplink"});
  EXPECT_EQ(World().TimelineOf("ua:"), std::vector<std::string>{"ua:SetUsersList active=0 master=0 count=1"});
  EXPECT_EQ(World().uaCalls.back().list[0].sHostName, "unit-device");
  EXPECT_TRUE(Access::Trunks(*agent).empty());
  EXPECT_FALSE(Access::SlaveActive(*agent));
}

TEST_F(AccountListsTest, AnEmptyRoleStillHandsOverAnEmptyList) {
  World().storedUsers.clear();
  EXPECT_FALSE(Update({"0"}));
  EXPECT_EQ(World().TimelineOf("ua:"), std::vector<std::string>{"ua:SetUsersList active=1 master=1 count=0"});
  EXPECT_EQ(World().regulatorCalls, std::vector<std::string>{"add 192.0.2.10"});
}

}  // namespace
