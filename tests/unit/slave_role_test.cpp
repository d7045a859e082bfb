// Trunks towards a master: register, unregister, edit, delete. Registering,
// re-registering after an edit, disabling with its notification and deleting
// end to end are tests/system/test_settings.py's; here the edges.
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

// The account goes to the user agent before the store notes it as sent; each
// registration is an entry of its own, fresh (success pending, not active).
TEST_F(SlaveRoleTest, RegisterSendsBeforeNotingAndAppendsAFreshEntryEachTime) {
  Update({"7", "uplink", "uplink"});
  Update({"7", "uplink", "uplink"});
  const auto trunks = Access::Trunks(*agent);
  ASSERT_EQ(trunks.size(), 2u);
  EXPECT_TRUE(trunks[0].bNotifySuccess && !trunks[0].bActive && trunks[0].nLastError == 0);
  const auto timeline = World().Timeline();
  const auto at = [&](const std::string& prefix) {
    for (size_t i = 0; i < timeline.size(); ++i) {
      if (timeline[i].rfind(prefix, 0) == 0) return i;
    }
    return timeline.size();
  };
  EXPECT_LT(at("ua:ChangeUserParams master=0 {,,,,,0} -> {bob,pw,192.0.2.1,5060,unit-device,"),
            at("store:ChangeTrunkToMasterConfig uplink"));
}

// Nothing while the user agent is away; and a trunk with nothing to register
// (an edit of a disabled trunk) leaves no entry that would shadow a later one.
TEST_F(SlaveRoleTest, NoEntryWithoutAUserAgentOrWithNothingToRegister) {
  Access::SetUaConnected(*agent, false);
  Update({"7", "uplink", "uplink"});
  Access::SetUaConnected(*agent, true);
  World().trunkParams["uplink"] = {"", "", "", ""};
  Update({"7", "uplink", "uplink"});
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

TEST_F(SlaveRoleTest, EditAndRenameTakeTheFirstEntryAndAnEditWithoutUserAgentOnlyRemoves) {
  Access::SetTrunks(*agent, {TrunkEntry("old", "bob"), TrunkEntry("old", "bob")});
  Update({"8", "old", "new", "0"});  // a rename only: nothing sent, the store untouched
  Update({"8", "missing", "other", "true"});  // only "1" is true: a rename of nothing
  auto trunks = Access::Trunks(*agent);
  EXPECT_EQ(trunks[0].sTrunkName + " " + trunks[1].sTrunkName, "new old");
  EXPECT_TRUE(World().uaCalls.empty());
  EXPECT_TRUE(World().TimelineOf("store:").empty());

  Access::SetTrunks(*agent, {TrunkEntry("old", "bob")});
  World().trunkParams["new"] = {"bob2", "pw2", "192.0.2.2", "5070"};
  Update({"8", "old", "new", "1"});
  trunks = Access::Trunks(*agent);
  ASSERT_EQ(trunks.size(), 1u);
  EXPECT_EQ(trunks[0].sTrunkName + " " + trunks[0].sUserName, "new bob2");
  Access::SetUaConnected(*agent, false);
  Access::SetTrunks(*agent, {TrunkEntry("old", "bob")});
  Update({"8", "old", "new", "1"});
  EXPECT_TRUE(Access::Trunks(*agent).empty());
}

TEST_F(SlaveRoleTest, DeleteWithdrawsEvenAnUnknownTrunkWithoutTheStore) {
  Access::SetUaConnected(*agent, false);
  Access::SetTrunks(*agent, {TrunkEntry("a", "ua"), TrunkEntry("b", "ub")});
  Update({"9", "b", "missing"});
  EXPECT_EQ(Access::Trunks(*agent).size(), 1u);
  ASSERT_EQ(World().uaCalls.size(), 2u);
  EXPECT_EQ(World().uaCalls[0].oldParams.sUserName, "ub");
  EXPECT_TRUE(World().uaCalls[1].oldParams == CallParams() && World().uaCalls[1].newParams == CallParams());
  EXPECT_TRUE(World().TimelineOf("store:").empty());
}

}  // namespace
