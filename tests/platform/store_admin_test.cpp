// The settings side of the store (StoreAdmin) and the checks made when a store is opened.
#include "platform/store_schema.h"
#include "tests/platform/store_fixture.h"

namespace storetest {
namespace {

using StoreAdminTest = StoreFixture;

// Names taken or unknown are test_tools.py's (siptrunkctl); these are the refusals it cannot reach.
TEST_F(StoreAdminTest, EditsAreRefusedWithAClearReasonAndChangeNothing) {
  auto admin = OpenAdmin();
  std::string error;
  ASSERT_TRUE(admin->AddSipTrunk({"a", "ua", "pa", true}, &error)) << error;
  const auto refusal = [&](bool ok) { return (ok ? "taken: " : "") + error; };
  EXPECT_EQ(refusal(admin->DeleteSipTrunk("zz\n", &error)), "no SIP trunk named 'zz\\x0a'");
  EXPECT_EQ(refusal(admin->AddSipTrunk({"", "u", "p", false}, &error)), "a SIP trunk needs a name");
  EXPECT_EQ(refusal(admin->AddSipTrunk({"n", std::string("u\0v", 3), "p", false}, &error)),
            "the user name holds a NUL byte");
  const auto trunks = Snapshot().sipTrunks;
  ASSERT_EQ(trunks.size(), 1u);
  EXPECT_TRUE(trunks[0].name == "a" && trunks[0].user == "ua" && trunks[0].symmetricNat);
}

TEST_F(StoreAdminTest, TrunkToMasterEditsReportChangedParametersAndKeepTheFlags) {
  auto admin = OpenAdmin();
  std::string error;
  ASSERT_TRUE(admin->AddTrunkToMaster({"m", "u", "p", "192.0.2.1", "5060", true, true}, &error)) << error;
  EXPECT_FALSE(Snapshot().trunksToMaster.at(0).registered);  // only the agent records a registration
  ASSERT_TRUE(Config().SetTrunkToMasterActiveState("m"));

  bool changed = true;
  ASSERT_TRUE(admin->EditTrunkToMaster("m", {"m2", "u", "p", "192.0.2.1", "5060", false, false}, &changed, &error));
  EXPECT_FALSE(changed);  // a rename only
  for (const auto& row : {siptrunk::TrunkToMasterRow{"m2", "u2", "p", "192.0.2.1", "5060", false, false},
                          siptrunk::TrunkToMasterRow{"m2", "u2", "p2", "192.0.2.1", "5060", false, false},
                          siptrunk::TrunkToMasterRow{"m2", "u2", "p2", "192.0.2.2", "5060", false, false},
                          siptrunk::TrunkToMasterRow{"m2", "u2", "p2", "192.0.2.2", "5061", false, false}}) {
    ASSERT_TRUE(admin->EditTrunkToMaster("m2", row, &changed, &error)) << error;
    EXPECT_TRUE(changed) << row.user << row.password << row.masterAddr << row.masterPort;
  }
  siptrunk::StoreSnapshot snapshot = Snapshot();
  ASSERT_EQ(snapshot.trunksToMaster.size(), 1u);
  EXPECT_TRUE(snapshot.trunksToMaster[0].enabled && snapshot.trunksToMaster[0].registered);
  EXPECT_EQ(snapshot.trunksToMaster[0].masterPort, "5061");

  ASSERT_TRUE(admin->SetSlaveEnabled(true, &error));
  ASSERT_TRUE(admin->SetTrunkToMasterEnabled("m2", false, &error));
  snapshot = Snapshot();
  EXPECT_TRUE(snapshot.slaveEnabled && !snapshot.masterEnabled && !snapshot.trunksToMaster.at(0).enabled);
  ASSERT_TRUE(admin->DeleteTrunkToMaster("m2", &error));
  EXPECT_TRUE(Snapshot().trunksToMaster.empty());
}

TEST_F(StoreAdminTest, OpeningRefusesMissingForeignAndNewerStores) {
  std::string error;
  EXPECT_EQ(siptrunk::StoreAdmin::Open(StorePath(), false, &error), nullptr);
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  EXPECT_FALSE(linktest::Exists(StorePath()));  // not created

  // Another program's database is not written into.
  const std::string foreign = state_.Path() + "/foreign.db";
  ASSERT_EQ(RawExec(foreign, "CREATE TABLE notes (text TEXT); INSERT INTO notes VALUES ('keep')"), "");
  const std::string before = ReadFile(foreign);
  EXPECT_EQ(siptrunk::StoreAdmin::Open(foreign, true, &error), nullptr);
  EXPECT_NE(error.find("database of another program"), std::string::npos) << error;
  EXPECT_TRUE(ReadFile(foreign) == before) << "the foreign database was modified";

  // A store written by a newer program is refused, by both clients.
  ASSERT_TRUE(OpenAdmin() != nullptr);
  ASSERT_EQ(RawExec(StorePath(), "PRAGMA user_version = 2"), "");
  EXPECT_EQ(siptrunk::StoreAdmin::Open(StorePath(), false, &error), nullptr);
  EXPECT_NE(error.find("schema version 2, newer than this program's version 1"), std::string::npos) << error;
  CSIPTrunkBase::STAgentStates states;
  EXPECT_FALSE(Config().GetSIPTrunkAgentStates(states));

  // The store's connection settings: WAL, full sync, in-order schema version.
  sqlite3* db = siptrunk::OpenStoreDatabase(state_.Path() + "/fresh.db", true, &error);
  ASSERT_NE(db, nullptr) << error;
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT * FROM pragma_journal_mode, pragma_synchronous, pragma_user_version", -1,
                               &statement, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) + " " +
                std::to_string(sqlite3_column_int(statement, 1)) + " " +
                std::to_string(sqlite3_column_int(statement, 2)),
            "wal 2 " + std::to_string(siptrunk::kStoreSchemaVersion));  // synchronous 2 = FULL
  sqlite3_finalize(statement);
  sqlite3_close(db);
}

}  // namespace
}  // namespace storetest
