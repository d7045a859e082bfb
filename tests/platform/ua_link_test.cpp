// The user-agent link over a real ua.sock in a private runtime directory; a test client plays the user agent.
#include "platform/sip_trunk_messenger.h"

#include <poll.h>

#include <mutex>

#include "platform/link_codec.h"
#include "platform/paths.h"
#include "tests/platform/link_test_support.h"

namespace {

using linktest::Packet;
using linktest::WaitUntil;
using siptrunk::UaMessage;
using siptrunk::UaMessageType;

CallParams Account(const std::string& user, const std::string& password) {
  CallParams p;
  p.sUserName = user, p.sUserPasswd = password, p.sHostAddr = "198.51.100.1", p.sHostPort = "5060";
  return p;
}

std::list<CallParams> Accounts(const std::string& prefix, int count) {
  std::list<CallParams> list;
  for (int i = 0; i < count; ++i) list.push_back(Account(prefix + std::to_string(i), "password-" + std::to_string(i)));
  return list;
}

std::string ConfirmPacket(const CallParams& a, bool registered, unsigned error, bool masterList) {
  UaMessage m;
  m.type = UaMessageType::kConfirmUserState;
  m.registered = registered, m.error = error, m.masterList = masterList, m.account = a;
  std::string packet;
  siptrunk::EncodeUaMessage(m, &packet, nullptr);
  return packet;
}

// A confirmation of exactly `size` bytes, padded in the account's host name.
std::string ConfirmOfSize(CallParams* account, size_t size) {
  account->sHostName.assign(size - ConfirmPacket(*account, true, 0, true).size(), 'h');
  const std::string packet = ConfirmPacket(*account, true, 0, true);
  EXPECT_EQ(packet.size(), size);
  return packet;
}

// The agent side: records every callback as one text, and the threads they came on.
class RecordingMessenger : public CSIPTrunkMessenger {
 public:
  bool OnSetUsersList() override { return Record("lists"); }
  bool OnConfirmUserState(CallParams const& a, bool registered, unsigned error, bool masterList) override {
    return Record("confirm " + a.sUserName + "/" + a.sUserPasswd + "@" + a.sHostAddr + ":" + a.sHostPort + " " +
                  std::to_string(a.sHostName.size()) + " reg=" + std::to_string(registered) + " err=" +
                  std::to_string(error) + " master=" + std::to_string(masterList));
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
    const sockaddr_un addr = linktest::AddressOf(siptrunk::UaSocketPath(), &len);
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
    const int patience = static_cast<int>(std::chrono::milliseconds(linktest::kPatience).count());
    return poll(&p, 1, patience) > 0 ? std::max<ssize_t>(recv(m_fd, m_rx.data(), m_rx.size(), 0), 0) : -1;
  }
  bool Ended() { return Receive() == 0; }
  bool ReceiveMessage(UaMessage* m) {
    std::string why;
    const ssize_t n = Receive();
    const bool ok = n > 0 && siptrunk::DecodeUaMessage(m_rx.data(), static_cast<size_t>(n), m, &why);
    EXPECT_TRUE(ok) << why;
    return ok;
  }
  // Connects and completes HELLO.
  bool Hello() {
    UaMessage answer;
    return Connect() && Send(Packet({"HELLO", "1"})) && ReceiveMessage(&answer) &&
           answer.type == UaMessageType::kHello && answer.version == 1;
  }

 private:
  int m_fd = -1;
  std::vector<char> m_rx = std::vector<char>(siptrunk::kMaxUaPacketOut + 1);
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
  // Starts the agent and connects `ua`; as the agent does, senders wait for "connected".
  bool StartConnected(UaClient* ua) { return Start(), ua->Hello() && agent->WaitForEventCount(1); }
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

