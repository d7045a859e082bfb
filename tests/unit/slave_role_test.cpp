// Trunks towards a master: the edges of register, edit, delete and the outcomes the user agent confirms.
// Each end to end, with the notification texts, is tests/system/test_settings.py's and tests/interop's.
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
  void Confirm(bool registered, unsigned error, const char* user = "bob") {
    agent->OnConfirmUserState(Account(user, "pw", "192.0.2.1", "5060"), registered, error, false);
  }
};

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

// A failure code is announced once and a new code again; a success after a
// failure once. Codes alone are compared: an error-free unregistration after
// a failure is no success and reads "LineBusy"; a code beyond the known ones
// reads "Unknown error". Only the first trunk of the user changes, and bActive
// is only ever set. A refused notification is dropped silently.
TEST_F(SlaveRoleTest, EachChangeOfOutcomeIsAnnouncedOnce) {
  Access::SetTrunks(*agent, {TrunkEntry("uplink", "bob"), TrunkEntry("second", "bob")});
  const std::string failed = "SIPTunnelSlave|Registration failure|";
  struct Step {
    bool registered;
    unsigned error;
    std::string notice;  // "source|kind|" and a part of the text, or "" for none
    bool active;         // the store's state of the first trunk afterwards
  } steps[] = {
      {false, 7, failed, false},
      {false, 7, "", false},
      {false, 9, failed + "Reason: Timeout Occurred", false},
      {true, 0, "SIPTunnelSlave|Registration|", true},
      {true, 0, "", true},
      {false, 4, failed, false},
      {false, 0, failed + "Could not register with user bob on server 192.0.2.1:5060 Reason: LineBusy", false},
      {false, 0xFFFFFFFFu, failed + "Reason: Unknown error", false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(std::to_string(s.registered) + "/" + std::to_string(s.error));
    ClearRecords();
    Confirm(s.registered, s.error);
    ASSERT_EQ(World().notices.size(), s.notice.empty() ? 0u : 1u);
    if (!s.notice.empty()) {
      const Notice& n = World().notices[0];
      const std::string got = n.source + "|" + n.kind + "|" + n.text;
      const size_t bar = s.notice.rfind('|') + 1;
      EXPECT_EQ(got.substr(0, bar), s.notice.substr(0, bar));
      EXPECT_NE(got.find(s.notice.substr(bar)), std::string::npos) << got;
    }
    const std::string state = s.active ? "SetTrunkToMasterActiveState" : "SetTrunkToMasterInActiveState";
    EXPECT_EQ(World().TimelineOf("store:"), &s == &steps[1] ? Lines{} : Lines{"store:" + state + " uplink"});
    const auto trunks = Access::Trunks(*agent);
    EXPECT_EQ(trunks[0].bActive, s.registered || &s > &steps[2]) << "a failure leaves bActive as it was";
    EXPECT_EQ(std::to_string(trunks[0].nLastError) + " " + std::to_string(trunks[1].nLastError),
              std::to_string(s.error) + " 0");
  }
  World().eventRegisterAccepts = false;
  ClearRecords();
  Confirm(true, 0);
  EXPECT_TRUE(World().notices.empty());
  EXPECT_TRUE(Access::Trunks(*agent).at(0).bActive);
}

}  // namespace
