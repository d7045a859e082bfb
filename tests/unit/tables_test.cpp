// The plain table operations and their matching rules: the key is user,
// address and port (case counts, the password does not); the first match goes
// and the order of the rest stays.
#include "unit/agent_fixture.h"

namespace {

class TablesTest : public AgentTest {};

TEST_F(TablesTest, RemoveTakesTheFirstMatchByKeyAndKeepsOrder) {
  Access::SetSlaves(*agent, {SlaveReg("alice", "a", "192.0.2.10", "5060"), SlaveReg("Alice", "b", "192.0.2.10", "5060"),
                             SlaveReg("alice", "c", "192.0.2.10", "5060"), SlaveReg("bob", "d", "192.0.2.11", "5060")});
  const auto passwords = [this] {
    std::string out;
    for (const auto& s : Access::Slaves(*agent)) out += s.sUserPasswd;
    return out;
  };
  bool atEnd = true;
  EXPECT_EQ(Access::RemoveSlave(*agent, SlaveReg("alice", "other", "192.0.2.10", "5060"), &atEnd), 0u);
  EXPECT_FALSE(atEnd);  // the position of the entry that followed
  EXPECT_EQ(passwords(), "bcd");
  Access::RemoveSlave(*agent, SlaveReg("alice", "", "192.0.2.10", "5061"), &atEnd);  // no match
  Access::RemoveSlave(*agent, SlaveReg("alice", "", "192.0.2.10", "5060"), &atEnd);
  EXPECT_EQ(passwords(), "bd");
  Access::RemoveSlave(*agent, SlaveReg("bob", "", "192.0.2.11", "5060"), &atEnd);
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
