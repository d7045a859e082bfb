// The agent's store client (CSIPTrunkConfig) on real SQLite files: every
// operation and its matching rules.
#include "tests/platform/store_fixture.h"

namespace storetest {
namespace {

using Slaves = std::vector<CSIPTrunkBase::STRegistrationParam>;

std::string Describe(const Slaves& slaves) {
  std::string out;
  for (const auto& s : slaves) out += s.sUserName + "/" + s.sUserPasswd + "@" + s.sHostAddr + ":" + s.sHostPort + " ";
  return out;
}

// The stored registered slaves, "user/password@address:port" with " since=N"
// for rows older than the test (since set to 100).
std::string Stored(StoreFixture& test) {
  std::string out;
  for (const auto& r : test.Snapshot().registeredSlaves) {
    out += r.user + "/" + r.password + "@" + r.address + ":" + r.port + (r.since == 100 ? " since=100" : "") + " ";
  }
  return out;
}

std::string Describe(const CSIPTrunkBase::STRegistrationFields& f) {
  return f.sUserName + "/" + f.sUserPasswd + "@" + f.sHostAddr + ":" + f.sHostPort;
}

using StoreConfigTest = StoreFixture;

// A missing store is created, readable by its owner only.
TEST_F(StoreConfigTest, CreatesAMissingStoreAndListsFollowTheSettingsInInsertionOrder) {
  CSIPTrunkBase::STAgentStates states;
  EXPECT_TRUE(Config().GetSIPTrunkAgentStates(states));
  EXPECT_FALSE(states.bMasterEnabled || states.bSlaveEnabled);
  struct stat info;
  ASSERT_EQ(stat(StorePath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  auto admin = OpenAdmin();
  std::string error;
  for (const char* name : {"zeta", "alpha", "mid"}) {
    ASSERT_TRUE(admin->AddSipTrunk({name, std::string("u-") + name, std::string("p-") + name, false}, &error)) << error;
  }
  // A rename keeps the trunk's place; a deleted trunk leaves the others in order.
  ASSERT_TRUE(admin->EditSipTrunk("alpha", {"first", "", "", false}, true, &error)) << error;
  ASSERT_TRUE(admin->AddSipTrunk({"last", "u-last", "p-last", true}, &error)) << error;
  ASSERT_TRUE(admin->DeleteSipTrunk("mid", &error)) << error;
  ASSERT_TRUE(admin->SetMasterEnabled(true, &error)) << error;

  ASSERT_TRUE(admin->AddTrunkToMaster({"t-off", "u0", "p0", "192.0.2.1", "5060", false, false}, &error));
  ASSERT_TRUE(admin->AddTrunkToMaster({"t-on", "u1", "p1", "192.0.2.2", "5061", true, false}, &error));
  ASSERT_TRUE(admin->AddTrunkToMaster({"t-reg", "u2", "p2", "192.0.2.3", "5062", true, false}, &error));
  admin.reset();
  ASSERT_TRUE(Config().SetTrunkToMasterActiveState("t-reg"));

  ASSERT_TRUE(Config().GetSIPTrunkAgentStates(states));
  EXPECT_TRUE(states.bMasterEnabled);
  EXPECT_FALSE(states.bSlaveEnabled);

  std::vector<CSIPTrunkBase::STAccessibleUser> users(1);  // appended to, not replaced
  users[0].sTrunkName = "kept";
  ASSERT_TRUE(Config().GetMasterAccesibleUsersList(users));
  std::string listed;
  for (const auto& u : users) listed += u.sTrunkName + ":" + u.sUserName + "/" + u.sUserPasswd + " ";
  EXPECT_EQ(listed, "kept:/ zeta:u-zeta/p-zeta first:u-alpha/p-alpha last:u-last/p-last ");

  // Only enabled trunks; bActive from the stored state; no pending announcement.
  std::vector<CSIPTrunkBase::STAccessibleSlave> trunks;
  ASSERT_TRUE(Config().GetSlaveAccesibleUsersList(trunks));
  listed.clear();
  for (const auto& t : trunks) {
    listed += t.sTrunkName + ":" + t.sUserName + "/" + t.sUserPasswd + "@" + t.sHostAddr + ":" + t.sHostPort +
              (t.bActive ? " active" : "") + (t.nLastError != 0 || t.bNotifySuccess ? " pending" : "") + " ";
  }
  EXPECT_EQ(listed, "t-on:u1/p1@192.0.2.2:5061 t-reg:u2/p2@192.0.2.3:5062 active ");
}

TEST_F(StoreConfigTest, TrunkToMasterTargetIsConfiguredToRegisterAndSentToWithdraw) {
  auto admin = OpenAdmin();
  std::string error;
  ASSERT_TRUE(admin->AddTrunkToMaster({"t", "old-user", "old-pw", "192.0.2.1", "5060", true, false}, &error));
  CSIPTrunkBase::STRegistrationFields fields;

  // Nothing was handed to the user agent yet: withdrawing uses the configured values.
  EXPECT_TRUE(Config().GetTrunkToMasterParams("t", fields, false));
  EXPECT_EQ(fields.sUserName, "old-user");
  EXPECT_TRUE(Config().ChangeTrunkToMasterConfig("t"));

  // After an edit the sent copy follows the renamed row, so that the user
  // agent's account is withdrawn with the old values and the new ones are
  // registered: end to end in tests/system/test_settings.py.
  bool changed = false;
  ASSERT_TRUE(admin->EditTrunkToMaster("t", {"t2", "new-user", "new-pw", "198.51.100.7", "5070", false, false},
                                       &changed, &error))
      << error;
  EXPECT_TRUE(Config().GetTrunkToMasterParams("t2", fields, true));
  EXPECT_EQ(Describe(fields), "new-user/new-pw@198.51.100.7:5070");
  EXPECT_TRUE(Config().ChangeTrunkToMasterConfig("t2"));

  // Disabled: nothing to register, the sent copy can still be withdrawn.
  ASSERT_TRUE(admin->SetTrunkToMasterEnabled("t2", false, &error)) << error;
  EXPECT_EQ(Config().GetStateOfTrunkToMaster("t2"), 0);
  EXPECT_FALSE(Config().GetTrunkToMasterParams("t2", fields, true));
  EXPECT_EQ(Describe(fields), "/@:");
  EXPECT_TRUE(Config().GetTrunkToMasterParams("t2", fields, false));
  EXPECT_EQ(fields.sUserName, "new-user");

  // Names are exact: another case, an old name or an unknown one is not the trunk.
  for (const char* name : {"T2", "t", "none"}) {
    fields.sUserName = "stale";
    EXPECT_FALSE(Config().GetTrunkToMasterParams(name, fields, false)) << name;
    EXPECT_EQ(fields.sUserName, "") << name;
    EXPECT_EQ(Config().GetStateOfTrunkToMaster(name), 0) << name;
    EXPECT_FALSE(Config().ChangeTrunkToMasterConfig(name));
    EXPECT_FALSE(Config().SetTrunkToMasterActiveState(name));
  }

  EXPECT_TRUE(Config().SetTrunkToMasterActiveState("t2"));
  EXPECT_TRUE(Snapshot().trunksToMaster.at(0).registered);
  EXPECT_TRUE(Config().SetTrunkToMasterInActiveState("t2"));
  EXPECT_FALSE(Snapshot().trunksToMaster.at(0).registered);
  EXPECT_EQ(Trace().find("ERROR"), std::string::npos) << Trace();
}

TEST_F(StoreConfigTest, RegistrationsUpsertInPlaceAndUnregisterByUserAddressPort) {
  EXPECT_TRUE(Config().SetRegisterParam(Reg("a", "pa", "192.0.2.10", "5060"), false));
  EXPECT_TRUE(Config().SetRegisterParam(Reg("b", "pb", "192.0.2.11", "5060"), false));
  ASSERT_EQ(RawExec(StorePath(), "UPDATE registered_slaves SET since = 100"), "");

  // A new registration of a stored slave and a refresh both update the row in place.
  EXPECT_TRUE(Config().SetRegisterParam(Reg("a", "pa2", "192.0.2.10", "5060"), false));
  EXPECT_TRUE(Config().SetRegisterParam(Reg("b", "pb2", "192.0.2.11", "5060"), true));
  // A refresh of a slave the store lost records it anew, at the end.
  EXPECT_TRUE(Config().SetRegisterParam(Reg("c", "pc", "192.0.2.12", "5060"), true));
  // Another port is another registration.
  EXPECT_TRUE(Config().SetRegisterParam(Reg("a", "pa2", "192.0.2.10", "5062"), false));

  EXPECT_EQ(Stored(*this), "a/pa2@192.0.2.10:5060 since=100 b/pb2@192.0.2.11:5060 since=100 c/pc@192.0.2.12:5060 "
                           "a/pa2@192.0.2.10:5062 ");

  // The password is not part of the key; an unknown registration is left alone.
  EXPECT_TRUE(Config().SetUnregisterParam(Reg("a", "whatever", "192.0.2.10", "5060")));
  EXPECT_FALSE(Config().SetUnregisterParam(Reg("A", "pa2", "192.0.2.10", "5062")));
  EXPECT_EQ(Stored(*this), "b/pb2@192.0.2.11:5060 since=100 c/pc@192.0.2.12:5060 a/pa2@192.0.2.10:5062 ");
}

TEST_F(StoreConfigTest, InitRegisterSlaveListAppendsOnlyWhatTheTableLacks) {
  for (const auto& p : {Reg("a", "pa", "192.0.2.1", "5060"), Reg("b", "pb", "192.0.2.2", "5060"),
                        Reg("c", "pc", "192.0.2.3", "5060")}) {
    ASSERT_TRUE(Config().SetRegisterParam(p, false));
  }
  // The table already holds b (under another password) and x, which the store lacks.
  Slaves table = {Reg("b", "other", "192.0.2.2", "5060"), Reg("x", "px", "203.0.113.9", "5060")};
  ASSERT_TRUE(Config().InitRegisterSlaveList(table));
  ASSERT_EQ(table.size(), 4u) << Describe(table);
  EXPECT_EQ(Describe(table),
            "b/other@192.0.2.2:5060 x/px@203.0.113.9:5060 a/pa@192.0.2.1:5060 c/pc@192.0.2.3:5060 ");
  // A reconnection loads again: nothing is duplicated.
  ASSERT_TRUE(Config().InitRegisterSlaveList(table));
  EXPECT_EQ(table.size(), 4u) << Describe(table);
}

TEST_F(StoreConfigTest, ChangeRegisterParamMovesTheRowOrMergesIntoAnExistingOne) {
  ASSERT_TRUE(Config().SetRegisterParam(Reg("a", "pa", "192.0.2.1", "5060"), false));
  ASSERT_TRUE(Config().SetRegisterParam(Reg("b", "pb", "192.0.2.2", "5060"), false));
  ASSERT_EQ(RawExec(StorePath(), "UPDATE registered_slaves SET since = 100"), "");

  // A move keeps the row's place, user, password and since.
  EXPECT_TRUE(Config().ChangeRegisterParam(Reg("a", "pa", "192.0.2.1", "5060"), Reg("a", "pa", "192.0.2.5", "5070")));
  EXPECT_EQ(Stored(*this), "a/pa@192.0.2.5:5070 since=100 b/pb@192.0.2.2:5060 since=100 ");

  // Onto a registration that is already stored: one row remains, no key violation.
  ASSERT_TRUE(Config().SetRegisterParam(Reg("b", "pb", "192.0.2.9", "5060"), false));
  EXPECT_TRUE(Config().ChangeRegisterParam(Reg("b", "pb", "192.0.2.2", "5060"), Reg("b", "pb", "192.0.2.9", "5060")));
  // From a registration the store lost: the moved one is recorded.
  EXPECT_TRUE(Config().ChangeRegisterParam(Reg("z", "pz", "192.0.2.7", "5060"), Reg("z", "pz", "192.0.2.8", "5060")));
  EXPECT_EQ(Stored(*this), "a/pa@192.0.2.5:5070 since=100 b/pb@192.0.2.9:5060 z/pz@192.0.2.8:5060 ");

  // The agent's table written whole: a forgotten row goes, a row it never held stays, rows in the
  // table's order keep their place and since, one out of order is written again at the end.
  const auto a = Reg("a", "pa", "192.0.2.5", "5070"), n = Reg("n", "pn", "192.0.2.4", "5060");
  EXPECT_TRUE(Config().WriteRegisteredSlaves({a, n}, {Reg("b", "pb", "192.0.2.9", "5060")}));
  EXPECT_EQ(Stored(*this), "a/pa@192.0.2.5:5070 since=100 z/pz@192.0.2.8:5060 n/pn@192.0.2.4:5060 ");
  EXPECT_TRUE(Config().WriteRegisteredSlaves({n, Reg("a", "pa2", "192.0.2.5", "5070")}, {}));
  EXPECT_EQ(Stored(*this), "z/pz@192.0.2.8:5060 n/pn@192.0.2.4:5060 a/pa2@192.0.2.5:5070 since=100 ");
  EXPECT_EQ(Trace().find("ERROR"), std::string::npos) << Trace();
}

TEST_F(StoreConfigTest, QuotesAndOddBytesAreStoredAndReadBackExactly) {
  const std::string evil = "x'); DROP TABLE sip_trunks;--";
  const std::string bytes = std::string("\xff\x01 \"\\%s%n\xc3\xa9", 11);
  auto admin = OpenAdmin();
  std::string error;
  ASSERT_TRUE(admin->AddSipTrunk({evil, bytes, "'; DELETE FROM registered_slaves;--", false}, &error)) << error;
  ASSERT_TRUE(admin->AddSipTrunk({"X'); drop table x;--", "u", "p", false}, &error)) << error;
  ASSERT_TRUE(admin->AddTrunkToMaster({evil, bytes, "p", "192.0.2.1", "05060", true, false}, &error)) << error;
  ASSERT_TRUE(Config().SetRegisterParam(Reg(evil, bytes, "192.0.2.1", "5060"), false));

  std::vector<CSIPTrunkBase::STAccessibleUser> users;
  ASSERT_TRUE(Config().GetMasterAccesibleUsersList(users));
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0].sTrunkName + "|" + users[0].sUserName + "|" + users[0].sUserPasswd,
            evil + "|" + bytes + "|'; DELETE FROM registered_slaves;--");

  CSIPTrunkBase::STRegistrationFields fields;
  ASSERT_TRUE(Config().GetTrunkToMasterParams(evil, fields, true));
  EXPECT_EQ(fields.sUserName + "|" + fields.sHostPort, bytes + "|05060");  // text stays text, no number conversion

  Slaves table;
  ASSERT_TRUE(Config().InitRegisterSlaveList(table));
  ASSERT_EQ(Describe(table), evil + "/" + bytes + "@192.0.2.1:5060 ");
  EXPECT_TRUE(Config().SetUnregisterParam(table[0]));
}

// What survives a crash or a restart (the agent killed, rows loaded again),
// two writers at once (the agent and siptrunkctl; under ThreadSanitizer too),
// and a store replaced while open, made read-only, locked past the busy
// timeout, overwritten with garbage or on a full disk are the system tests'
// (test_ua_side.py, test_model.py, test_soak.py, test_faults.py), through the
// running agent.

}  // namespace
}  // namespace storetest
