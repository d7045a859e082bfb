// Update messages, the SIP trunk operations they drive, and what the slave role going off hands the user agent.
// The lists on each connection are tests/system/test_ua_side.py's; renames, edits dropping the previous user's
// first slave and the master role going off tests/system/test_model.py's; repeated activations, reconnections
// and edits of unknown trunks fuzz/model_fuzzer.cpp's.
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

using AccountListsTest = LanAgentTest;

TEST_F(AccountListsTest, SwitchingTheSlaveOffMarksEachTrunkInactiveOnceAndAnEmptyRoleStillHandsOverAList) {
  World().storedTrunks = {TrunkEntry("uplink", "bob")};
  World().storedSlaves = {SlaveReg{"alice", "a-pw", "192.0.2.10", "5060"}};
  World().roles.bSlaveEnabled = true;
  agent->OnPartyStateChanged(true);
  agent->OnSetUsersList();
  ClearRecords();
  EXPECT_FALSE(Update({"3"}));
  EXPECT_EQ(World().TimelineOf("store:"), Lines{"store:SetTrunkToMasterInActiveState uplink"});
  EXPECT_EQ(World().TimelineOf("ua:"), Lines{"ua:SetUsersList active=0 master=0 count=1"});
  EXPECT_EQ(World().uaCalls.back().list[0].sHostName, "unit-device");
  EXPECT_TRUE(Access::Trunks(*agent).empty());
  EXPECT_FALSE(Access::SlaveActive(*agent));

  ClearRecords();
  EXPECT_FALSE(Update({"0"}));
  EXPECT_EQ(World().TimelineOf("ua:"), Lines{"ua:SetUsersList active=1 master=1 count=0"});
  EXPECT_EQ(World().regulatorCalls, Lines{"add 192.0.2.10"});
}

}  // namespace
