// The user-agent link over a real ua.sock in a private runtime directory; a test client plays the user agent.
#include "platform/sip_trunk_messenger.h"

#include <poll.h>

#include <mutex>

#include "platform/link_codec.h"
#include "platform/paths.h"
#include "tests/platform/link_test_support.h"

namespace {

using namespace linktest;
using namespace siptrunk;

std::list<CallParams> Accounts(const std::string& prefix, int count) {
  std::list<CallParams> list(static_cast<size_t>(count));
  int i = 0;
  for (CallParams& p : list) {
    p.sUserName = prefix + std::to_string(i), p.sUserPasswd = "pw" + std::to_string(i++);
    p.sHostAddr = "198.51.100.1", p.sHostPort = "5060";
  }
  return list;
}

std::string ConfirmPacket(const CallParams& a, bool registered, unsigned error, bool masterList) {
  UaMessage m;
  m.type = UaMessageType::kConfirmUserState;
  m.registered = registered, m.error = error, m.masterList = masterList, m.account = a;
  std::string packet;
  EncodeUaMessage(m, &packet, nullptr);
  return packet;
}

// A confirmation of exactly `size` bytes, padded in the account's host name.
std::string ConfirmOfSize(CallParams* account, size_t size) {
  account->sHostName.assign(size - ConfirmPacket(*account, true, 0, true).size(), 'h');
  return ConfirmPacket(*account, true, 0, true);
}

// The agent side: records every callback as one text, and the threads they came on.
class RecordingMessenger : public CSIPTrunkMessenger {
 public:
  bool OnSetUsersList() override { return Record("lists"); }
  bool OnConfirmUserState(CallParams const& a, bool registered, unsigned error, bool masterList) override {
    return Record("confirm " + a.sUserName + "@" + a.sHostAddr + " " + std::to_string(a.sHostName.size()) + " " +
                  std::to_string(registered) + std::to_string(error) + std::to_string(masterList));
  }
  bool OnPartyStateChanged(bool const& connected) override { return Record(connected ? "connected" : "disconnected"); }
  // The callbacks so far, each followed by "; ".
  std::string Events() { std::lock_guard<std::mutex> lock(m_mutex); return m_events; }
  std::set<std::thread::id> Threads() { std::lock_guard<std::mutex> lock(m_mutex); return m_threads; }
  bool WaitForEventCount(long n) {
    return WaitUntil([&] { const std::string e = Events(); return std::count(e.begin(), e.end(), ';') >= n; });
  }

 private:
  bool Record(const std::string& e) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events += e + "; ";
    m_threads.insert(std::this_thread::get_id());
    return true;
  }
  std::mutex m_mutex;
  std::string m_events;
  std::set<std::thread::id> m_threads;
};

// The user agent's end of the link.
class UaClient {
 public:
  ~UaClient() { Close(); }
  // Retries while the agent has not bound ua.sock yet.
  bool Connect() {
    socklen_t len;
    const sockaddr_un addr = AddressOf(UaSocketPath(), &len);
    return WaitUntil([&] {
      Close();
      m_fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      return connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
    });
  }
  void Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }
  bool Send(const std::string& bytes) {
    return send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // The length of the next packet, read into m_rx: 0 when the agent closed, -1 after kPatience of silence.
  ssize_t Receive() {
    pollfd p{m_fd, POLLIN, 0};
    const int patience = static_cast<int>(std::chrono::milliseconds(kPatience).count());
    return poll(&p, 1, patience) > 0 ? std::max<ssize_t>(recv(m_fd, m_rx.data(), m_rx.size(), 0), 0) : -1;
  }
  bool Ended() { return Receive() == 0; }
  bool ReceiveMessage(UaMessage* m) {
    const ssize_t n = Receive();
    return n > 0 && DecodeUaMessage(m_rx.data(), static_cast<size_t>(n), m, nullptr);
  }
  // Connects and completes HELLO.
  bool Hello() {
    UaMessage answer;
    return Connect() && Send(Packet({"HELLO", "1"})) && ReceiveMessage(&answer) &&
           answer.type == UaMessageType::kHello && answer.version == 1;
  }

 private:
  int m_fd = -1;
  std::vector<char> m_rx = std::vector<char>(kMaxUaPacketOut + 1);
};

class UaLinkTest : public ::testing::Test {
 protected:
  // The agent side runs the SIP listen loop on a thread of its own, as the agent does.
  void Start() {
    agent = std::make_unique<RecordingMessenger>();
    stop = false;
    loop = std::thread([this] {
      for (; !stop; ++passes) agent->ProcessMessageFromQueue(1);
    });
  }
  void Stop() {
    if (loop.joinable()) stop = true, loop.join();
    agent.reset();
  }
  void TearDown() override { Stop(); }
  // Returns once `n` further passes of the loop have completed.
  bool WaitPasses(int n) {
    const long target = passes + n;
    return WaitUntil([&] { return passes >= target; });
  }

  ScopedRuntimeDirectory runtime;
  std::unique_ptr<RecordingMessenger> agent;
  std::atomic<bool> stop{false};
  std::atomic<long> passes{0};
  std::thread loop;
};

