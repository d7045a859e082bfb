// The group commit of registered slaves: which writes reach the disk when.
// A VFS that wraps SQLite's own counts the syncs of the write-ahead log, the
// one thing a power cut cannot take back.
#include <atomic>
#include <thread>

#include "tests/platform/store_fixture.h"

namespace storetest {
namespace {

sqlite3_vfs* gReal = nullptr;
sqlite3_io_methods gLogMethods;
const sqlite3_io_methods* gRealLogMethods = nullptr;
std::atomic<int> gLogSyncs{0};

int CountedSync(sqlite3_file* file, int flags) {
  ++gLogSyncs;
  return gRealLogMethods->xSync(file, flags);
}

// Opens through the real VFS; a log file gets the counting methods.
int CountingOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  const int rc = gReal->xOpen(gReal, name, file, flags, outFlags);
  if (rc == SQLITE_OK && (flags & SQLITE_OPEN_WAL) != 0 && file->pMethods != nullptr) {
    if (gRealLogMethods == nullptr) {
      gRealLogMethods = file->pMethods;
      gLogMethods = *file->pMethods;
      gLogMethods.xSync = CountedSync;
    }
    file->pMethods = &gLogMethods;
  }
  return rc;
}

class StoreSyncTest : public StoreFixture {
 public:
  static void SetUpTestSuite() {
    static sqlite3_vfs counting;
    gReal = sqlite3_vfs_find(nullptr);
    counting = *gReal;
    counting.zName = "counting";
    counting.xOpen = CountingOpen;
    sqlite3_vfs_register(&counting, /*makeDefault=*/1);
  }
  static void TearDownTestSuite() { sqlite3_vfs_register(gReal, 1); }
};

TEST_F(StoreSyncTest, SlaveWritesOfTheDeferringThreadShareOneSyncAndEveryOtherWriteSyncsOnReturn) {
  ASSERT_TRUE(Config().SetRegisterParam(Reg{"a", "pa", "192.0.2.10", "5060"}, false));  // opens and creates
  Config().DeferSlaveSyncOnThisThread();
  const int before = gLogSyncs;
  EXPECT_TRUE(Config().SetRegisterParam(Reg{"b", "pb", "192.0.2.11", "5060"}, false));
  EXPECT_TRUE(Config().SetRegisterParam(Reg{"b", "pb", "192.0.2.11", "5060"}, true));
  EXPECT_TRUE(Config().ChangeRegisterParam(Reg{"b", "pb", "192.0.2.11", "5060"}, Reg{"b", "pb", "192.0.2.12", "5060"}));
  EXPECT_TRUE(Config().SetUnregisterParam(Reg{"a", "pa", "192.0.2.10", "5060"}));
  EXPECT_EQ(gLogSyncs - before, 0);
  // Committed all the same: another connection reads them.
  EXPECT_EQ(Snapshot().registeredSlaves.size(), 1u);
  EXPECT_TRUE(Config().SyncRegisteredSlaves());
  EXPECT_EQ(gLogSyncs - before, 1);
  EXPECT_TRUE(Config().SyncRegisteredSlaves());  // nothing waits: no sync
  EXPECT_EQ(gLogSyncs - before, 1);

  // The connection is back at a sync per commit for every other write...
  EXPECT_TRUE(Config().WriteRegisteredSlaves({Reg{"c", "pc", "192.0.2.13", "5060"}}, {}));
  EXPECT_EQ(gLogSyncs - before, 2);
  // ...and for slave writes made on any other thread.
  std::thread([&] { EXPECT_TRUE(Config().SetRegisterParam(Reg{"d", "pd", "192.0.2.14", "5060"}, false)); }).join();
  EXPECT_EQ(gLogSyncs - before, 3);
  EXPECT_FALSE(Config().LastRegisteredSlaveWriteFailed());
}

}  // namespace
}  // namespace storetest
