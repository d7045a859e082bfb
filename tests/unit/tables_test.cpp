// The plain table operations and their matching rules.
#include "unit/agent_fixture.h"

namespace {

class TablesTest : public AgentTest {};

TEST_F(TablesTest, RemoveRegisteredSlaveMatchesUserAddressPortOnly) {
  Access::SetSlaves(*agent, {SlaveReg("alice", "pw1", "192.0.2.10", "5060"), SlaveReg("bob", "pw", "192.0.2.11", "5060")});
  bool atEnd = false;
  // Another password still matches: the password is not part of the key.
  EXPECT_EQ(Access::RemoveSlave(*agent, SlaveReg("alice", "other", "192.0.2.10", "5060"), &atEnd), 0u);
  EXPECT_FALSE(atEnd);  // the position of the entry that followed
  ASSERT_EQ(Access::Slaves(*agent).size(), 1u);
  EXPECT_EQ(Access::Slaves(*agent)[0].sUserName, "bob");

  // Removing the last entry gives the end position.
  Access::RemoveSlave(*agent, SlaveReg("bob", "", "192.0.2.11", "5060"), &atEnd);
  EXPECT_TRUE(atEnd);
  EXPECT_TRUE(Access::Slaves(*agent).empty());
}

TEST_F(TablesTest, RemoveRegisteredSlaveTakesFirstOfDuplicatesAndIgnoresCaseVariants) {
  Access::SetSlaves(*agent, {SlaveReg("alice", "a", "192.0.2.10", "5060"), SlaveReg("Alice", "b", "192.0.2.10", "5060"),
                             SlaveReg("alice", "c", "192.0.2.10", "5060")});
  bool atEnd = false;
  Access::RemoveSlave(*agent, SlaveReg("alice", "", "192.0.2.10", "5060"), &atEnd);
  auto slaves = Access::Slaves(*agent);
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(slaves[0].sUserPasswd, "b");  // a case variant is another key
  EXPECT_EQ(slaves[1].sUserPasswd, "c");
  Access::RemoveSlave(*agent, SlaveReg("alice", "", "192.0.2.10", "5060"), &atEnd);
  ASSERT_EQ(Access::Slaves(*agent).size(), 1u);
  EXPECT_EQ(Access::Slaves(*agent)[0].sUserName, "Alice");
  // No match: nothing removed.
  Access::RemoveSlave(*agent, SlaveReg("alice", "", "192.0.2.10", "5061"), &atEnd);
  EXPECT_EQ(Access::Slaves(*agent).size(), 1u);
}

TEST_F(TablesTest, RemoveTrunkToMasterTakesFirstByNameAndKeepsOrder) {
  Access::SetTrunks(*agent, {TrunkEntry("t1", "u1"), TrunkEntry("t2", "u2"), TrunkEntry("t1", "u3")});
  Access::RemoveTrunk(*agent, "T1");  // case counts: no match
  EXPECT_EQ(Access::Trunks(*agent).size(), 3u);
  Access::RemoveTrunk(*agent, "t1");
  auto trunks = Access::Trunks(*agent);
  ASSERT_EQ(trunks.size(), 2u);
  EXPECT_EQ(trunks[0].sUserName, "u2");
  EXPECT_EQ(trunks[1].sUserName, "u3");  // the one appended first went
}

}  // namespace
