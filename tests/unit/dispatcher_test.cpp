// Update messages and the SIP trunk operations they drive, and what a role going off hands the user agent.
// The lists on each connection are tests/system/test_ua_side.py's; repeated activations, reconnections and
// edits of unknown trunks fuzz/model_fuzzer.cpp's.
#include "unit/agent_fixture.h"

namespace {

class DispatcherTest : public LanAgentTest {
 protected:
  void SetUp() override {
    LanAgentTest::SetUp();
    Access::SetMasterActive(*agent, true);
  }
};

// Only the exact text "1" is a true flag; type 7 is gated on neither role.
// Which types are dropped, and how they move the role flags, are
// fuzz/model_fuzzer.cpp's datagram checks.
TEST_F(DispatcherTest, OnlyOneIsATrueFlagAndTrunksToMastersAreNotGated) {
  for (const char* flag : {"1", "true", " 1", "", "0", "01", "1 "}) {
    ClearRecords();
    Update({" 4z", "t", "u", "p", flag});  // the type reads as strtol reads it
    ASSERT_EQ(World().uaCalls.size(), 1u) << flag;
    EXPECT_EQ(World().uaCalls[0].newParams.nFlags, std::string(flag) == "1" ? 256u : 0u) << "flag '" << flag << "'";
  }
  Access::SetMasterActive(*agent, false);
  ClearRecords();
  World().trunkStates["uplink"] = 0;
  Update({"7", "uplink", "uplink"});
  EXPECT_EQ(World().TimelineOf("store:GetStateOfTrunkToMaster").size(), 1u);
}

TEST_F(DispatcherTest, AddAllowsDuplicatesAndDeleteTakesTheFirstInMessageOrder) {
  Update({"4", "trunk1", "alice", "secret", "0"});
  Update({"4", "trunk1", "alice2", "secret2", "0"});
  Update({"4", "b", "bob", "pb", "0"});
  EXPECT_EQ(World().TimelineOf("ua:")[0], "ua:ChangeUserParams master=1 {,,,,,0} -> {alice,secret,,,,0}");
  EXPECT_EQ(Access::Users(*agent).size(), 3u);
  ClearRecords();
  Update({"6", "b", "trunk1"});
  EXPECT_EQ(World().TimelineOf("ua:"), (Lines{"ua:ChangeUserParams master=1 {bob,pb,,,,0} -> {,,,,,0}",
                                              "ua:ChangeUserParams master=1 {alice,secret,,,,0} -> {,,,,,0}"}));
  auto users = Access::Users(*agent);
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].sUserName, "alice2");  // the first of the two went
}

TEST_F(DispatcherTest, RenameOnlyKeepsTheRestAndAFullEditDropsTheOldUsersFirstSlave) {
  Access::SetUsers(*agent, {{"a", "alice", "old-pw"}});
  Access::SetSlaves(*agent, {SlaveReg{"alice", "old-pw", "192.0.2.10", "5060"}, SlaveReg{"carol", "c", "192.0.2.11", "5060"},
                             SlaveReg{"alice", "old-pw", "192.0.2.12", "5060"}});
  Update({"5", "a", "a2"});  // a rename only: nothing but the name changes
  EXPECT_EQ(Access::Users(*agent).at(0).sUserName, "alice");
  EXPECT_TRUE(World().uaCalls.empty());
  EXPECT_EQ(Access::Slaves(*agent).size(), 3u);
  ClearRecords();
  Update({"5", "a2", "b", "carol", "new-pw", "1"});
  EXPECT_EQ(Effects(), (Lines{"ua:ChangeUserParams master=1 {alice,old-pw,,,,0} -> {carol,new-pw,,,,256}",
                              "arpnl:del 192.0.2.10", "store:SetUnregisterParam alice@192.0.2.10:5060"}));
  const auto users = Access::Users(*agent);
  EXPECT_EQ(users.at(0).sTrunkName + " " + users.at(0).sUserName, "b carol");
  // Only the first slave of the previous user went; the new user's slave stays.
  const auto slaves = Access::Slaves(*agent);
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(ToText(slaves[0]) + " " + ToText(slaves[1]), "carol@192.0.2.11:5060 alice@192.0.2.12:5060");
}

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
