// Start-up, the listen loops and the teardown, with the fakes' links, and the
// process entry's exit status when the agent cannot run.
#include <cstdlib>
#include <thread>

#include "agent/process_entry.h"
#include "unit/agent_fixture.h"

namespace {

using LifecycleTest = AgentTest;

// The start-up order (the regulator before the SIP thread) and the teardown
// (once, pid file removed, its trace line last) are tests/system/test_lifecycle.py's.
TEST_F(LifecycleTest, StartWaitsForTheUserAgent) {
  std::thread userAgent([this] {
    Thread::Sleep(50);
    agent->OnSetUsersList();
  });
  agent->Start();  // returns only once OnSetUsersList has set the flag
  userAgent.join();
  EXPECT_TRUE(Access::UaConnected(*agent));
}

// Confirmations on one thread while the settings thread changes the same
// tables: run under ThreadSanitizer this must report nothing, and the lock
// rules (no user-agent or event call under a lock) must hold throughout.
TEST_F(LifecycleTest, ConfirmationsAndSettingsMessagesInterleaveSafely) {
  UseLanAndWan();
  World().storedUsers = {{"t1", "alice", "pw"}, {"t2", "bob", "pw"}};
  World().storedTrunks = {TrunkEntry("uplink", "carol")};
  World().trunkParams["uplink"] = {"carol", "pw", "192.0.2.1", "5060"};
  World().trunkStates["uplink"] = 1;
  World().roles.bMasterEnabled = true;
  World().roles.bSlaveEnabled = true;
  agent->OnSetUsersList();

  constexpr int kRounds = 300;
  std::thread sipThread([this] {
    for (int i = 0; i < kRounds; ++i) {
      const std::string host = "192.0.2." + std::to_string(2 + i % 30);
      agent->OnConfirmUserState(Account(i % 2 ? "alice" : "bob", "pw", host, "5060"), i % 5 != 0, 0, true);
      agent->OnConfirmUserState(Account("carol", "pw", "192.0.2.1", "5060"), true, static_cast<unsigned>(i % 3), false);
      if (i % 50 == 0) {
        agent->OnPartyStateChanged(false);
        agent->OnSetUsersList();
      }
    }
  });
  std::thread cgiThread([this] {
    for (int i = 0; i < kRounds; ++i) {
      switch (i % 6) {
        case 0: Update({"4", "t" + std::to_string(i), "alice", "pw", "1"}); break;
        case 1: Update({"5", "t1", "t1", "bob", "pw", "0"}); break;
        case 2: Update({"6", "t" + std::to_string(i - 2)}); break;
        case 3: Update({"7", "uplink", "uplink"}); break;
        case 4: Update({"1"}); Update({"0"}); break;
        case 5: Update({"3"}); Update({"2"}); break;
      }
    }
  });
  sipThread.join();
  cgiThread.join();
  EXPECT_EQ(World().callsUnderLock, 0);
}

TEST(ProcessEntryDeathTest, AnExceptionThatReachesTheEntryEndsWithAFailureStatus) {
  // The child re-executes the binary, since the fakes' threads may run; qemu-user cannot, so it only forks.
#ifndef SIPTRUNK_UNDER_EMULATOR
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
  EXPECT_EXIT(
      {
        FakeWorld::Get().Reset();
        FakeWorld::Get().storeThrows = "store unusable";
        std::exit(RunSipTrunkAgent());
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
