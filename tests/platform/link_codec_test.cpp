// What the user-agent link's codec refuses. The documented wire form is
// checked by the system tests' own codec (agentharness.py) against the agent;
// properties over any input, the item and event codecs and the strict number
// and bool readers are the fuzz targets' (fuzz_ua_packet, fuzz_datagram).
// Packets are decoded from exactly sized heap copies, so that AddressSanitizer
// sees a read past the end.
#include "platform/link_codec.h"

#include "tests/platform/link_test_support.h"

namespace siptrunk {
namespace {

using linktest::Packet;

bool Decode(const std::string& bytes, UaMessage* m, std::string* why) {
  std::unique_ptr<char[]> exact(new char[bytes.size() == 0 ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  return DecodeUaMessage(bytes.empty() ? nullptr : exact.get(), bytes.size(), m, why);
}

std::string AccountItems(const std::string& nFlags = "0", const std::string& password = "pw") {
  return Packet({"alice", "", "h", password, "192.0.2.1", "5060", "", "", "", "", nFlags});
}

std::string Confirm(const std::string& registered, const std::string& error, const std::string& masterList,
                    const std::string& nFlags = "0", const std::string& password = "pw") {
  return Packet({"CONFIRM_USER_STATE", registered, error, masterList}) + AccountItems(nFlags, password);
}

TEST(UaMessageCodec, RejectsBrokenFramingCountsNumbersAndBools) {
  const std::string confirm = Confirm("1", "0", "1");
  const std::string change = Packet({"CHANGE_USER_PARAMS", "0"}) + AccountItems() + AccountItems();
  const std::string one = Packet({"SET_USERS_LIST", "1", "0", "1"}) + AccountItems();
  UaMessage good;
  std::string why;
  ASSERT_TRUE(Decode(confirm, &good, &why) && Decode(change, &good, &why) && Decode(one, &good, &why)) << why;
  std::vector<std::string> bad = {
      "", std::string("HELLO\0" "1", 7), Packet({"hello", "1"}), Packet({"HELLO", "1", ""}),
      confirm.substr(0, confirm.size() - 2), confirm + Packet({"x"}), change.substr(0, change.size() - 2),
      change + Packet({"0"}), one + Packet({"x"}), one.substr(0, one.size() - 2), Packet({"SET_USERS_LIST", "1", "1"}),
      Packet({"SET_USERS_LIST", "1", "0", "2"}) + AccountItems(),
      // The flags of the second record of a list are checked as well.
      Packet({"SET_USERS_LIST", "1", "1", "2"}) + AccountItems() + AccountItems("0x100"),
      // A count whose item total wraps around in 32 bits (4 + 390451573 * 11 = 2^32 + 11); sizing
      // the list by it before the check would also ask for a hundred gigabytes.
      Packet({"SET_USERS_LIST", "1", "0", "390451573", "0"}, 7)};
  for (const char* n : {"-1", "4294967296"}) {
    bad.insert(bad.end(), {Packet({"HELLO", n}), Confirm("1", n, "1"), Confirm("1", "0", "1", n),
                           Packet({"SET_USERS_LIST", "1", "1", n})});
  }
  for (const char* b : {"2", "true"}) {
    bad.insert(bad.end(), {Confirm(b, "0", "1"), Confirm("1", "0", b), Packet({"SET_USERS_LIST", b, "1", "0"}),
                           Packet({"SET_USERS_LIST", "1", b, "0"}),
                           Packet({"CHANGE_USER_PARAMS", b}) + AccountItems() + AccountItems()});
  }
  for (const std::string& packet : bad) {
    UaMessage m;
    why.clear();
    EXPECT_FALSE(Decode(packet, &m, &why) || why.empty()) << "refused, saying why: " << testing::PrintToString(packet);
  }
}

// A misbuilt message may put a password where a number belongs.
TEST(UaMessageCodec, NoFieldIsQuotedInARejectionNorEncodedWithANul) {
  UaMessage m;
  std::string why;
  ASSERT_FALSE(Decode(Confirm("1", "0", "1", "s3cret-pw", "s3cret-pw"), &m, &why));
  EXPECT_EQ(why.find("s3cret"), std::string::npos) << why;

  m.type = UaMessageType::kSetUsersList, m.list.resize(2);
  m.list[1].sReserved5 = std::string("pa\0ss", 5);
  std::string packet = "unchanged";
  EXPECT_FALSE(EncodeUaMessage(m, &packet, &why) || packet != "unchanged");
}

}  // namespace
}  // namespace siptrunk
