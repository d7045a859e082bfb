// The registrar's decisions on parsed REGISTERs, and its confirmations.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include <sofia-sip/msg.h>
#include <sofia-sip/msg_header.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_parser.h>

#include <sqlite3.h>

#include "ua/binding_store.h"
#include "ua/registrar.h"

using namespace siptrunk::ua;

namespace {

struct Confirmation {
  bool registered;
  CallParams account;
};

CallParams Account(const std::string& user, const std::string& password) {
  CallParams p;
  p.sUserName = user;
  p.sUserPasswd = password;
  return p;
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
    registrar.SetList(true, {Account("alice", "secret")});
  }
  ~RegistrarTest() override {
    for (msg_t* m : messages) msg_destroy(m);
  }

  // Sends one REGISTER for `user` (with a digest answer when a nonce is given)
  // and returns the registrar's answer.
  Answer Register(const std::string& user, const std::string& expires, const std::string& nonce = "",
                  const std::string& password = "secret", uint64_t now = 100) {
    std::string auth;
    if (!nonce.empty()) {
      static int nc = 0;
      char ncText[9];
      std::snprintf(ncText, sizeof ncText, "%08x", ++nc);
      auth_hexmd5_t ha1, response;
      auth_response_t ar;
      std::memset(&ar, 0, sizeof ar);
      ar.ar_size = sizeof ar;
      ar.ar_username = user.c_str();
      ar.ar_realm = "siptrunk";
      ar.ar_nonce = nonce.c_str();
      ar.ar_uri = "sip:127.0.0.1";
      ar.ar_cnonce = "abc";
      ar.ar_nc = ncText;
      ar.ar_qop = "auth";
      ar.ar_auth = 1;
      auth_digest_ha1(ha1, user.c_str(), "siptrunk", password.c_str());
      auth_digest_response(&ar, response, ha1, "REGISTER", nullptr, 0);
      auth = "Authorization: Digest username=\"" + user + "\", realm=\"siptrunk\", nonce=\"" + nonce +
             "\", uri=\"sip:127.0.0.1\", qop=auth, nc=" + ncText + ", cnonce=\"abc\", algorithm=MD5, response=\"" +
             response + "\"\r\n";
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

// Challenge, binding, refresh, refusals (403, 404 before any 401, 423),
// expiry and a withdrawn account end to end with SIPp are
// tests/interop/test_registrar.py's; these are what SIPp's scenario does not
// send: a stale nonce, an inactive list, an Expires above the maximum and a
// quoted display name.
TEST_F(RegistrarTest, StaleNonceInactiveListLongExpiresAndQuotedName) {
  const std::string nonce = NonceOf(Register("alice", "120"));
  EXPECT_EQ(Register("alice", "120", nonce, "secret", 500).status, 401);  // stale nonce
  EXPECT_TRUE(confirmations.empty());
  EXPECT_TRUE(registrar.bindings().TakeChanged().empty());  // nothing to write: a flood costs no disk

  const Answer ok = Register("alice", "9999", nonce);
  ASSERT_EQ(ok.status, 200) << ok.why;
  EXPECT_EQ(ok.contact, "<sip:alice@127.0.0.2:5070>;expires=600");  // shortened to the maximum
  ASSERT_EQ(confirmations.size(), 1u);
  EXPECT_TRUE(confirmations[0].registered);
  EXPECT_EQ(confirmations[0].account.sHostAddr + ":" + confirmations[0].account.sHostPort, "127.0.0.2:5070");
  EXPECT_EQ(confirmations[0].account.sHostName, "slave \"7\"");
  registrar.ExpireDue(699);
  EXPECT_EQ(confirmations.size(), 1u);

  registrar.SetList(false, {Account("alice", "secret")});  // the list goes inactive
  EXPECT_EQ(Register("alice", "120").status, 404);
}

TEST_F(RegistrarTest, EndWhileTheAgentIsAwayIsConfirmedWhenItIsBack) {
  Register("alice", "120", NonceOf(Register("alice", "120")));
  linkUp = false;
  EXPECT_EQ(Register("alice", "0", NonceOf(Register("alice", "120"))).status, 200);  // the device removes it
  ASSERT_NE(registrar.bindings().Find("alice"), nullptr);                          // kept, ended
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
  struct Case { uint64_t wallNow; uint64_t expiresAt; size_t diagnostics; };
  const Case cases[] = {{1050, 5 + 70, 4}, {1200, 0, 0}, {0, 5 + 600, 0}};  // left, ended, clock gone back
  for (const Case& c : cases) {
    BindingStore store;
    std::string error;
    ASSERT_TRUE(store.Open(path, &error)) << error;
    std::vector<std::string> diagnostics;
    const std::vector<Binding> loaded = store.Load(c.wallNow, 5, 600, &diagnostics);
    EXPECT_EQ(diagnostics.size(), c.diagnostics) << c.wallNow;  // bad rows are deleted once reported
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].user + " " + loaded[0].contact + " " + loaded[0].addr,
              "alice sip:alice@127.0.0.2:5070 127.0.0.2");
    EXPECT_EQ(loaded[0].expiresAt, c.expiresAt) << c.wallNow;
  }
  std::remove(path.c_str());
  std::remove((path + "-wal").c_str());
  std::remove((path + "-shm").c_str());
}
