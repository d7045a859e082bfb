// Outcomes of this device's trunks towards masters: the four cases of a
// confirmation, in their order, and the notifications they raise.
#include "unit/agent_fixture.h"

namespace {

class SlaveConfirmTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    CSIPTrunkBase::STAccessibleSlave trunk = TrunkEntry("uplink", "bob", "192.0.2.1", "5060");
    trunk.bNotifySuccess = true;  // as a freshly registered trunk starts
    Access::SetTrunks(*agent, {trunk});
    ClearRecords();
  }
  void Confirm(bool registered, unsigned error) {
    agent->OnConfirmUserState(Account("bob", "pw", "192.0.2.1", "5060"), registered, error, false);
  }
  CSIPTrunkBase::STAccessibleSlave Entry() { return Access::Trunks(*agent).at(0); }
};

// The notification texts are checked end to end in tests/system/test_ua_side.py.
TEST_F(SlaveConfirmTest, FirstSuccessAnnouncesOnceThenStaysQuiet) {
  Confirm(true, 0);
  ASSERT_EQ(World().notices.size(), 1u);
  EXPECT_EQ(World().notices[0].source + "|" + World().notices[0].kind, "SIPTunnelSlave|Registration");
  EXPECT_TRUE(Entry().bActive);
  EXPECT_FALSE(Entry().bNotifySuccess);
  EXPECT_EQ(World().TimelineOf("store:"), std::vector<std::string>{"store:SetTrunkToMasterActiveState uplink"});

  ClearRecords();
  Confirm(true, 0);
  EXPECT_TRUE(World().notices.empty());
  EXPECT_EQ(World().TimelineOf("store:"), std::vector<std::string>{"store:SetTrunkToMasterActiveState uplink"});
}

TEST_F(SlaveConfirmTest, RepeatedFailureCodeIsAnnouncedOnceAndANewCodeAgain) {
  Access::SetTrunks(*agent, {TrunkEntry("uplink", "bob")});  // nLastError 0, no success pending
  Confirm(false, 7);
  Confirm(false, 7);
  ASSERT_EQ(World().notices.size(), 1u);
  EXPECT_EQ(World().notices[0].kind, "Registration failure");
  EXPECT_EQ(World().TimelineOf("store:"), std::vector<std::string>{"store:SetTrunkToMasterInActiveState uplink"});
  EXPECT_EQ(Entry().nLastError, 7u);
  EXPECT_TRUE(Entry().bNotifySuccess);

  Confirm(false, 9);
  ASSERT_EQ(World().notices.size(), 2u);
  EXPECT_NE(World().notices[1].text.find("Reason: Timeout Occurred"), std::string::npos);

  // The recovery after it.
  Confirm(true, 0);
  ASSERT_EQ(World().notices.size(), 3u);
  EXPECT_EQ(World().notices[2].kind, "Registration");
  EXPECT_EQ(Entry().nLastError, 0u);
  EXPECT_TRUE(Entry().bActive);
}

TEST_F(SlaveConfirmTest, ComparesCodesOnlySoAnErrorFreeUnregistrationAfterAFailureReadsLineBusy) {
  Access::SetTrunks(*agent, {TrunkEntry("uplink", "bob")});
  Confirm(false, 4);
  ClearRecords();
  // bNotifySuccess is set now, but an unregistration is no success.
  Confirm(false, 0);
  ASSERT_EQ(World().notices.size(), 1u);
  EXPECT_EQ(World().notices[0].text, "Could not register with user bob on server 192.0.2.1:5060 Reason: LineBusy");
  EXPECT_FALSE(Entry().bActive);
  EXPECT_EQ(World().TraceTexts().at(0),
            "MESS:SIP Trunk Agent(SLAVE): Incoming ConfirmUserState # user: bob # rez: UnRegister # error: 0 \n");
}

TEST_F(SlaveConfirmTest, OnlyTheFirstTrunkOfAUserIsUpdatedAndAnUnknownUserIsTraced) {
  Access::SetTrunks(*agent, {TrunkEntry("first", "bob"), TrunkEntry("second", "bob")});
  Confirm(true, 3);
  auto trunks = Access::Trunks(*agent);
  EXPECT_EQ(trunks[0].nLastError, 3u);
  EXPECT_EQ(trunks[1].nLastError, 0u);
  EXPECT_EQ(World().TimelineOf("store:"), std::vector<std::string>{"store:SetTrunkToMasterInActiveState first"});

  ClearRecords();
  agent->OnConfirmUserState(Account("nobody", "", "192.0.2.1", "5060"), true, 0, false);
  EXPECT_EQ(World().TraceTexts().back(), "ERROR:SIP Trunk Agent(SLAVE): # user: nobody not found...\n");
  EXPECT_TRUE(World().notices.empty());
  EXPECT_TRUE(World().TimelineOf("store:").empty());
}

TEST(RegistrationErrorText, KnownCodesAndEverythingAboveTwelve) {
  EXPECT_STREQ(CSIPTrunkAgent::RegistrationErrorText(1), "User not found");
  EXPECT_STREQ(CSIPTrunkAgent::RegistrationErrorText(12), "Register rejected");
  for (unsigned code : {13u, 0xFFFFFFFFu}) EXPECT_STREQ(CSIPTrunkAgent::RegistrationErrorText(code), "Unknown error");
}

TEST_F(SlaveConfirmTest, ARefusedRegistrationDropsTheNotificationSilently) {
  World().eventRegisterAccepts = false;
  Confirm(true, 0);
  EXPECT_TRUE(World().notices.empty());
  EXPECT_TRUE(Entry().bActive);
}

}  // namespace
