// The UA's own logic: error codes, back-off, digest (RFC vectors), nonce rules,
// flood bounds, and the registrar's decisions with its confirmations.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include <sofia-sip/msg.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_parser.h>
#include <sofia-sip/su_alloc.h>

#include "ua/backoff.h"
#include "ua/binding_store.h"
#include "ua/digest.h"
#include "ua/flood_guard.h"
#include "ua/registrar.h"
#include "ua/sip_outcome.h"

using namespace siptrunk::ua;

TEST(SipOutcome, EveryStatusMapsToItsCode) {
  const struct { int status; bool network; uint32_t code; } cases[] = {
      {200, true, 0}, {404, true, 1},  {420, true, 2},   {481, true, 3},   {503, true, 4},   {400, true, 5},
      {503, false, 6}, {480, true, 7}, {484, true, 8},   {408, false, 9},  {407, true, 10},  {606, true, 11},
      {500, true, 12}, {302, true, 12},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorForStatus(c.status, c.network), c.code) << c.status << c.network;
}

TEST(Backoff, DoublesToTheCapWithJitterAndHonoursRetryAfter) {
  BackoffPolicy p;
  p.firstMs = 1000, p.capMs = 8000, p.credentialsMs = 30000, p.retryAfterCapMs = 600000;
  // Jitter halves at draw 0; capped at 8000 before it, without overflow; credentials' floor; Retry-After wins
  // above the back-off, capped; a draw out of range counts as 0.
  const struct { uint32_t failures; double draw; bool cred; uint32_t retryAfter; uint32_t want; } cases[] = {
      {1, 0.0, false, 0, 500},    {1, 0.999999, false, 0, 999}, {3, 0.5, false, 0, 3000},
      {5, 0.0, false, 0, 4000},   {40, 0.999999, false, 0, 7999}, {1, 0.0, true, 0, 30000},
      {1, 0.0, false, 20, 20000}, {5, 0.9, false, 1, 7600},     {1, 0.0, false, 100000, 600000},
      {1, 1.0, false, 0, 500},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BackoffDelayMs(p, c.failures, c.draw, c.cred, c.retryAfter), c.want)
        << "failures " << c.failures << " draw " << c.draw;
  }
}

namespace {
// Credentials as the parameters of an Authorization header.
struct Creds {
  su_home_t home[1] = {SU_HOME_INIT(home)};
  std::vector<std::string> texts;
  auth_response_t ar;
  explicit Creds(std::vector<std::string> params) : texts(std::move(params)) {
    std::vector<const char*> ptrs;
    for (const auto& t : texts) ptrs.push_back(t.c_str());
    ptrs.push_back(nullptr);
    ar = auth_response_t{};
    ar.ar_size = sizeof ar;
    EXPECT_GE(auth_digest_response_get(home, &ar, ptrs.data()), 0);
  }
  ~Creds() { su_home_deinit(home); }
};

std::vector<std::string> Params(const std::string& user, const std::string& realm, const std::string& nonce,
                                const std::string& nc, const std::string& response) {
  return {"username=\"" + user + "\"", "realm=\"" + realm + "\"", "nonce=\"" + nonce + "\"",
          "uri=\"sip:127.0.0.1\"", "qop=auth", "nc=" + nc, "cnonce=\"0a4f113b\"", "algorithm=MD5",
          "response=\"" + response + "\""};
}

// The response a client with `password` would send for these parameters.
std::string ResponseFor(const std::string& user, const std::string& realm, const std::string& nonce,
                   const std::string& nc, const std::string& password) {
  Creds c(Params(user, realm, nonce, nc, std::string(32, '0')));
  auth_hexmd5_t ha1, response;
  auth_digest_ha1(ha1, user.c_str(), realm.c_str(), password.c_str());
  auth_digest_response(&c.ar, response, ha1, "REGISTER", nullptr, 0);
  return response;
}
}  // namespace

TEST(Digest, RfcExampleVectors) {
  // RFC 2617 section 3.5 and RFC 7616 section 3.9.1 (MD5).
  Creds rfc2617({"username=\"Mufasa\"", "realm=\"testrealm@host.com\"",
                 "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\"", "uri=\"/dir/index.html\"", "qop=auth",
                 "nc=00000001", "cnonce=\"0a4f113b\"", "response=\"6629fae49393a05397450978507c4ef1\""});
  EXPECT_TRUE(DigestResponseMatches(rfc2617.ar, "Circle Of Life", "GET"));
  EXPECT_FALSE(DigestResponseMatches(rfc2617.ar, "Circle of Life", "GET"));
  EXPECT_FALSE(DigestResponseMatches(rfc2617.ar, "Circle Of Life", "REGISTER"));
  Creds rfc7616({"username=\"Mufasa\"", "realm=\"http-auth@example.org\"",
                 "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\"", "uri=\"/dir/index.html\"",
                 "algorithm=MD5", "qop=auth", "nc=00000001",
                 "cnonce=\"f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ\"",
                 "response=\"8ca523f5e9506fed4657c9700eebdbec\""});
  EXPECT_TRUE(DigestResponseMatches(rfc7616.ar, "Circle of Life", "GET"));
}

