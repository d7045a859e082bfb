// The settings side of the store (StoreAdmin) and the checks made when a store is opened. Names taken or
// unknown, enabling, disabling and deleting are test_tools.py's (siptrunkctl); these are what it cannot reach.
#include "platform/store_schema.h"
#include "tests/platform/store_fixture.h"

namespace storetest {
namespace {

using StoreAdminTest = StoreFixture;

TEST_F(StoreAdminTest, RefusedEditsChangeNothingAndTrunkToMasterEditsReportChangedParameters) {
  auto admin = OpenAdmin();
  ASSERT_TRUE(admin->AddSipTrunk({"a", "ua", "pa", true}, &error)) << error;
  EXPECT_FALSE(admin->AddSipTrunk({"", "u", "p", false}, &error) ||
               admin->AddSipTrunk({"n", std::string("u\0v", 3), "p", false}, &error));
  ASSERT_TRUE(admin->AddTrunkToMaster({"m", "u", "p", "192.0.2.1", "5060", true, true}, &error)) << error;
  EXPECT_FALSE(Snapshot().trunksToMaster.at(0).registered);  // only the agent records a registration
  ASSERT_TRUE(Config().SetTrunkToMasterActiveState("m"));

  // A rename changes no parameter; each of user, password, address and port does. Neither touches the flags.
  using Row = siptrunk::TrunkToMasterRow;
  std::string name = "m", changes;
  for (const Row& row : {Row{"m2", "u", "p", "192.0.2.1", "5060", false, false},
                         Row{"m2", "u2", "p", "192.0.2.1", "5060", false, false},
                         Row{"m2", "u2", "p2", "192.0.2.1", "5060", false, false},
                         Row{"m2", "u2", "p2", "192.0.2.2", "5060", false, false},
                         Row{"m2", "u2", "p2", "192.0.2.2", "5061", false, false}}) {
    bool changed = false;
    ASSERT_TRUE(admin->EditTrunkToMaster(name, row, &changed, &error)) << error;
    changes += changed ? "1" : "0", name = row.name;
  }
  EXPECT_EQ(changes, "01111");
  const siptrunk::StoreSnapshot s = Snapshot();
  ASSERT_TRUE(s.trunksToMaster.size() == 1 && s.sipTrunks.size() == 1);
  const Row& m = s.trunksToMaster[0];
  EXPECT_TRUE(m.enabled && m.registered && m.masterPort == "5061" && s.sipTrunks[0].user == "ua" &&
              s.sipTrunks[0].symmetricNat);
}

TEST_F(StoreAdminTest, OpeningRefusesForeignAndNewerStoresAndSyncsEveryCommit) {
  // Another program's database is not written into.
  const std::string foreign = state_.Path() + "/foreign.db";
  ASSERT_EQ(RawExec(foreign, "CREATE TABLE notes (text TEXT); INSERT INTO notes VALUES ('keep')"), "");
  const std::string before = linktest::ReadFile(foreign);
  EXPECT_EQ(siptrunk::StoreAdmin::Open(foreign, true, &error), nullptr);
  EXPECT_NE(error.find("database of another program"), std::string::npos) << error;
  EXPECT_TRUE(linktest::ReadFile(foreign) == before) << "the foreign database was modified";

  // A store written by a newer program is refused, by both clients.
  ASSERT_TRUE(OpenAdmin() != nullptr);
  ASSERT_EQ(RawExec(StorePath(), "PRAGMA user_version = 2"), "");
  EXPECT_EQ(siptrunk::StoreAdmin::Open(StorePath(), false, &error), nullptr);
  CSIPTrunkBase::STAgentStates states;
  EXPECT_FALSE(Config().GetSIPTrunkAgentStates(states));

  // A power cut loses no commit: WAL, full sync, and the schema version in place.
  sqlite3* db = siptrunk::OpenStoreDatabase(state_.Path() + "/fresh.db", true, &error);
  ASSERT_NE(db, nullptr) << error;
  std::string settings;  // of this connection: synchronous is not stored in the file
  const auto collect = [](void* out, int n, char** values, char**) {
    for (int i = 0; i < n; ++i) *static_cast<std::string*>(out) += std::string(values[i] ? values[i] : "") + " ";
    return 0;
  };
  const char* query = "SELECT * FROM pragma_journal_mode, pragma_synchronous, pragma_user_version";
  EXPECT_EQ(sqlite3_exec(db, query, collect, &settings, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(settings, "wal 2 " + std::to_string(siptrunk::kStoreSchemaVersion) + " ");  // synchronous 2 = FULL
}

}  // namespace
}  // namespace storetest
