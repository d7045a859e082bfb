// The settings link over a real cgi-117.sock in a private runtime directory;
// the test thread itself runs the receiving passes.
#include "platform/cgi_messenger.h"

#include "platform/link_codec.h"
#include "platform/paths.h"
#include "tests/platform/link_test_support.h"

namespace {

constexpr int kQueue = 117;
using Items = std::list<std::string>;

class RecordingCgi : public CGIMessenger {
 public:
  RecordingCgi() : CGIMessenger(kQueue) {}
  bool OnUpdateMessage(int queueId, std::list<std::string> const& items) override {
    queues.push_back(queueId);
    messages.push_back(items);
    return false;
  }
  std::vector<int> queues;
  std::vector<Items> messages;
};

// Sends raw bytes as one datagram, as any program may.
bool SendRaw(const std::string& bytes) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  socklen_t len;
  const sockaddr_un addr = linktest::AddressOf(siptrunk::CgiSocketPath(kQueue), &len);
  const bool ok = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&addr), len) ==
                  static_cast<ssize_t>(bytes.size());
  close(fd);
  return ok;
}

class CgiLinkTest : public ::testing::Test {
 protected:
  // Runs receiving passes until `count` messages have been dispatched.
  bool PumpUntil(size_t count) {
    return linktest::WaitUntil([&] { cgi.ProcessMessageFromQueue(1); return cgi.messages.size() >= count; });
  }
  linktest::ScopedRuntimeDirectory runtime;
  RecordingCgi cgi;
  const std::string path = siptrunk::CgiSocketPath(kQueue);
};

// Every siptrunkctl message reaching the agent is test_tools.py's; here raw
// datagrams, the exact limits and the socket file's rules.
TEST_F(CgiLinkTest, MalformedAndOversizedDatagramsAreNotDispatched) {
  cgi.ProcessMessageFromQueue(0);
  const std::string atLimit = std::string(siptrunk::kMaxUpdateDatagram - 1, 'a') + '\0';
  ASSERT_TRUE(SendRaw(std::string("4\0trunk1", 8)));                                 // no final NUL
  ASSERT_TRUE(SendRaw(std::string(siptrunk::kMaxUpdateDatagram, 'a') + '\0'));      // one byte over
  ASSERT_TRUE(SendRaw(std::string(70 * 1024, 'a') + '\0'));                          // cut short
  ASSERT_TRUE(SendRaw(std::string(siptrunk::kMaxUpdateItems + 1, '\0')));           // one item too many
  ASSERT_TRUE(SendRaw(atLimit));
  ASSERT_TRUE(SendRaw(std::string(siptrunk::kMaxUpdateItems, '\0')));               // items at the limit
  ASSERT_TRUE(SendRaw(""));  // the empty list
  ASSERT_TRUE(SendRaw(std::string("9\0\0b\0", 5)));  // as printf | socat sends it
  ASSERT_TRUE(PumpUntil(4));
  cgi.ProcessMessageFromQueue(0);
  EXPECT_EQ(cgi.queues, std::vector<int>(4, kQueue));
  EXPECT_EQ(cgi.messages, (std::vector<Items>{Items{atLimit.substr(0, atLimit.size() - 1)},
                                              Items(siptrunk::kMaxUpdateItems, ""), Items{}, Items{"9", "", "b"}}));
}

TEST_F(CgiLinkTest, SendUpdateExplainsWhyItFailed) {
  // Why a send failed, or "sent".
  const auto send = [](const Items& items) {
    std::string error;
    return CyclicMessageQueue::SendUpdate(kQueue, items, &error) ? "sent" : error;
  };
  EXPECT_EQ(send({"10"}), "no agent is listening on " + path);
  ASSERT_TRUE(linktest::LeaveStaleSocket(path, SOCK_DGRAM));
  EXPECT_EQ(send({"10"}), "no agent is listening on " + path);
  cgi.ProcessMessageFromQueue(0);  // replaces the stale file
  EXPECT_EQ(linktest::ModeOf(path), 0660u);
  EXPECT_NE(send({"4", std::string(siptrunk::kMaxUpdateDatagram, 'x')}).find("larger than the limit"),
            std::string::npos);
  EXPECT_NE(send(Items(siptrunk::kMaxUpdateItems + 1, "6")).find("items"), std::string::npos);
  EXPECT_NE(send({"4", std::string("a\0b", 3)}).find("NUL"), std::string::npos);
  EXPECT_EQ(send({"10"}), "sent");
  ASSERT_TRUE(PumpUntil(1));
  EXPECT_EQ(cgi.messages, std::vector<Items>{Items{"10"}});
}

TEST_F(CgiLinkTest, ALiveSocketOfAnotherProcessIsLeftAlone) {
  const int other = linktest::BindAt(path, SOCK_DGRAM);
  const ino_t otherInode = linktest::InodeOf(path);
  ASSERT_GE(other, 0);
  EXPECT_FALSE(cgi.ProcessMessageFromQueue(0) || cgi.ProcessMessageFromQueue(0));
  EXPECT_EQ(linktest::InodeOf(path), otherInode);
  close(other);
  std::string error;
  cgi.ProcessMessageFromQueue(0);
  ASSERT_TRUE(CyclicMessageQueue::SendUpdate(kQueue, {"2"}, &error)) << error;
  ASSERT_TRUE(PumpUntil(1));
}

// Bound again and again with the umask wide open, the file is never seen wider
// than 0660 or in another group, and no private directory stays behind.
TEST_F(CgiLinkTest, TheSocketIsNeverReachableWithAWiderMode) {
  const mode_t savedMask = umask(0);
  std::atomic<bool> done{false};
  std::atomic<int> sightings{0}, wider{0}, otherGroup{0};
  std::thread client([&] {
    while (!done) {
      struct stat st {};
      if (lstat(path.c_str(), &st) != 0) continue;
      ++sightings, wider += (st.st_mode & 0777 & ~0660u) != 0, otherGroup += st.st_gid != getegid();
    }
  });
  for (int i = 0; i < 300; ++i) RecordingCgi().ProcessMessageFromQueue(0);
  done = true;
  client.join();
  umask(savedMask);
  EXPECT_GT(sightings, 0);
  EXPECT_EQ(wider + otherGroup, 0);
  EXPECT_EQ(linktest::CountEntries(runtime.Path()), 0u);
}

}  // namespace
