// The agent's store client (CSIPTrunkConfig) on real SQLite files: every
// operation, what survives a restart or a crash, a second writer process, and
// recovery from faults of the file, the directory, the lock and the disk.
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "tests/platform/store_fixture.h"

namespace storetest {
namespace {

using Slaves = std::vector<CSIPTrunkBase::STRegistrationParam>;

std::string Describe(const Slaves& slaves) {
  std::string out;
  for (const auto& s : slaves) out += s.sUserName + "/" + s.sUserPasswd + "@" + s.sHostAddr + ":" + s.sHostPort + " ";
  return out;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

using StoreConfigTest = StoreFixture;

TEST_F(StoreConfigTest, CreatesAMissingStoreReadableByItsOwnerOnly) {
  CSIPTrunkBase::STAgentStates states;
  EXPECT_TRUE(Config().GetSIPTrunkAgentStates(states));
  EXPECT_FALSE(states.bMasterEnabled);
  EXPECT_FALSE(states.bSlaveEnabled);

  struct stat info;
  ASSERT_EQ(stat(StorePath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_NE(Trace().find("INFO: Store: " + StorePath() + " does not exist; creating"), std::string::npos);
  EXPECT_EQ(Trace().find("ERROR"), std::string::npos) << Trace();
}

TEST_F(StoreConfigTest, ListsFollowTheSettingsInInsertionOrder) {
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

  CSIPTrunkBase::STAgentStates states;
  ASSERT_TRUE(Config().GetSIPTrunkAgentStates(states));
  EXPECT_TRUE(states.bMasterEnabled);
  EXPECT_FALSE(states.bSlaveEnabled);

  std::vector<CSIPTrunkBase::STAccessibleUser> users(1);  // appended to, not replaced
  users[0].sTrunkName = "kept";
  ASSERT_TRUE(Config().GetMasterAccesibleUsersList(users));
  ASSERT_EQ(users.size(), 4u);
  EXPECT_EQ(users[0].sTrunkName, "kept");
  EXPECT_EQ(users[1].sTrunkName, "zeta");
  EXPECT_EQ(users[1].sUserName, "u-zeta");
  EXPECT_EQ(users[1].sUserPasswd, "p-zeta");
  EXPECT_EQ(users[2].sTrunkName, "first");
  EXPECT_EQ(users[2].sUserName, "u-alpha");
  EXPECT_EQ(users[3].sTrunkName, "last");

  // Only enabled trunks; bActive from the stored state; no pending announcement.
  std::vector<CSIPTrunkBase::STAccessibleSlave> trunks;
  ASSERT_TRUE(Config().GetSlaveAccesibleUsersList(trunks));
  ASSERT_EQ(trunks.size(), 2u);
  EXPECT_EQ(trunks[0].sTrunkName, "t-on");
  EXPECT_EQ(trunks[0].sUserName, "u1");
  EXPECT_EQ(trunks[0].sUserPasswd, "p1");
  EXPECT_EQ(trunks[0].sHostAddr, "192.0.2.2");
  EXPECT_EQ(trunks[0].sHostPort, "5061");
  EXPECT_FALSE(trunks[0].bActive);
  EXPECT_EQ(trunks[1].sTrunkName, "t-reg");
  EXPECT_TRUE(trunks[1].bActive);
  for (const auto& t : trunks) {
    EXPECT_EQ(t.nLastError, 0u);
    EXPECT_FALSE(t.bNotifySuccess);
  }
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

  bool changed = false;
  ASSERT_TRUE(admin->EditTrunkToMaster("t", {"t2", "new-user", "new-pw", "198.51.100.7", "5070", false, false},
                                       &changed, &error))
      << error;
  EXPECT_TRUE(changed);

  // The sent copy follows the renamed row; registering uses the new values.
  EXPECT_TRUE(Config().GetTrunkToMasterParams("t2", fields, false));
  EXPECT_EQ(fields.sUserName, "old-user");
  EXPECT_EQ(fields.sUserPasswd, "old-pw");
  EXPECT_EQ(fields.sHostAddr, "192.0.2.1");
  EXPECT_EQ(fields.sHostPort, "5060");
  EXPECT_TRUE(Config().GetTrunkToMasterParams("t2", fields, true));
  EXPECT_EQ(fields.sUserName, "new-user");
  EXPECT_EQ(fields.sUserPasswd, "new-pw");
  EXPECT_EQ(fields.sHostAddr, "198.51.100.7");
  EXPECT_EQ(fields.sHostPort, "5070");
  EXPECT_EQ(Config().GetStateOfTrunkToMaster("t2"), 1);

  EXPECT_TRUE(Config().ChangeTrunkToMasterConfig("t2"));
  EXPECT_TRUE(Config().GetTrunkToMasterParams("t2", fields, false));
  EXPECT_EQ(fields.sUserName, "new-user");

  // Disabled: nothing to register, the sent copy can still be withdrawn.
  ASSERT_TRUE(admin->SetTrunkToMasterEnabled("t2", false, &error)) << error;
  EXPECT_EQ(Config().GetStateOfTrunkToMaster("t2"), 0);
  EXPECT_FALSE(Config().GetTrunkToMasterParams("t2", fields, true));
  EXPECT_EQ(fields.sUserName, "");
  EXPECT_EQ(fields.sHostAddr, "");
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

  auto slaves = Snapshot().registeredSlaves;
  ASSERT_EQ(slaves.size(), 4u);
  EXPECT_EQ(slaves[0].user, "a");
  EXPECT_EQ(slaves[0].password, "pa2");
  EXPECT_EQ(slaves[0].since, 100);
  EXPECT_EQ(slaves[1].password, "pb2");
  EXPECT_EQ(slaves[1].since, 100);
  EXPECT_EQ(slaves[2].user, "c");
  EXPECT_GT(slaves[2].since, 100);
  EXPECT_EQ(slaves[3].port, "5062");

  // The password is not part of the key; an unknown registration is left alone.
  EXPECT_TRUE(Config().SetUnregisterParam(Reg("a", "whatever", "192.0.2.10", "5060")));
  EXPECT_FALSE(Config().SetUnregisterParam(Reg("A", "pa2", "192.0.2.10", "5062")));
  slaves = Snapshot().registeredSlaves;
  ASSERT_EQ(slaves.size(), 3u);
  EXPECT_EQ(slaves[0].user, "b");
  EXPECT_EQ(slaves[2].port, "5062");
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
  auto slaves = Snapshot().registeredSlaves;
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(slaves[0].user, "a");
  EXPECT_EQ(slaves[0].address, "192.0.2.5");
  EXPECT_EQ(slaves[0].port, "5070");
  EXPECT_EQ(slaves[0].since, 100);

  // Onto a registration that is already stored: one row remains, no key violation.
  ASSERT_TRUE(Config().SetRegisterParam(Reg("b", "pb", "192.0.2.9", "5060"), false));
  EXPECT_TRUE(Config().ChangeRegisterParam(Reg("b", "pb", "192.0.2.2", "5060"), Reg("b", "pb", "192.0.2.9", "5060")));
  slaves = Snapshot().registeredSlaves;
  ASSERT_EQ(slaves.size(), 2u);
  EXPECT_EQ(slaves[1].user, "b");
  EXPECT_EQ(slaves[1].address, "192.0.2.9");

  // From a registration the store lost: the moved one is recorded.
  EXPECT_TRUE(Config().ChangeRegisterParam(Reg("z", "pz", "192.0.2.7", "5060"), Reg("z", "pz", "192.0.2.8", "5060")));
  slaves = Snapshot().registeredSlaves;
  ASSERT_EQ(slaves.size(), 3u);
  EXPECT_EQ(slaves[2].user, "z");
  EXPECT_EQ(slaves[2].address, "192.0.2.8");
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
  EXPECT_EQ(users[0].sTrunkName, evil);
  EXPECT_EQ(users[0].sUserName, bytes);
  EXPECT_EQ(users[0].sUserPasswd, "'; DELETE FROM registered_slaves;--");

  CSIPTrunkBase::STRegistrationFields fields;
  ASSERT_TRUE(Config().GetTrunkToMasterParams(evil, fields, true));
  EXPECT_EQ(fields.sUserName, bytes);
  EXPECT_EQ(fields.sHostPort, "05060");  // text stays text, no number conversion

  Slaves table;
  ASSERT_TRUE(Config().InitRegisterSlaveList(table));
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].sUserName, evil);
  EXPECT_EQ(table[0].sUserPasswd, bytes);
  EXPECT_TRUE(Config().SetUnregisterParam(table[0]));
}

TEST_F(StoreConfigTest, CommittedRowsSurviveACrashAndARestart) {
  // A child writes and dies without closing anything (nothing checkpointed).
  const std::string child = RunInChild([&]() -> std::string {
    CSIPTrunkConfig config(logger_.get());
    for (int i = 0; i < 20; ++i) {
      if (!config.SetRegisterParam(Reg("u" + std::to_string(i), "p", "192.0.2.1", std::to_string(5000 + i)), false))
        return "write " + std::to_string(i) + " failed";
    }
    _exit(0);
  });
  ASSERT_EQ(child, "");

  Slaves table;
  ASSERT_TRUE(Config().InitRegisterSlaveList(table));
  ASSERT_EQ(table.size(), 20u);
  EXPECT_EQ(table[19].sHostPort, "5019");

  ASSERT_TRUE(Config().SetUnregisterParam(table[0]));
  CloseConfig();
  table.clear();
  ASSERT_TRUE(Config().InitRegisterSlaveList(table));
  EXPECT_EQ(table.size(), 19u);
  EXPECT_EQ(table[0].sUserName, "u1");
}

// The agent and the settings client write at once from two processes, both
// starting on a missing file: every write of both completes and stays.
TEST_F(StoreConfigTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kEdits = 120;
  const std::string path = StorePath();
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(go[1]);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(2);
    std::string error;
    auto admin = siptrunk::StoreAdmin::Open(path, true, &error);
    if (!admin) {
      fprintf(stderr, "child: %s\n", error.c_str());
      _exit(1);
    }
    for (int i = 0; i < kEdits; ++i) {
      const std::string name = "c" + std::to_string(i);
      if (!admin->AddSipTrunk({name, "u", "p", false}, &error) ||
          !admin->SetMasterEnabled(i % 2 == 0, &error) ||
          (i % 3 == 0 && !admin->EditSipTrunk(name, {name, "u2", "p2", true}, false, &error))) {
        fprintf(stderr, "child edit %d: %s\n", i, error.c_str());
        _exit(1);
      }
    }
    _exit(0);
  }
  close(go[0]);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  int failures = 0;
  for (int i = 0; i < kEdits; ++i) {
    if (!Config().SetRegisterParam(Reg("s" + std::to_string(i), "p", "192.0.2.1", "5060"), false)) ++failures;
    CSIPTrunkBase::STAgentStates states;
    if (!Config().GetSIPTrunkAgentStates(states)) ++failures;
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(failures, 0) << Trace();

  const auto snapshot = Snapshot();
  ASSERT_EQ(snapshot.sipTrunks.size(), static_cast<size_t>(kEdits));
  ASSERT_EQ(snapshot.registeredSlaves.size(), static_cast<size_t>(kEdits));
  for (int i = 0; i < kEdits; ++i) {
    EXPECT_EQ(snapshot.sipTrunks[i].name, "c" + std::to_string(i));
    EXPECT_EQ(snapshot.sipTrunks[i].user, i % 3 == 0 ? "u2" : "u");
    EXPECT_EQ(snapshot.registeredSlaves[i].user, "s" + std::to_string(i));
  }
  EXPECT_FALSE(snapshot.masterEnabled);  // the child's last write: i = kEdits - 1 is odd
}

// Both listen threads of the agent call the one client.
TEST_F(StoreConfigTest, TwoThreadsShareOneClient) {
  constexpr int kWrites = 40;
  std::atomic<int> failures{0};
  auto work = [&](const std::string& prefix) {
    for (int i = 0; i < kWrites; ++i) {
      if (!Config().SetRegisterParam(Reg(prefix + std::to_string(i), "p", "192.0.2.1", "5060"), false)) ++failures;
      Slaves table;
      if (!Config().InitRegisterSlaveList(table)) ++failures;
    }
  };
  Config();  // constructed before the threads share it
  std::thread first(work, "a");
  std::thread second(work, "b");
  first.join();
  second.join();
  EXPECT_EQ(failures.load(), 0) << Trace();
  EXPECT_EQ(Snapshot().registeredSlaves.size(), static_cast<size_t>(2 * kWrites));
}

// ---- faults -----------------------------------------------------------------

using StoreFaultTest = StoreFixture;

// Makes a valid store elsewhere holding one SIP trunk and moves it to `path`.
void PutValidStoreAt(StoreFixture& test, const std::string& path, const std::string& trunk) {
  const std::string scratch = test.root_ + "/scratch.db";
  {
    auto admin = test.OpenAdmin(scratch);
    std::string error;
    ASSERT_TRUE(admin && admin->AddSipTrunk({trunk, "u", "p", false}, &error)) << error;
  }
  ASSERT_EQ(rename(scratch.c_str(), path.c_str()), 0);
}

TEST_F(StoreFaultTest, AFileThatIsNotADatabaseIsLeftAloneUntilReplaced) {
  std::string junk;
  for (int i = 0; i < 200; ++i) junk += "this is not a database, line " + std::to_string(i) + "\n";
  WriteFile(StorePath(), junk);

  std::vector<CSIPTrunkBase::STAccessibleUser> users;
  EXPECT_FALSE(Config().GetMasterAccesibleUsersList(users));
  EXPECT_FALSE(Config().SetRegisterParam(Reg("a", "secret-pw", "192.0.2.1", "5060"), false));
  EXPECT_EQ(Config().GetStateOfTrunkToMaster("t"), 0);
  CSIPTrunkBase::STAgentStates states;
  states.bMasterEnabled = true;  // a failed read leaves both false
  EXPECT_FALSE(Config().GetSIPTrunkAgentStates(states));
  EXPECT_FALSE(states.bMasterEnabled);
  EXPECT_TRUE(users.empty());

  EXPECT_TRUE(ReadFile(StorePath()) == junk) << "the file was modified";
  const std::string trace = Trace();
  EXPECT_NE(trace.find("ERROR: Store: GetMasterAccesibleUsersList failed: " + StorePath() +
                       ": file is not a database"),
            std::string::npos)
      << trace;
  EXPECT_EQ(Count(trace, "ERROR: Store: "), 4u) << trace;
  EXPECT_EQ(trace.find("secret-pw"), std::string::npos);

  std::string error;
  EXPECT_EQ(siptrunk::StoreAdmin::Open(StorePath(), true, &error), nullptr);
  EXPECT_NE(error.find("file is not a database"), std::string::npos) << error;
  EXPECT_TRUE(ReadFile(StorePath()) == junk) << "the file was modified";

  PutValidStoreAt(*this, StorePath(), "recovered");
  ASSERT_TRUE(Config().GetMasterAccesibleUsersList(users));
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].sTrunkName, "recovered");
}

TEST_F(StoreFaultTest, AStoreReplacedWhileOpenIsOpenedAgain) {
  ASSERT_TRUE(Config().SetRegisterParam(Reg("a", "p", "192.0.2.1", "5060"), false));
  PutValidStoreAt(*this, StorePath(), "new");

  std::vector<CSIPTrunkBase::STAccessibleUser> users;
  ASSERT_TRUE(Config().GetMasterAccesibleUsersList(users));
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].sTrunkName, "new");
  ASSERT_TRUE(Config().SetRegisterParam(Reg("b", "p", "192.0.2.2", "5060"), false));
  const auto slaves = Snapshot().registeredSlaves;
  ASSERT_EQ(slaves.size(), 1u);  // written to the new file, not the replaced one
  EXPECT_EQ(slaves[0].user, "b");
  EXPECT_NE(Trace().find("was replaced or removed"), std::string::npos);
}