// Callbacks in order, on the listen thread, for the one user agent that said HELLO 1; a second one is refused, a
// packet only the agent sends or one byte over the limit dropped. Malformed packets, big lists, reconnecting and
// what the agent sends are test_ua_side.py's, test_faults.py's, test_settings.py's and the codec's.
TEST_F(UaLinkTest, CallbacksOnTheListenThreadForTheOneUserAgentThatSaidHello) {
  Start();
  for (const std::string& first : {Packet({"REQUEST_USERS_LIST"}), Packet({"HELLO", "2"}), std::string()}) {
    UaClient early;
    EXPECT_TRUE(early.Connect() && early.Send(first) && early.Ended()) << "a first packet of " << first.size() << " B";
  }
  const CallParams slave = Accounts("slave", 1).front();
  CallParams big = slave, atLimit = slave;
  {
    UaClient ua, second;
    ASSERT_TRUE(ua.Hello() && agent->WaitForEventCount(1));
    EXPECT_TRUE(agent->IsPartyOnline() && second.Connect() && second.Ended());
    for (const std::string& packet : {Packet({"SET_USERS_LIST", "1", "1", "0"}), Packet({"REQUEST_USERS_LIST"}),
                                      ConfirmOfSize(&big, kMaxUaPacketIn + 1),
                                      ConfirmOfSize(&atLimit, kMaxUaPacketIn),
                                      ConfirmPacket(slave, false, 12, false)}) {
      ASSERT_TRUE(ua.Send(packet));
    }
    ASSERT_TRUE(agent->WaitForEventCount(4));
  }
  ASSERT_TRUE(agent->WaitForEventCount(5) && WaitPasses(3));
  EXPECT_EQ(agent->Events(), "connected; lists; confirm slave0@198.51.100.1 " +
                                 std::to_string(atLimit.sHostName.size()) +
                                 " 101; confirm slave0@198.51.100.1 0 0120; disconnected; ");
  EXPECT_FALSE(agent->IsPartyOnline() || agent->SetUsersList(Accounts("u", 1), true, true));
  EXPECT_EQ(agent->Threads(), std::set<std::thread::id>{loop.get_id()});
}

// Two senders at once: every list arrives whole, each sender's in order (all fit the send buffer, so nothing
// depends on timing). Then the user agent stops reading: a send waits, gives up and the listen thread disconnects
// (test_faults.py's minute-long version through the agent is not in make test).
TEST_F(UaLinkTest, SendsFromTwoThreadsArriveWholeAndAUserAgentThatStopsReadingIsDisconnected) {
  UaClient ua;
  Start();
  ASSERT_TRUE(ua.Hello() && agent->WaitForEventCount(1));
  constexpr int kLists = 8, kAccounts = 100;
  std::atomic<int> sentWhole{0};
  auto sender = [&](char tag) {
    for (int i = 0; i < kLists; ++i) {
      sentWhole += agent->SetUsersList(Accounts(std::string(1, tag) + std::to_string(i) + "-", kAccounts), true, true);
    }
  };
  std::thread a(sender, 'a'), b(sender, 'b');
  a.join(), b.join();
  EXPECT_EQ(sentWhole.load(), 2 * kLists);
  int next[2] = {0, 0};
  for (int n = 0; n < 2 * kLists; ++n) {
    UaMessage m;
    ASSERT_TRUE(ua.ReceiveMessage(&m) && m.list.size() == kAccounts);
    const int from = m.list.front().sUserName[0] == 'a' ? 0 : 1;
    const auto want = Accounts(std::string(1, "ab"[from]) + std::to_string(next[from]++) + "-", kAccounts);
    EXPECT_EQ(m.list, std::vector<CallParams>(want.begin(), want.end()));
  }
  const std::list<CallParams> big = Accounts("user-", 5000);
  int sent = 0;
  while (sent < 1000 && agent->SetUsersList(big, true, true)) ++sent;
  ASSERT_TRUE(sent > 0 && sent < 1000) << sent;
  ASSERT_TRUE(agent->WaitForEventCount(2) && WaitPasses(3));
  EXPECT_FALSE(agent->SetUsersList(big, true, true));
  EXPECT_EQ(agent->Events(), "connected; disconnected; ");
  EXPECT_EQ(agent->Threads(), std::set<std::thread::id>{loop.get_id()}) << "the listen thread disconnects";
}

// A live ua.sock of another process is left alone; once stale it is replaced, and removed at the end.
TEST_F(UaLinkTest, TheSocketFileIsTakenOverOnlyWhenNobodyListens) {
  const std::string path = UaSocketPath();
  const int other = BindAt(path, SOCK_SEQPACKET);
  const ino_t otherInode = InodeOf(path);
  ASSERT_GE(other, 0);
  Start();
  ASSERT_TRUE(WaitPasses(3));
  EXPECT_EQ(InodeOf(path), otherInode);
  close(other);  // leaves its file behind, as a crash would
  {
    UaClient ua;  // only the agent can answer now
    EXPECT_TRUE(ua.Hello());
  }
  Stop();
  EXPECT_FALSE(Exists(path));
}

}  // namespace