  linktest::ScopedRuntimeDirectory runtime;
  std::unique_ptr<RecordingMessenger> agent;
  std::atomic<bool> stop{false};
  std::atomic<long> passes{0};
  std::thread loop;
};

// Callbacks in order, all on the listen thread; a second user agent refused
// while the first stays; a disconnection reported once. Lists of thousands of
// accounts and reconnecting are test_faults.py's and test_ua_side.py's.
TEST_F(UaLinkTest, CallbacksOnTheListenThreadASecondRefusedADisconnectOnce) {
  Start();
  EXPECT_FALSE(agent->SetUsersList(Accounts("u", 1), true, true)) << "nobody to send to yet";
  {
    UaClient ua;
    ASSERT_TRUE(ua.Hello() && agent->WaitForEventCount(1));
    EXPECT_TRUE(agent->IsPartyOnline());
    EXPECT_EQ(linktest::ModeOf(siptrunk::UaSocketPath()), 0660u);
    UaClient second;
    EXPECT_TRUE(second.Connect() && second.Ended());

    const CallParams slave = Account("slave1", "pw1");
    ASSERT_TRUE(ua.Send(Packet({"REQUEST_USERS_LIST"})));
    ASSERT_TRUE(ua.Send(ConfirmPacket(slave, true, 0, true)));
    ASSERT_TRUE(ua.Send(ConfirmPacket(slave, false, 12, false)));
    ASSERT_TRUE(agent->WaitForEventCount(4));
    ASSERT_TRUE(agent->ChangeUserParams(CallParams(), slave, true));
    UaMessage m;
    ASSERT_TRUE(ua.ReceiveMessage(&m));
    EXPECT_TRUE(m.type == UaMessageType::kChangeUserParams && m.masterList && m.oldParams == CallParams() &&
                m.newParams == slave);
  }
  ASSERT_TRUE(agent->WaitForEventCount(5) && WaitPasses(3));
  EXPECT_EQ(agent->Events(), "connected; lists; confirm slave1/pw1@198.51.100.1:5060 0 reg=1 err=0 master=1; "
                             "confirm slave1/pw1@198.51.100.1:5060 0 reg=0 err=12 master=0; disconnected; ");
  EXPECT_FALSE(agent->IsPartyOnline());
  EXPECT_FALSE(agent->SetUsersList(Accounts("u", 1), true, true));
  EXPECT_EQ(agent->Threads(), std::set<std::thread::id>{loop.get_id()});
}

// A connection must start with HELLO 1 (else it is closed, unannounced);
// after it, malformed packets are dropped and the connection stays.
TEST_F(UaLinkTest, BadFirstPacketsCloseAndLaterMalformedOnesAreDropped) {
  Start();
  for (const std::string& first : {Packet({"REQUEST_USERS_LIST"}), Packet({"HELLO", "2"}), Packet({"HELLO", "1", "1"}),
                                   std::string("HELLO\0" "1", 7), std::string(),
                                   ConfirmPacket(Account("a", "b"), true, 0, true)}) {
    UaClient early;
    EXPECT_TRUE(early.Connect() && early.Send(first) && early.Ended()) << "a first packet of " << first.size() << " B";
  }
  UaClient silent;  // one that ends before saying anything
  ASSERT_TRUE(silent.Connect());
  silent.Close();
  ASSERT_TRUE(WaitPasses(3));
  EXPECT_EQ(agent->Events(), "");
  UaClient ua;
  ASSERT_TRUE(ua.Hello());
  CallParams big = Account("big", "pw"), good = Account("good", "pw");
  // Every form the decoder rejects is link_codec_test's; one stands for them
  // here, then a second HELLO, two that only the agent sends, an empty packet,
  // one byte over the limit and far over it (cut short).
  for (const std::string& packet :
       {ConfirmPacket(Account("a", "b"), true, 0, true) + Packet({"x"}), Packet({"HELLO", "1"}),
        Packet({"SET_USERS_LIST", "1", "1", "0"}), Packet({"CHANGE_USER_PARAMS", "1"}) + std::string(22, '\0'),
        std::string(), ConfirmOfSize(&big, siptrunk::kMaxUaPacketIn + 1),
        std::string(3 * siptrunk::kMaxUaPacketIn, 'x') + '\0'}) {
    ASSERT_TRUE(ua.Send(packet));
  }
  ASSERT_TRUE(ua.Send(ConfirmOfSize(&good, siptrunk::kMaxUaPacketIn)));  // exactly the limit is taken
  ASSERT_TRUE(agent->WaitForEventCount(2) && WaitPasses(2));
  EXPECT_EQ(agent->Events(), "connected; confirm good/pw@198.51.100.1:5060 " + std::to_string(good.sHostName.size()) +
                                 " reg=1 err=0 master=1; ");
  ASSERT_TRUE(agent->ChangeUserParams(good, CallParams(), false));
  UaMessage m;
  EXPECT_TRUE(ua.ReceiveMessage(&m) && m.oldParams == good);
}

// Two senders at once on one connection: every list arrives whole and each
// sender's lists in order. All of them fit into the socket's send buffer, so
// no send waits for the reader and the outcome never depends on timing.
TEST_F(UaLinkTest, SendsFromTwoThreadsAtOnceArriveWhole) {
  UaClient ua;
  ASSERT_TRUE(StartConnected(&ua));
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
    const std::list<CallParams> want = Accounts(std::string(1, "ab"[from]) + std::to_string(next[from]++) + "-", kAccounts);
    EXPECT_EQ(m.list, std::vector<CallParams>(want.begin(), want.end()));
  }
}