TEST(Digest, NonceRules) {
  DigestAuthority authority("siptrunk", "0123456789abcdef", 300);
  const std::string nonce = authority.IssueNonce(1000);
  auto verify = [&](const std::string& realm, const std::string& n, const std::string& nc, const std::string& pw,
                    uint64_t now) {
    Creds c(Params("alice", realm, n, nc, ResponseFor("alice", realm, n, nc, pw)));
    return authority.Verify(c.ar, "secret", "REGISTER", now);
  };
  std::string forged = nonce;
  forged[47] = forged[47] == '0' ? '1' : '0';
  EXPECT_EQ(verify("siptrunk", nonce, "00000001", "wrong", 1010), DigestResult::kWrongPassword);
  EXPECT_EQ(verify("other", nonce, "00000001", "secret", 1010), DigestResult::kWrongRealm);
  EXPECT_EQ(verify("siptrunk", forged, "00000001", "secret", 1010), DigestResult::kUnknownNonce);
  EXPECT_EQ(verify("siptrunk", nonce, "00000001", "secret", 1010), DigestResult::kOk);
  EXPECT_EQ(verify("siptrunk", nonce, "00000001", "secret", 1011), DigestResult::kReplay);
  EXPECT_EQ(verify("siptrunk", nonce, "00000002", "secret", 1012), DigestResult::kOk);
  EXPECT_EQ(verify("siptrunk", nonce, "00000003", "secret", 1301), DigestResult::kStale);
  EXPECT_EQ(verify("siptrunk", nonce, "zz", "secret", 1012), DigestResult::kMalformed);

  // A nonce pushed out of the bounded table is stale, never accepted again.
  for (size_t i = 0; i < DigestAuthority::kMaxTrackedNonces; ++i) authority.IssueNonce(1020);
  EXPECT_EQ(verify("siptrunk", nonce, "00000009", "secret", 1030), DigestResult::kStale);
}

// The intake bound under a flood is tests/interop/test_robustness.py's; here the window's edge.
TEST(FloodGuard, AdmitsAtMostTheBoundPerWindow) {
  FloodGuard guard(2, 3, 1000);
  for (uint64_t now : {0, 10}) EXPECT_TRUE(guard.Admit(now));
  EXPECT_FALSE(guard.Admit(999));
  EXPECT_EQ(guard.SecondsUntilFree(999), 1u);  // Retry-After: rounded up, never 0
  EXPECT_TRUE(guard.Admit(1000));  // the first left at exactly one window
  EXPECT_FALSE(guard.Take(0, 2));
  EXPECT_TRUE(guard.Take(500, 1));  // takes add up within the window and leave with it
  EXPECT_FALSE(guard.Take(1000, 0));
}

namespace {

struct Confirmation { bool registered; CallParams account; };

CallParams Alice() {
  CallParams p;
  return p.sUserName = "alice", p.sUserPasswd = "secret", p;
}

class RegistrarTest : public ::testing::Test {
 protected:
  RegistrarTest()
      : digest("siptrunk", "0123456789abcdef", 300),
        registrar(&digest, RegistrarLimits{60, 600, 600},
                  [this](bool registered, const CallParams& a) {
                    if (linkUp) confirmations.push_back({registered, a});
                    return linkUp;
                  }) {
    registrar.SetList(true, {Alice()});
  }
  ~RegistrarTest() override {
    for (msg_t* m : messages) msg_destroy(m);
  }
  // One REGISTER for `user`, with a digest answer when a nonce is given.
  Answer Register(const std::string& user, const std::string& expires, const std::string& nonce = "",
                  const std::string& password = "secret", uint64_t now = 100) {
    std::string auth;
    if (!nonce.empty()) {
      static int nc = 0;
      char nc8[9];
      std::snprintf(nc8, sizeof nc8, "%08x", ++nc);
      auth = "Authorization: Digest ";
      for (const auto& p : Params(user, "siptrunk", nonce, nc8, ResponseFor(user, "siptrunk", nonce, nc8, password))) {
        auth += p + (p.rfind("response=", 0) == 0 ? "\r\n" : ", ");
      }
    }
    const std::string text = "REGISTER sip:127.0.0.1 SIP/2.0\r\n"
                             "Via: SIP/2.0/UDP 127.0.0.2:5070;branch=z9hG4bK-1\r\n"
                             "From: \"slave \\\"7\\\"\" <sip:" + user + "@127.0.0.1>;tag=1\r\n"
                             "To: <sip:" + user + "@127.0.0.1>\r\n"
                             "Call-ID: c1@127.0.0.2\r\nCSeq: 1 REGISTER\r\n"
                             "Contact: <sip:" + user + "@127.0.0.2:5070>\r\n"
                             "Expires: " + expires + "\r\n" + auth + "Content-Length: 0\r\n\r\n";
    msg_t* msg = msg_make(sip_default_mclass(), 0, text.data(), text.size());
    EXPECT_NE(msg, nullptr);
    messages.push_back(msg);
    return registrar.Handle(sip_object(msg), "127.0.0.2", 5070, now);
  }

