// Trunks towards a master: register, unregister, edit, delete.
#include "unit/agent_fixture.h"

namespace {

class SlaveRoleTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    World().trunkParams["uplink"] = {"bob", "pw", "192.0.2.1", "5060"};
    World().trunkStates["uplink"] = 1;
    Access::SetUaConnected(*agent, true);
    ClearRecords();
  }
};

TEST_F(SlaveRoleTest, RegisterAppendsAFreshEntryThenSendsTheAccountThenNotesIt) {
  Update({"7", "uplink", "uplink"});
  const auto trunks = Access::Trunks(*agent);
  ASSERT_EQ(trunks.size(), 1u);
  EXPECT_TRUE(trunks[0].bNotifySuccess);
  EXPECT_FALSE(trunks[0].bActive);
  EXPECT_EQ(trunks[0].nLastError, 0u);
  const auto timeline = World().Timeline();
  ASSERT_GE(timeline.size(), 6u);
  EXPECT_EQ(timeline[3], "trace:MESS:SIP Trunk Agent: Send Register to: bob@192.0.2.1:5060 \n");
  EXPECT_EQ(timeline[4].rfind("ua:ChangeUserParams master=0 {,,,,,0} -> {bob,pw,192.0.2.1,5060,", 0), 0u);
  EXPECT_EQ(timeline[5], "store:ChangeTrunkToMasterConfig uplink");
  ASSERT_EQ(World().uaCalls.size(), 1u);
  EXPECT_EQ(World().uaCalls[0].newParams.sHostName, "unit-device");  // this device's host name

  Update({"7", "uplink", "uplink"});
  EXPECT_EQ(Access::Trunks(*agent).size(), 2u);  // two registrations, two entries
}

TEST_F(SlaveRoleTest, NothingHappensWhileTheUserAgentIsAway) {
  Access::SetUaConnected(*agent, false);
  Update({"7", "uplink", "uplink"});
  World().trunkStates["uplink"] = 0;
  Update({"7", "uplink", "uplink"});
  EXPECT_TRUE(Access::Trunks(*agent).empty());
  EXPECT_TRUE(World().uaCalls.empty());
  EXPECT_TRUE(World().notices.empty());
  EXPECT_EQ(World().TimelineOf("store:").size(), 2u);  // the two state queries only
}

TEST_F(SlaveRoleTest, ATrunkWithNothingToRegisterLeavesNoEntryToShadowALaterOne) {
  World().trunkParams["uplink"] = {"", "", "", ""};
  Update({"7", "uplink", "uplink"});  // e.g. an edit of a disabled trunk re-registers nothing
  EXPECT_TRUE(Access::Trunks(*agent).empty());
  EXPECT_TRUE(World().uaCalls.empty());
  EXPECT_TRUE(World().TimelineOf("store:ChangeTrunkToMasterConfig").empty());

  // Enabled later, then deleted: the delete withdraws the account that was sent.
  World().trunkParams["uplink"] = {"bob", "pw", "192.0.2.1", "5060"};
  Update({"7", "uplink", "uplink"});
  Update({"9", "uplink"});
  ASSERT_EQ(World().uaCalls.size(), 2u);
  EXPECT_EQ(World().uaCalls[1].oldParams.sUserName, "bob");
  EXPECT_TRUE(World().uaCalls[1].newParams == CallParams());
}

TEST_F(SlaveRoleTest, DisablingRemovesTheEntryWithdrawsTheAccountAndAnnounces) {
  Access::SetTrunks(*agent, {TrunkEntry("uplink", "bob")});
  World().trunkStates["uplink"] = 0;
  Update({"7", "uplink", "uplink"});
  EXPECT_TRUE(Access::Trunks(*agent).empty());
  EXPECT_EQ(World().TimelineOf("store:"),
            (std::vector<std::string>{"store:GetStateOfTrunkToMaster uplink", "store:GetTrunkToMasterParams uplink false",
                                      "store:SetTrunkToMasterInActiveState uplink"}));
  ASSERT_EQ(World().notices.size(), 1u);
  EXPECT_EQ(World().notices[0].text, "Unregistered user bob from master device 192.0.2.1:5060");
  EXPECT_TRUE(World().uaCalls[0].newParams == CallParams());
}

TEST_F(SlaveRoleTest, EditWithChangedParametersReRegistersUnderTheNewName) {
  Access::SetTrunks(*agent, {TrunkEntry("old", "bob")});
  World().trunkParams["new"] = {"bob2", "pw2", "192.0.2.2", "5070"};
  Update({"8", "old", "new", "1"});
  const auto trunks = Access::Trunks(*agent);
  ASSERT_EQ(trunks.size(), 1u);
  EXPECT_EQ(trunks[0].sTrunkName, "new");
  EXPECT_EQ(trunks[0].sUserName, "bob2");
  EXPECT_EQ(World().TimelineOf("store:GetTrunkToMasterParams"),
            (std::vector<std::string>{"store:GetTrunkToMasterParams new false", "store:GetTrunkToMasterParams new true"}));

  // The same edit with the user agent away only removes the old entry.
  Access::SetUaConnected(*agent, false);
  Access::SetTrunks(*agent, {TrunkEntry("old", "bob")});
  Update({"8", "old", "new", "1"});
  EXPECT_TRUE(Access::Trunks(*agent).empty());
}

TEST_F(SlaveRoleTest, RenameOnlyRenamesTheFirstEntryAndSendsNothing) {
  Access::SetTrunks(*agent, {TrunkEntry("old", "bob"), TrunkEntry("old", "bob")});
  Update({"8", "old", "new", "0"});
  auto trunks = Access::Trunks(*agent);
  EXPECT_EQ(trunks[0].sTrunkName, "new");
  EXPECT_EQ(trunks[1].sTrunkName, "old");
  Update({"8", "missing", "other", "true"});  // only "1" is true: a rename of nothing
  EXPECT_TRUE(World().uaCalls.empty());
  EXPECT_TRUE(World().TimelineOf("store:").empty());
}

TEST_F(SlaveRoleTest, DeleteWithdrawsEvenAnUnknownTrunkWithoutTheStore) {
  Access::SetUaConnected(*agent, false);
  Access::SetTrunks(*agent, {TrunkEntry("a", "ua"), TrunkEntry("b", "ub")});
  Update({"9", "b", "missing"});
  EXPECT_EQ(Access::Trunks(*agent).size(), 1u);
  ASSERT_EQ(World().uaCalls.size(), 2u);
  EXPECT_EQ(World().uaCalls[0].oldParams.sUserName, "ub");
  EXPECT_TRUE(World().uaCalls[1].oldParams == CallParams());
  EXPECT_TRUE(World().uaCalls[1].newParams == CallParams());
  EXPECT_TRUE(World().TimelineOf("store:").empty());
}

}  // namespace
