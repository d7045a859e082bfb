// The event-manager client's argument bounds. Delivery, and a listener missing,
// stale or full never holding the agent, are test_tools.py's and test_faults.py's.
#include "platform/mm_event.h"

#include "tests/platform/link_test_support.h"

namespace {

TEST(MMEventTest, RegisterChecksSourceAndKindAndARefusalWithdrawsTheLastOne) {
  linktest::ScopedRuntimeDirectory runtime;
  const std::string longest(64, 'k'), tooLong(65, 'k');
  MMEvent event;
  EXPECT_EQ(event.Raise("text", nullptr, nullptr), 0) << "not registered yet";
  EXPECT_NE(event.Register(longest.c_str(), longest.c_str()), 0);
  EXPECT_NE(event.Raise("nobody listens", nullptr, nullptr), 0);
  const std::pair<const char*, const char*> refused[] = {{nullptr, "Registration"}, {"SIPTunnelSlave", nullptr},
                                                         {"", "Registration"}, {"SIPTunnelSlave", tooLong.c_str()}};
  for (const auto& r : refused) {
    EXPECT_EQ(event.Register(r.first, r.second), 0) << (r.first ? r.first : "null");
    EXPECT_EQ(event.Raise("text", nullptr, nullptr), 0);
  }
  MMEvent::StopSender();
}

}  // namespace