  static std::string NonceOf(const Answer& a) {
    const auto at = a.wwwAuthenticate.find("nonce=\"");
    return at == std::string::npos ? "" : a.wwwAuthenticate.substr(at + 7, 48);
  }

  DigestAuthority digest;
  std::vector<Confirmation> confirmations;
  bool linkUp = true;  // false: the agent cannot be told
  Registrar registrar;
  std::vector<msg_t*> messages;
};

}  // namespace

// Challenge, binding, refresh, refusals, expiry and withdrawal with SIPp are tests/interop/test_registrar.py's;
// here what its scenario does not send.
TEST_F(RegistrarTest, StaleNonceInactiveListLongExpiresAndQuotedName) {
  const std::string nonce = NonceOf(Register("alice", "120"));
  EXPECT_EQ(Register("alice", "120", nonce, "secret", 500).status, 401);  // stale nonce
  EXPECT_TRUE(confirmations.empty());
  EXPECT_TRUE(registrar.bindings().TakeChanged().empty());  // nothing to write: a flood costs no disk

  const Answer ok = Register("alice", "9999", nonce);
  ASSERT_EQ(ok.status, 200) << ok.why;
  EXPECT_EQ(ok.contact, "<sip:alice@127.0.0.2:5070>;expires=600");  // shortened to the maximum
  ASSERT_EQ(confirmations.size(), 1u);
  const CallParams& a = confirmations[0].account;
  EXPECT_EQ(std::to_string(confirmations[0].registered) + " " + a.sHostAddr + ":" + a.sHostPort + " " + a.sHostName,
            "1 127.0.0.2:5070 slave \"7\"");
  registrar.ExpireDue(699);
  EXPECT_EQ(confirmations.size(), 1u);

  registrar.SetList(false, {Alice()});  // the list goes inactive
  EXPECT_EQ(Register("alice", "120").status, 404);
}

TEST_F(RegistrarTest, EndWhileTheAgentIsAwayIsConfirmedWhenItIsBack) {
  Register("alice", "120", NonceOf(Register("alice", "120")));
  linkUp = false;
  EXPECT_EQ(Register("alice", "0", NonceOf(Register("alice", "120"))).status, 200);  // the device removes it
  ASSERT_TRUE(registrar.bindings().Find("alice").has_value());                      // kept, ended
  linkUp = true;
  registrar.ExpireDue(101);
  ASSERT_EQ(confirmations.size(), 2u);
  EXPECT_FALSE(confirmations[1].registered);
  EXPECT_EQ(registrar.bindings().size(), 0u);
}

TEST_F(RegistrarTest, BindingsComeBackFromTheirFileAndBadRowsAreDropped) {
  const std::string path = ::testing::TempDir() + "/ua-bindings-" + std::to_string(getpid()) + ".db";
  Register("alice", "120", NonceOf(Register("alice", "120")));  // steady 100 + 120
  {
    BindingStore store;
    std::string error;
    ASSERT_TRUE(store.Open(path, &error)) << error;
    ASSERT_TRUE(store.Sync(registrar.bindings(), registrar.bindings().TakeChanged(), 1000, 100, &error)) << error;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    for (const char* bad : {"'bob', 'sip:b@h', '', '1.2.3.4', 70000, 1", "'eve', 'http:x', '', '1.2.3.4', 1, 1",
                            "'mal', 'sip:m@h', '', 'nowhere', 1, 1", "'', 'sip:m@h', '', '1.2.3.4', 1, 1"}) {
      ASSERT_EQ(sqlite3_exec(db, (std::string("INSERT INTO bindings VALUES (") + bad + ")").c_str(), nullptr,
                             nullptr, nullptr), SQLITE_OK);
    }
    sqlite3_close(db);
  }
  // Time left, ended, the clock gone back; bad rows are deleted once reported.
  const struct { uint64_t wallNow; uint64_t expiresAt; size_t diagnostics; } cases[] = {
      {1050, 5 + 70, 4}, {1200, 0, 0}, {0, 5 + 600, 0}};
  for (const auto& c : cases) {
    BindingStore store;
    std::string error;
    ASSERT_TRUE(store.Open(path, &error)) << error;
    std::vector<std::string> diagnostics;
    const std::vector<Binding> loaded = store.Load(c.wallNow, 5, 600, &diagnostics);
    EXPECT_EQ(diagnostics.size(), c.diagnostics) << c.wallNow;
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].user + " " + loaded[0].contact + " " + loaded[0].addr,
              "alice sip:alice@127.0.0.2:5070 127.0.0.2");
    EXPECT_EQ(loaded[0].expiresAt, c.expiresAt) << c.wallNow;
  }
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}
