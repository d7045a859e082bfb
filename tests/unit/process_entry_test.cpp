// The process entry's exit status when the agent cannot run.
#include <cstdlib>

#include "agent/process_entry.h"
#include "unit/agent_fixture.h"

namespace {

TEST(ProcessEntryDeathTest, AnExceptionThatReachesTheEntryEndsWithAFailureStatus) {
#ifndef SIPTRUNK_UNDER_EMULATOR
  // Re-executes the test binary for the child, since the fakes' threads may
  // run. Under qemu-user the binary cannot execute itself (no binfmt handler
  // there), so the cross build's tests keep the default: fork only.
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