// Root passes file permissions by its capabilities; this drops them from the
// calling thread's effective set while it lives (a no-op for other users).
class FilePermissionsEnforced {
 public:
  FilePermissionsEnforced() {
    if (syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) reduced[cap / 32].effective &= ~(1u << (cap % 32));
    active_ = syscall(SYS_capset, &header_, reduced) == 0;
  }
  ~FilePermissionsEnforced() {
    if (active_) syscall(SYS_capset, &header_, saved_);
  }
  bool ok() const { return active_ || geteuid() != 0; }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
  bool active_ = false;
};

TEST_F(StoreFaultTest, AReadOnlyFileOrDirectoryFailsUntilWritableAgain) {
  PutValidStoreAt(*this, StorePath(), "t");
  FilePermissionsEnforced enforced;
  if (!enforced.ok()) GTEST_SKIP() << "cannot drop CAP_DAC_OVERRIDE, so read-only files stay writable";

  std::vector<CSIPTrunkBase::STAccessibleUser> users;
  ASSERT_EQ(chmod(StorePath().c_str(), 0400), 0);
  EXPECT_FALSE(Config().GetMasterAccesibleUsersList(users));
  EXPECT_NE(Trace().find("ERROR: Store: GetMasterAccesibleUsersList failed: " + StorePath() + ": the file is read-only"),
            std::string::npos)
      << Trace();
  ASSERT_EQ(chmod(StorePath().c_str(), 0600), 0);
  ASSERT_TRUE(Config().GetMasterAccesibleUsersList(users));
  EXPECT_EQ(users.size(), 1u);

  // The -wal and -shm files live beside the store: a read-only directory
  // keeps a closed store from being opened.
  CloseConfig();
  ASSERT_EQ(chmod(stateDir_.c_str(), 0500), 0);
  EXPECT_FALSE(Config().SetRegisterParam(Reg("a", "p", "192.0.2.1", "5060"), false));
  EXPECT_NE(Trace().find("ERROR: Store: SetRegisterParam failed"), std::string::npos) << Trace();
  ASSERT_EQ(chmod(stateDir_.c_str(), 0700), 0);
  EXPECT_TRUE(Config().SetRegisterParam(Reg("a", "p", "192.0.2.1", "5060"), false));
  EXPECT_EQ(Snapshot().registeredSlaves.size(), 1u);
}

