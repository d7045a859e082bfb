// The event-manager client: argument checks, and an eventman.sock listener missing, stale or never reading.
#include "platform/mm_event.h"

#include "platform/paths.h"
#include "tests/platform/link_test_support.h"

namespace {

int Raise(const char* source, const char* kind, const char* text) {
  MMEvent event;
  if (event.Register(source, kind) == 0) return 0;
  return event.Raise(text, nullptr, nullptr);
}

class MMEventTest : public ::testing::Test {
 protected:
  void TearDown() override { MMEvent::StopSender(); }
  linktest::ScopedRuntimeDirectory runtime;
};

// Delivery, and a listener gone, stale or slow losing nothing once it reads,
// are test_tools.py's and test_faults.py's; these are the bounds.
TEST_F(MMEventTest, RegisterChecksSourceAndKind) {
  const std::string longest(64, 'k'), tooLong(65, 'k');
  MMEvent event;
  EXPECT_EQ(event.Raise("text", nullptr, nullptr), 0) << "not registered yet";
  const std::pair<const char*, const char*> refused[] = {{nullptr, "Registration"}, {"SIPTunnelSlave", nullptr},
                                                         {"", "Registration"}, {"SIPTunnelSlave", ""},
                                                         {"SIPTunnelSlave", tooLong.c_str()}};
  for (const auto& r : refused) EXPECT_EQ(event.Register(r.first, r.second), 0) << (r.first ? r.first : "null");
  EXPECT_NE(event.Register(longest.c_str(), longest.c_str()), 0);
  EXPECT_NE(event.Raise("text", nullptr, nullptr), 0);
  // A refused Register withdraws an earlier one.
  EXPECT_EQ(event.Register(tooLong.c_str(), "Registration"), 0);
  EXPECT_EQ(event.Raise("text", nullptr, nullptr), 0);
}

TEST_F(MMEventTest, NoListenerOrABusyOneNeitherBlocksNorFails) {
  const std::string path = siptrunk::EventSocketPath();
  EXPECT_NE(Raise("SIPTunnelSlave", "Registration", "nobody listens"), 0);
  ASSERT_TRUE(linktest::LeaveStaleSocket(path, SOCK_DGRAM));
  EXPECT_NE(Raise("SIPTunnelSlave", "Registration", "a stale socket file"), 0);
  ASSERT_EQ(unlink(path.c_str()), 0);

  // A listener that never reads: once its queue is full, notices neither wait nor fail (syslog has them).
  const int listener = linktest::BindAt(path, SOCK_DGRAM);
  ASSERT_GE(listener, 0);
  int queueLength = 512;
  std::ifstream("/proc/sys/net/unix/max_dgram_qlen") >> queueLength;
  for (int i = 0; i < queueLength + 5; ++i) ASSERT_NE(Raise("SIPTunnelMaster", "Registration", "queue filler"), 0) << i;
  close(listener);
}

}  // namespace
