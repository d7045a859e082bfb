// The process entry's exit status when the agent cannot run.
#include <cstdlib>

#include "agent/process_entry.h"
#include "unit/agent_fixture.h"

namespace {

TEST(ProcessEntryDeathTest, AnExceptionThatReachesTheEntryEndsWithAFailureStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        FakeWorld::Get().Reset();
        FakeWorld::Get().storeThrows = "store unusable";
        std::exit(RunSipTrunkAgent());
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
