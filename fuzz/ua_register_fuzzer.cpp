// Fuzz target: siptrunk-ua's handling of one request, parsed by sofia-sip as a datagram would be, handed to
// the registrar (accounts alice and bob, fixed clock); the properties are the FUZZ_CHECKs.
#include <cstdint>
#include <string>

#include <sofia-sip/msg.h>
#include <sofia-sip/sip_parser.h>

#include "fuzz/fuzz_check.h"
#include "ua/registrar.h"

using namespace siptrunk;
using namespace siptrunk::ua;

namespace {

struct World {
  DigestAuthority digest{"siptrunk", "fuzz-secret-0123", 300};
  int confirmations = 0;
  Registrar registrar{&digest, RegistrarLimits{60, 3600, 3600}, [this](bool, const CallParams& a) {
                        FUZZ_CHECK(a.sUserName == "alice" || a.sUserName == "bob", "confirms a listed account");
                        ++confirmations;
                        return true;
                      }};
  World() {
    CallParams alice, bob;
    alice.sUserName = "alice";
    alice.sUserPasswd = "secret";
    bob.sUserName = "bob";
    bob.sUserPasswd = "";
    registrar.SetList(true, {alice, bob});
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* world = new World();  // kept across inputs, like the daemon's
  msg_t* msg = msg_make(sip_default_mclass(), 0, data, static_cast<isize_t>(size));
  if (!msg) return 0;
  const int before = world->confirmations;
  const size_t bindingsBefore = world->registrar.bindings().size();
  const Answer a = world->registrar.Handle(sip_object(msg), "192.0.2.7", 5060, 1000);
  FUZZ_CHECK(a.status >= 200 && a.status < 700, "a final status");
  FUZZ_CHECK(a.phrase && *a.phrase && !a.why.empty(), "a reason phrase and a reason for the log");
  FUZZ_CHECK(a.status == 200 || world->confirmations == before, "only a 200 confirms");
  FUZZ_CHECK(world->registrar.bindings().size() <= 2, "at most one binding per account");
  FUZZ_CHECK(a.status == 200 || world->registrar.bindings().size() == bindingsBefore, "refusals bind nothing");
  msg_destroy(msg);
  return 0;
}
