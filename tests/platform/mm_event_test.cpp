// The event-manager client against a real eventman.sock listener.
#include "platform/mm_event.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "platform/link_codec.h"
#include "platform/paths.h"
#include "tests/platform/link_test_support.h"

namespace {

siptrunk::EventNotice ReceiveNotice(int fd) {
  siptrunk::EventNotice notice;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(linktest::kPatience).count())) <= 0) {
    ADD_FAILURE() << "no notice arrived";
    return notice;
  }
  std::vector<char> buffer(65536);
  const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
  std::string why;
  EXPECT_TRUE(n >= 0 && siptrunk::DecodeEventNotice(buffer.data(), static_cast<size_t>(n), &notice, &why)) << why;
  return notice;
}

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

TEST_F(MMEventTest, AListenerGetsSourceKindAndText) {
  const int listener = linktest::BindAt(siptrunk::EventSocketPath(), SOCK_DGRAM);
  ASSERT_GE(listener, 0);
  EXPECT_NE(Raise("SIPTunnelSlave", "Registration failure", "failed"), 0);
  EXPECT_NE(Raise("SIPTunnelMaster", "Registration", "registered"), 0);

  for (const char* expected : {"SIPTunnelSlave|Registration failure|failed", "SIPTunnelMaster|Registration|registered"}) {
    const siptrunk::EventNotice n = ReceiveNotice(listener);
    EXPECT_EQ(n.source + "|" + n.kind + "|" + n.text, expected);
  }
  close(listener);
}

TEST_F(MMEventTest, RegisterChecksSourceAndKind) {
  const std::string longest(64, 'k');
  const std::string tooLong(65, 'k');
  MMEvent event;
  EXPECT_EQ(event.Raise("text", nullptr, nullptr), 0) << "not registered yet";
  EXPECT_EQ(event.Register(nullptr, "Registration"), 0);
  EXPECT_EQ(event.Register("SIPTunnelSlave", nullptr), 0);
  EXPECT_EQ(event.Register("", "Registration"), 0);
  EXPECT_EQ(event.Register("SIPTunnelSlave", ""), 0);
  EXPECT_EQ(event.Register("SIPTunnelSlave", tooLong.c_str()), 0);
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

  // A listener that never reads: its queue fills, and further notices must
  // neither wait for room nor report failure (syslog still has them).
  const int listener = linktest::BindAt(path, SOCK_DGRAM);
  ASSERT_GE(listener, 0);
  int queueLength = 512;
  std::ifstream("/proc/sys/net/unix/max_dgram_qlen") >> queueLength;
  for (int i = 0; i < queueLength + 5; ++i) {
    ASSERT_NE(Raise("SIPTunnelMaster", "Registration", "queue filler"), 0) << i;
  }
  close(listener);
}

}  // namespace