TEST_F(StoreFaultTest, AWriteLockHeldPastTheBusyTimeoutFailsThenClears) {
  ASSERT_TRUE(Config().SetRegisterParam(Reg("a", "p", "192.0.2.1", "5060"), false));
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open_v2(StorePath().c_str(), &holder, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE; INSERT INTO sip_trunks (name, user, password) VALUES ('h', 'u', 'p')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);

  EXPECT_FALSE(Config().SetRegisterParam(Reg("b", "p", "192.0.2.2", "5060"), false));
  EXPECT_NE(Trace().find("ERROR: Store: SetRegisterParam failed: database is locked"), std::string::npos) << Trace();
  std::string error;
  auto admin = OpenAdmin();
  EXPECT_FALSE(admin->AddSipTrunk({"x", "u", "p", false}, &error));
  EXPECT_NE(error.find("database is locked"), std::string::npos) << error;
  // Readers are not held up by a writer (WAL).
  Slaves table;
  EXPECT_TRUE(Config().InitRegisterSlaveList(table));
  EXPECT_EQ(table.size(), 1u);

  ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(holder);
  EXPECT_TRUE(Config().SetRegisterParam(Reg("b", "p", "192.0.2.2", "5060"), false));
  EXPECT_TRUE(admin->AddSipTrunk({"x", "u", "p", false}, &error)) << error;
  const auto snapshot = Snapshot();
  EXPECT_EQ(snapshot.registeredSlaves.size(), 2u);
  EXPECT_EQ(snapshot.sipTrunks.size(), 2u);
}