TEST_F(UaLinkTest, AUserAgentThatStopsReadingIsDisconnectedByTheListenThread) {
  UaClient ua;
  ASSERT_TRUE(StartConnected(&ua));
  const std::list<CallParams> big = Accounts("user-", 5000);
  // The socket holds some lists; then a send waits, gives up and shuts the connection down.
  int sent = 0;
  while (sent < 1000 && agent->SetUsersList(big, true, true)) ++sent;
  ASSERT_TRUE(sent > 0 && sent < 1000) << sent;
  ASSERT_TRUE(agent->WaitForEventCount(2));
  EXPECT_FALSE(agent->SetUsersList(big, true, true));
  ASSERT_TRUE(WaitPasses(3));
  EXPECT_EQ(agent->Events(), "connected; disconnected; ");
  EXPECT_EQ(agent->Threads(), std::set<std::thread::id>{loop.get_id()}) << "the listen thread disconnects";
}

// A stale ua.sock is replaced, a live one left alone until it goes, a missing
// directory waited for, and the file removed at the end only while it is ours.
TEST_F(UaLinkTest, TheSocketFileIsTakenOverOnlyWhenNobodyListens) {
  const std::string path = siptrunk::UaSocketPath();
  const int other = linktest::BindAt(path, SOCK_SEQPACKET);
  const ino_t otherInode = linktest::InodeOf(path);
  ASSERT_GE(other, 0);
  Start();
  ASSERT_TRUE(WaitPasses(3));
  EXPECT_EQ(linktest::InodeOf(path), otherInode);
  close(other);  // leaves its file behind, as a crash would
  {
    UaClient ua;  // only the agent can answer now
    EXPECT_TRUE(ua.Hello());
  }
  Stop();
  EXPECT_FALSE(linktest::Exists(path));

  Start();
  ASSERT_TRUE(WaitUntil([&] { return linktest::Exists(path); }));
  ASSERT_EQ(unlink(path.c_str()), 0);
  const int newer = linktest::BindAt(path, SOCK_SEQPACKET);  // a newer agent's socket
  ASSERT_GE(newer, 0);
  Stop();
  EXPECT_TRUE(linktest::Exists(path));
  close(newer);

  ASSERT_EQ(unlink(path.c_str()), 0);
  const std::string dir = runtime.Path() + "/later";
  setenv("RUNTIME_DIRECTORY", dir.c_str(), 1);
  Start();
  ASSERT_TRUE(WaitPasses(2));
  ASSERT_EQ(mkdir(dir.c_str(), 0750), 0);
  UaClient ua;
  EXPECT_TRUE(ua.Hello());
}

}  // namespace
