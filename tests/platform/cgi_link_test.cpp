// The settings link over a real cgi-117.sock in a private runtime directory; the test thread runs the passes.
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
    EXPECT_EQ(queueId, kQueue);
    messages.push_back(items);
    return false;
  }
  std::vector<Items> messages;
};

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

// siptrunkctl's messages are test_tools.py's; here raw datagrams as any program may send, at and past the limits.
TEST_F(CgiLinkTest, MalformedAndOversizedDatagramsAreNotDispatched) {
  cgi.ProcessMessageFromQueue(0);
  const std::string atLimit = std::string(siptrunk::kMaxUpdateDatagram - 1, 'a') + '\0';
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  socklen_t len;
  const sockaddr_un addr = linktest::AddressOf(path, &len);
  for (const std::string& bytes : {std::string("4\0trunk1", 8),                              // no final NUL
                                   std::string(siptrunk::kMaxUpdateDatagram, 'a') + '\0',   // one byte over
                                   std::string(siptrunk::kMaxUpdateItems + 1, '\0'),        // one item too many
                                   atLimit, std::string(siptrunk::kMaxUpdateItems, '\0'), std::string(),
                                   std::string("9\0\0b\0", 5)}) {  // the last as printf | socat sends it
    ASSERT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&addr), len),
              static_cast<ssize_t>(bytes.size()));
  }
  close(fd);
  ASSERT_TRUE(PumpUntil(4));
  cgi.ProcessMessageFromQueue(0);
  EXPECT_EQ(cgi.messages, (std::vector<Items>{Items{atLimit.substr(0, atLimit.size() - 1)},
                                              Items(siptrunk::kMaxUpdateItems, ""), Items{}, Items{"9", "", "b"}}));
}

// A live socket of another process is left alone, a stale one replaced; a
// sender refuses what the receiver would drop.
TEST_F(CgiLinkTest, TheSocketFileIsTakenOverOnlyWhenStaleAndSendUpdateRefusesWhatWouldBeDropped) {
  std::string error;
  const auto send = [&error](const Items& items) { return CyclicMessageQueue::SendUpdate(kQueue, items, &error); };
  const int other = linktest::BindAt(path, SOCK_DGRAM);
  const ino_t otherInode = linktest::InodeOf(path);
  ASSERT_GE(other, 0);
  EXPECT_FALSE(cgi.ProcessMessageFromQueue(0) || cgi.ProcessMessageFromQueue(0));
  EXPECT_EQ(linktest::InodeOf(path), otherInode);
  close(other);
  EXPECT_FALSE(send({"10"})) << "nobody listens on the stale file";
  cgi.ProcessMessageFromQueue(0);
  EXPECT_FALSE(send({"4", std::string(siptrunk::kMaxUpdateDatagram, 'x')}) ||
               send(Items(siptrunk::kMaxUpdateItems + 1, "6")) || send({"4", std::string("a\0b", 3)}));
  EXPECT_TRUE(send({"10"}));
  ASSERT_TRUE(PumpUntil(1));
  EXPECT_EQ(cgi.messages, std::vector<Items>{Items{"10"}});
}

// Bound again and again with the umask wide open, the file is never seen wider
// than 0660 or in another group, and no private directory stays behind.
TEST_F(CgiLinkTest, TheSocketIsNeverReachableWithAWiderMode) {
  const mode_t savedMask = umask(0);
  std::atomic<bool> done{false};
  std::atomic<int> sightings{0}, wider{0}, otherGroup{0};
  std::thread client([&] {
    for (struct stat st {}; !done;) {
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
  EXPECT_EQ(rmdir(runtime.Path().c_str()), 0) << "something stayed behind in the runtime directory";
}

}  // namespace
