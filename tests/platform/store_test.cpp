// The agent's store client (CSIPTrunkConfig) on real SQLite files: what the agent reads and the rules of its writes.
// Crashes, restarts, two writers and a store replaced, read-only, locked, garbled or on a full disk are the system
// tests' (test_faults.py, test_model.py); the trunk-to-master copy sent to the user agent is test_settings.py's.
// Awkward text is bound through store_statement.h, as by StoreAdmin: test_tools.py checks its round trip.
#include "tests/platform/store_fixture.h"

namespace storetest {
namespace {

// "user/password@address:port" of anything with those fields.
template <typename T>
std::string Describe(const T& f) {
  return f.sUserName + "/" + f.sUserPasswd + "@" + f.sHostAddr + ":" + f.sHostPort + " ";
}

// The stored registered slaves, with "since=100 " after rows older than the test.
std::string Stored(StoreFixture& test) {
  std::string out;
  for (const auto& r : test.Snapshot().registeredSlaves) {
    out += r.user + "/" + r.password + "@" + r.address + ":" + r.port + (r.since == 100 ? " since=100 " : " ");
  }
  return out;
}

using StoreConfigTest = StoreFixture;

// The SIP trunks' order and which trunks the agent loads are test_ua_side.py's, test_tools.py's and test_model.py's.
TEST_F(StoreConfigTest, CreatesAPrivateStoreAndNamesTrunksTowardsMastersExactly) {
  CSIPTrunkBase::STAgentStates states;
  EXPECT_TRUE(Config().GetSIPTrunkAgentStates(states) && !states.bMasterEnabled && !states.bSlaveEnabled);
  EXPECT_EQ(linktest::ModeOf(StorePath()), 0600u);
  auto admin = OpenAdmin();
  using Row = siptrunk::TrunkToMasterRow;
  for (const Row& row : {Row{"t-off", "u0", "p0", "192.0.2.1", "5060", false, false},
                         Row{"t-on", "u1", "p1", "192.0.2.2", "5061", true, false},
                         Row{"t-reg", "u2", "p2", "192.0.2.3", "5062", true, false}}) {
    ASSERT_TRUE(admin->AddTrunkToMaster(row, &error)) << error;
  }
  // Only enabled trunks; bActive from the stored state (as after a restart); no pending announcement.
  std::vector<CSIPTrunkBase::STAccessibleSlave> trunks;
  ASSERT_TRUE(Config().SetTrunkToMasterActiveState("t-reg") && Config().GetSlaveAccesibleUsersList(trunks));
  std::string listed;
  for (const auto& t : trunks) {
    listed += t.sTrunkName + ":" + Describe(t) + (t.bActive ? "active " : "") +
              (t.nLastError != 0 || t.bNotifySuccess ? "pending " : "");
  }
  EXPECT_EQ(listed, "t-on:u1/p1@192.0.2.2:5061 t-reg:u2/p2@192.0.2.3:5062 active ");

  // A disabled trunk has nothing to register; another case or an unknown name is not the trunk.
  CSIPTrunkBase::STRegistrationFields fields;
  EXPECT_FALSE(Config().GetStateOfTrunkToMaster("t-off") != 0 ||
               Config().GetTrunkToMasterParams("t-off", fields, true));
  fields.sUserName = "stale";
  EXPECT_FALSE(Config().GetTrunkToMasterParams("T-on", fields, false) || fields.sUserName != "" ||
               Config().GetStateOfTrunkToMaster("T-on") != 0 || Config().ChangeTrunkToMasterConfig("T-on") ||
               Config().SetTrunkToMasterActiveState("T-on"));
  EXPECT_TRUE(Config().SetTrunkToMasterInActiveState("t-reg") && !Snapshot().trunksToMaster.at(2).registered);
}

// Which registrations are stored (keyed by user, address and port) and what a reconnection loads back is
// test_model.py's, through the agent;
// here the rows' place and since, and the table written whole as the agent does after a failed write.
TEST_F(StoreConfigTest, RegisteredSlavesKeepTheirRowWhenRefreshedMovedOrWrittenWhole) {
  EXPECT_TRUE(Config().SetRegisterParam(Reg{"a", "pa", "192.0.2.1", "5060"}, false) &&
              Config().SetRegisterParam(Reg{"b", "pb", "192.0.2.2", "5060"}, false));
  ASSERT_EQ(RawExec(StorePath(), "UPDATE registered_slaves SET since = 100"), "");
  // A refresh and a move update the row in place; a refresh of a slave the store lost records it anew.
  EXPECT_TRUE(Config().SetRegisterParam(Reg{"b", "pb2", "192.0.2.2", "5060"}, true) &&
              Config().ChangeRegisterParam(Reg{"a", "pa", "192.0.2.1", "5060"}, Reg{"a", "pa", "192.0.2.5", "5070"}) &&
              Config().SetRegisterParam(Reg{"c", "pc", "192.0.2.3", "5060"}, true));
  EXPECT_EQ(Stored(*this), "a/pa@192.0.2.5:5070 since=100 b/pb2@192.0.2.2:5060 since=100 c/pc@192.0.2.3:5060 ");
  // Moved onto a registration already stored: one row remains, no key violation.
  EXPECT_TRUE(Config().SetRegisterParam(Reg{"b", "pb2", "192.0.2.9", "5060"}, false) &&
              Config().ChangeRegisterParam(Reg{"b", "pb2", "192.0.2.2", "5060"}, Reg{"b", "pb2", "192.0.2.9", "5060"}));
  // The table written whole: a forgotten row goes, a row it never held stays, rows in the table's order
  // keep their place and since, one out of order is written again at the end.
  const auto a = Reg{"a", "pa", "192.0.2.5", "5070"}, n = Reg{"n", "pn", "192.0.2.4", "5060"};
  EXPECT_TRUE(Config().WriteRegisteredSlaves({a, n}, {Reg{"b", "pb2", "192.0.2.9", "5060"}}));
  EXPECT_EQ(Stored(*this), "a/pa@192.0.2.5:5070 since=100 c/pc@192.0.2.3:5060 n/pn@192.0.2.4:5060 ");
  EXPECT_TRUE(Config().WriteRegisteredSlaves({n, Reg{"a", "pa2", "192.0.2.5", "5070"}}, {}));
  EXPECT_EQ(Stored(*this), "c/pc@192.0.2.3:5060 n/pn@192.0.2.4:5060 a/pa2@192.0.2.5:5070 since=100 ");
}

}  // namespace
}  // namespace storetest
