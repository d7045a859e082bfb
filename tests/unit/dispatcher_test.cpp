// Reading and gating update messages, and the SIP trunk operations they drive;
// the whole lists for the user agent, and the per-connection load that pushes
// them. Their order and content on each connection are
// tests/system/test_ua_side.py's; here what a repeated or a later request, and
// a role going off, change.
#include "unit/agent_fixture.h"

namespace {

class DispatcherTest : public LanAgentTest {
 protected:
  void SetUp() override {
    LanAgentTest::SetUp();
    Access::SetMasterActive(*agent, true);
  }
};

// The type is read like strtol on a 32-bit long (values beyond saturate) and
// traced in hex; only the exact text "1" is a true flag. Out-of-range types,
// and types 4-6 while the master role is off, leave only their trace line.
TEST_F(DispatcherTest, TypeFlagAndMasterGate) {
  EXPECT_TRUE(Update({}));
  EXPECT_TRUE(World().traces.empty()) << "an empty message traces nothing";
  struct Case {
    std::list<std::string> items;
    const char* hex;
    size_t effects;  // timeline entries after the trace line; ~0 for "some"
    uint32_t flags;  // of the account handed to the user agent, when there is one
  } cases[] = {
      {{"9x"}, "09", ~0u, 0},        {{"11", "a", "b"}, "0b", 0, 0},       {{"+6"}, "06", 0, 0},
      {{"-1", "a", "b"}, "ffffffff", 0, 0},                                 {{"4294967296", "a"}, "7fffffff", 0, 0},
      {{"-99999999999"}, "80000000", 0, 0},                                 {{" \t6 trailing"}, "06", 0, 0},
      {{"abc", "ignored"}, "00", ~0u, 0},                                   {{" 4z", "t", "u", "p", "1"}, "04", ~0u, 256},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.items.front());
    ClearRecords();
    Update(c.items);
    EXPECT_EQ(World().TraceTexts().at(0),
              std::string("MESS: Incoming update message from SIP Trunk settings CGI. type: # ") + c.hex + " \n");
    EXPECT_EQ(c.effects == ~0u ? c.effects : World().Timeline().size() - 1, c.effects);
    EXPECT_EQ(World().uaCalls.empty() ? c.flags : World().uaCalls[0].newParams.nFlags, c.flags);
  }
  for (const char* flag : {"true", " 1", "", "0", "01", "1 "}) {
    ClearRecords();
    Update({"4", "t", "u", "p", flag});
    ASSERT_EQ(World().uaCalls.size(), 1u) << flag;
    EXPECT_EQ(World().uaCalls[0].newParams.nFlags, 0u) << "flag '" << flag << "'";
  }

  Access::SetMasterActive(*agent, false);
  for (auto items : std::vector<std::list<std::string>>{{"4", "t", "u", "p", "1"}, {"5", "a", "b"}, {"6", "a"}, {"4"}}) {
    ClearRecords();
    Update(items);
    EXPECT_EQ(World().Timeline().size(), 1u) << items.front();  // the trace line, nothing more
  }
  ClearRecords();
  World().trunkStates["uplink"] = 0;
  Update({"7", "uplink", "uplink"});  // not gated, and not gated on the slave role either
  EXPECT_EQ(World().TimelineOf("store:GetStateOfTrunkToMaster").size(), 1u);
}

TEST_F(DispatcherTest, ShortMessagesAreDroppedWithOneErrorLine) {
  for (auto items : std::vector<std::list<std::string>>{
           {"4", "t", "u", "p"}, {"5", "a"}, {"5", "a", "b", "u"}, {"5", "a", "b", "u", "p"}, {"7", "x"}, {"8", "a", "b"}}) {
    SCOPED_TRACE(items.front() + " with " + std::to_string(items.size()) + " items");
    ClearRecords();
    EXPECT_FALSE(Update(items));
    const auto traces = World().TraceTexts();
    ASSERT_EQ(traces.size(), 2u);
    EXPECT_EQ(traces[1].rfind("ERROR: Update message of type ", 0), 0u) << traces[1];
    EXPECT_NE(traces[1].find("too short"), std::string::npos);
    EXPECT_EQ(Effects(), Lines{});
  }
  ClearRecords();
  Update({"6"});  // names are optional for the delete types
  Update({"9"});
  EXPECT_EQ(World().Timeline().size(), 2u);
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

TEST_F(DispatcherTest, EditOrDeleteOfAnUnknownTrunkUsesTheEmptyAccount) {
  Access::SetSlaves(*agent, {SlaveReg{"", "", "192.0.2.10", "5060"}, SlaveReg{"alice", "", "192.0.2.11", "5060"}});
  Update({"6", "nope"});
  Update({"5", "nope", "x", "u", "p", "0"});
  EXPECT_EQ(World().TimelineOf("ua:"), (Lines{"ua:ChangeUserParams master=1 {,,,,,0} -> {,,,,,0}",
                                              "ua:ChangeUserParams master=1 {,,,,,0} -> {u,p,,,,0}"}));
  ASSERT_EQ(Access::Slaves(*agent).size(), 1u);  // the slave with the empty user name went
  EXPECT_EQ(Access::Slaves(*agent)[0].sUserName, "alice");
}

TEST_F(DispatcherTest, RepeatedActivationReloadsInsteadOfDuplicating) {
  World().storedUsers = {{"t", "alice", "pw"}};
  Update({"0", "extra", "items"});
  Update({"0"});
  EXPECT_EQ(Access::Users(*agent).size(), 1u);
  EXPECT_EQ(World().TimelineOf("store:InitRegisterSlaveList").size(), 2u);
  EXPECT_TRUE(Access::MasterActive(*agent));
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
