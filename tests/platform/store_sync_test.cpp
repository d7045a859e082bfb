// The group commit of registered slaves: which writes reach the disk when. A VFS that wraps SQLite's own counts
// the syncs of the write-ahead log, the one thing a power cut cannot take back.
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
  const Reg a{"a", "pa", "192.0.2.10", "5060"}, b{"b", "pb", "192.0.2.11", "5060"};
  ASSERT_TRUE(Config().SetRegisterParam(a, false));  // opens and creates
  Config().DeferSlaveSyncOnThisThread();
  const int before = gLogSyncs;
  EXPECT_TRUE(Config().SetRegisterParam(b, false) && Config().SetRegisterParam(b, true) &&
              Config().ChangeRegisterParam(b, Reg{"b", "pb", "192.0.2.12", "5060"}) && Config().SetUnregisterParam(a));
  // Committed all the same (another connection reads them); synced once, and not again while nothing waits.
  EXPECT_TRUE(gLogSyncs - before == 0 && Snapshot().registeredSlaves.size() == 1);
  EXPECT_TRUE(Config().SyncRegisteredSlaves() && gLogSyncs - before == 1 && Config().SyncRegisteredSlaves());
  EXPECT_EQ(gLogSyncs - before, 1);
  // The connection is back at a sync per commit for every other write, and for slave writes on any other thread.
  EXPECT_TRUE(Config().WriteRegisteredSlaves({Reg{"c", "pc", "192.0.2.13", "5060"}}, {}) && gLogSyncs - before == 2);
  std::thread([&] { EXPECT_TRUE(Config().SetRegisterParam(Reg{"d", "pd", "192.0.2.14", "5060"}, false)); }).join();
  EXPECT_TRUE(gLogSyncs - before == 3 && !Config().LastRegisteredSlaveWriteFailed());
}

}  // namespace
}  // namespace storetest
