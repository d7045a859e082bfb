// Outcomes of this device's trunks towards masters: which confirmation raises
// which notification, and what the entry and the store keep. The notification
// texts are checked end to end in tests/system/test_ua_side.py.
#include "unit/agent_fixture.h"

namespace {

class SlaveConfirmTest : public AgentTest {
 protected:
  void Confirm(bool registered, unsigned error, const char* user = "bob") {
    agent->OnConfirmUserState(Account(user, "pw", "192.0.2.1", "5060"), registered, error, false);
  }
};

// A failure code is announced once and a new code again; a success after a
// failure once. Codes alone are compared: an error-free unregistration after
// a failure is no success and reads "LineBusy".
TEST_F(SlaveConfirmTest, EachChangeOfOutcomeIsAnnouncedOnce) {
  Access::SetTrunks(*agent, {TrunkEntry("uplink", "bob"), TrunkEntry("second", "bob")});
  struct Step {
    bool registered;
    unsigned error;
    const char* notice;  // "kind|part of the text", or "" for none
    const char* store;  // the store call on the first trunk, or ""
  } steps[] = {
      {false, 7, "Registration failure|", "SetTrunkToMasterInActiveState"},
      {false, 7, "", ""},
      {false, 9, "Registration failure|Reason: Timeout Occurred", "SetTrunkToMasterInActiveState"},
      {true, 0, "Registration|", "SetTrunkToMasterActiveState"},
      {true, 0, "", "SetTrunkToMasterActiveState"},
      {false, 4, "Registration failure|", "SetTrunkToMasterInActiveState"},
      {false, 0, "Registration failure|Could not register with user bob on server 192.0.2.1:5060 Reason: LineBusy",
       "SetTrunkToMasterInActiveState"},
  };
  for (const Step& s : steps) {
    ClearRecords();
    Confirm(s.registered, s.error);
    const std::string step = std::to_string(s.registered) + "/" + std::to_string(s.error);
    const std::string want(s.notice);
    if (want.empty()) {
      EXPECT_TRUE(World().notices.empty()) << step;
    } else {
      ASSERT_EQ(World().notices.size(), 1u) << step;
      const Notice& n = World().notices[0];
      EXPECT_EQ(n.source, "SIPTunnelSlave");
      EXPECT_EQ(n.kind, want.substr(0, want.find('|'))) << step;
      EXPECT_NE(n.text.find(want.substr(want.find('|') + 1)), std::string::npos) << step << ": " << n.text;
    }
    // Only the first trunk of the user is updated.
    const std::string store = *s.store ? "store:" + std::string(s.store) + " uplink" : "";
    EXPECT_EQ(World().TimelineOf("store:"), store.empty() ? std::vector<std::string>{} : std::vector<std::string>{store})
        << step;
    const auto trunks = Access::Trunks(*agent);
    EXPECT_EQ(trunks[0].bActive, s.registered || &s > &steps[2]) << step << ": a failure leaves bActive as it was";
    EXPECT_EQ(trunks[0].nLastError, s.error) << step;
    EXPECT_EQ(trunks[1].nLastError, 0u);
  }
}

TEST_F(SlaveConfirmTest, AnUnknownUserOrARefusedNotificationChangesNoOtherThing) {
  CSIPTrunkBase::STAccessibleSlave trunk = TrunkEntry("uplink", "bob");
  trunk.bNotifySuccess = true;  // as a freshly registered trunk starts
  Access::SetTrunks(*agent, {trunk});
  ClearRecords();
  Confirm(true, 0, "nobody");
  EXPECT_EQ(World().TraceTexts().back(), "ERROR:SIP Trunk Agent(SLAVE): # user: nobody not found...\n");
  EXPECT_TRUE(World().TimelineOf("store:").empty());

  World().eventRegisterAccepts = false;  // the notification is dropped silently
  Confirm(true, 0);
  EXPECT_TRUE(World().notices.empty());
  EXPECT_TRUE(Access::Trunks(*agent).at(0).bActive);
  EXPECT_FALSE(Access::Trunks(*agent).at(0).bNotifySuccess);
}

TEST(RegistrationErrorText, KnownCodesAndEverythingAboveTwelve) {
  EXPECT_STREQ(CSIPTrunkAgent::RegistrationErrorText(1), "User not found");
  EXPECT_STREQ(CSIPTrunkAgent::RegistrationErrorText(12), "Register rejected");
  for (unsigned code : {13u, 0xFFFFFFFFu}) EXPECT_STREQ(CSIPTrunkAgent::RegistrationErrorText(code), "Unknown error");
}

}  // namespace