// A full disk: the state directory becomes a small tmpfs in a private mount
// namespace of a child process. A write that does not fit fails and is rolled
// back; once space is freed, writes succeed and every committed row is there.
TEST_F(StoreFaultTest, AFullDiskFailsWritesWithoutLosingCommittedRows) {
  const std::string result = RunInChild([&]() -> std::string {
    if (unshare(CLONE_NEWNS) != 0) return std::string("SKIP: no mount namespace: ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "SKIP: cannot make / private";
    if (mount("tmpfs", stateDir_.c_str(), "tmpfs", 0, "size=384k,mode=0700") != 0)
      return std::string("SKIP: cannot mount tmpfs: ") + strerror(errno);
    CSIPTrunkConfig config(logger_.get());
    const std::string pad(1500, 'p');
    int committed = 0;
    if (!config.SetRegisterParam(Reg("first", pad, "192.0.2.1", "5060"), false)) return "first write failed";
    ++committed;
    const std::string filler = stateDir_ + "/filler";
    const int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
    bool failed = false;
    for (int i = 0; i < 200 && !failed; ++i) {
      if (config.SetRegisterParam(Reg("u" + std::to_string(i), pad, "192.0.2.1", "5060"), false)) {
        ++committed;
      } else {
        failed = true;
      }
    }
    if (!failed) return "no write failed on a full disk";
    if (Trace().find("ERROR: Store: SetRegisterParam failed: database or disk is full") == std::string::npos)
      return "no trace of the full disk: " + Trace();
    unlink(filler.c_str());
    if (!config.SetRegisterParam(Reg("after", pad, "192.0.2.1", "5060"), false)) return "no recovery: " + Trace();
    ++committed;
    Slaves table;
    if (!config.InitRegisterSlaveList(table)) return "read failed";
    if (static_cast<int>(table.size()) != committed)
      return "rows: " + std::to_string(table.size()) + ", committed: " + std::to_string(committed);
    return "";
  });
  if (result.rfind("SKIP:", 0) == 0) GTEST_SKIP() << result;
  EXPECT_EQ(result, "");
}

}  // namespace
}  // namespace storetest
