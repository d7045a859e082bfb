// Fuzz target: the user-agent link's packet codec. A decoded message encodes canonically (re-decodes to the
// same message, re-encodes to the same bytes), no longer than the input, ending with its NUL.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/link_codec.h"

using namespace siptrunk;

namespace {

bool SameMessage(const UaMessage& a, const UaMessage& b) {
  return a.type == b.type && a.version == b.version && a.registered == b.registered && a.error == b.error &&
         a.masterList == b.masterList && a.active == b.active && a.account == b.account && a.list == b.list &&
         a.oldParams == b.oldParams && a.newParams == b.newParams;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UaMessage message;
  std::string why;
  if (!DecodeUaMessage(data, size, &message, &why)) {
    FUZZ_CHECK(!why.empty(), "a refused packet says why");
    return 0;
  }

  std::string packet;
  FUZZ_CHECK(EncodeUaMessage(message, &packet, &why), "a decoded message encodes");
  FUZZ_CHECK(!packet.empty() && packet.back() == '\0', "an encoded packet ends with NUL");
  FUZZ_CHECK(packet.size() <= size, "the canonical packet is no longer than the input");

  UaMessage again;
  FUZZ_CHECK(DecodeUaMessage(packet.data(), packet.size(), &again, &why), "an encoded packet decodes");
  FUZZ_CHECK(SameMessage(message, again), "decode(encode(m)) == m");

  std::string packetAgain;
  FUZZ_CHECK(EncodeUaMessage(again, &packetAgain, &why), "re-encoding succeeds");
  FUZZ_CHECK(packetAgain == packet, "the encoding is canonical");
  return 0;
}
