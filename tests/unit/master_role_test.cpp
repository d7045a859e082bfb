// Slaves registering on this master: the table, the store, the regulator and
// the notifications in step. Register, move and unregister end to end are
// tests/system/test_ua_side.py's; WAN slaves never regulated, test_regulator.py's.
#include "unit/agent_fixture.h"

namespace {

class MasterRoleTest : public LanAgentTest {
 protected:
  void Confirm(const CallParams& account, bool registered, unsigned error = 0) {
    agent->OnConfirmUserState(account, registered, error, true);
  }
  static std::string Announced(const char* what) {
    return std::string("notify:SIPTunnelMaster|Registration|Successfully ") + what + " master device ";
  }
};

// Stored before it is admitted, admitted before it is announced.
TEST_F(MasterRoleTest, NewSlaveIsStoredAdmittedThenAnnouncedAndAMoveRemovesTheOldAddressFirst) {
  Confirm(Account("alice", "pw", "192.0.2.10", "5060"), true);
  EXPECT_EQ(Effects(), (Lines{"store:SetRegisterParam alice@192.0.2.10:5060 false", "arpnl:add 192.0.2.10",
                              Announced("registered user alice(192.0.2.10:5060) on")}));
  ClearRecords();
  Confirm(Account("alice", "pw", "192.0.2.20", "5070"), true);
  EXPECT_EQ(Effects(), (Lines{"store:ChangeRegisterParam alice@192.0.2.10:5060 -> alice@192.0.2.20:5070",
                              "arpnl:del 192.0.2.10", "arpnl:add 192.0.2.20",
                              Announced("registered user alice(192.0.2.20:5070) on")}));
  ASSERT_EQ(Access::Slaves(*agent).size(), 1u);
  EXPECT_EQ(ToText(Access::Slaves(*agent)[0]), "alice@192.0.2.20:5070");
}

// Once, a confirmation took the first entry matching by registration OR by
// account, so a refresh of one of two entries of a user moved the other onto
// it (two table entries for the store's one row). A refresh of any entry goes
// before a move; it takes the password it came with and is quiet apart from
// refreshing the store and the admission; the same user with another password
// from another address is a second slave.
TEST_F(MasterRoleTest, ARefreshOfAnyEntryGoesBeforeAMoveAndANewAddressMovesTheFirstEntry) {
  Access::SetSlaves(*agent, {SlaveReg{"alice", "pw", "192.0.2.10", "5060"}, SlaveReg{"alice", "pw", "192.0.2.20", "5060"}});
  Confirm(Account("alice", "new", "192.0.2.20", "5060"), true);
  EXPECT_EQ(Effects(), (Lines{"store:SetRegisterParam alice@192.0.2.20:5060 true", "arpnl:add 192.0.2.20"}));
  auto slaves = Access::Slaves(*agent);
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(ToText(slaves[0]) + " " + slaves[0].sUserPasswd + " " + ToText(slaves[1]) + " " + slaves[1].sUserPasswd,
            "alice@192.0.2.10:5060 pw alice@192.0.2.20:5060 new");

  Confirm(Account("alice", "pw", "192.0.2.30", "5080"), true);  // from a new address: the first entry moves
  slaves = Access::Slaves(*agent);
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(ToText(slaves[0]) + " " + ToText(slaves[1]), "alice@192.0.2.30:5080 alice@192.0.2.20:5060");

  ClearRecords();
  Confirm(Account("alice", "other", "192.0.2.40", "5060"), true);
  EXPECT_EQ(Access::Slaves(*agent).size(), 3u);
  EXPECT_EQ(World().TimelineOf("store:"), Lines{"store:SetRegisterParam alice@192.0.2.40:5060 false"});
}

TEST_F(MasterRoleTest, UnregistrationRemovesTheEntryAndAnnouncesEvenWithoutOne) {
  Access::SetSlaves(*agent, {SlaveReg{"alice", "pw", "192.0.2.10", "5060"}});
  Confirm(Account("alice", "", "192.0.2.10", "5060"), false, 9);
  EXPECT_TRUE(Access::Slaves(*agent).empty());
  const std::string announced = Announced("unregistered user alice(192.0.2.10:5060) from");
  EXPECT_EQ(Effects(), (Lines{"arpnl:del 192.0.2.10", "store:SetUnregisterParam alice@192.0.2.10:5060", announced}));
  ClearRecords();
  Confirm(Account("alice", "", "192.0.2.10", "5060"), false);  // no such slave any more
  EXPECT_EQ(Effects(), Lines{announced});
}

// The plain table operations: the key is user, address and port (case counts,
// the password does not); the first match goes and the order of the rest stays.
TEST_F(MasterRoleTest, TableRemovalTakesTheFirstMatchByKeyAndKeepsOrder) {
  Access::SetSlaves(*agent, {SlaveReg{"alice", "a", "192.0.2.10", "5060"}, SlaveReg{"Alice", "b", "192.0.2.10", "5060"},
                             SlaveReg{"alice", "c", "192.0.2.10", "5060"}, SlaveReg{"bob", "d", "192.0.2.11", "5060"}});
  const auto passwords = [this] {
    std::string out;
    for (const auto& s : Access::Slaves(*agent)) out += s.sUserPasswd;
    return out;
  };
  bool atEnd = true;
  EXPECT_EQ(Access::RemoveSlave(*agent, SlaveReg{"alice", "other", "192.0.2.10", "5060"}, &atEnd), 0u);
  EXPECT_FALSE(atEnd);  // the position of the entry that followed
  EXPECT_EQ(passwords(), "bcd");
  Access::RemoveSlave(*agent, SlaveReg{"alice", "", "192.0.2.10", "5061"}, &atEnd);  // no match
  Access::RemoveSlave(*agent, SlaveReg{"alice", "", "192.0.2.10", "5060"}, &atEnd);
  EXPECT_EQ(passwords(), "bd");
  Access::RemoveSlave(*agent, SlaveReg{"bob", "", "192.0.2.11", "5060"}, &atEnd);
  EXPECT_TRUE(atEnd);  // removing the last entry gives the end position
  EXPECT_EQ(passwords(), "b");

  Access::SetTrunks(*agent, {TrunkEntry("t1", "u1"), TrunkEntry("t2", "u2"), TrunkEntry("t1", "u3")});
  Access::RemoveTrunk(*agent, "T1");  // case counts: no match
  EXPECT_EQ(Access::Trunks(*agent).size(), 3u);
  Access::RemoveTrunk(*agent, "t1");
  const auto trunks = Access::Trunks(*agent);
  ASSERT_EQ(trunks.size(), 2u);
  EXPECT_EQ(trunks[0].sUserName + trunks[1].sUserName, "u2u3");
}

}  // namespace
