// The link codecs: the documented wire forms and the faults found before
// (properties over any input are the fuzz targets'). Packets are decoded from
// exactly sized heap copies, so that AddressSanitizer sees a read past the end.
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

CallParams Account(const std::string& user, const std::string& password, uint32_t flags = 0) {
  CallParams p;
  p.sUserName = user, p.sReserved1 = "r1", p.sHostName = "host-" + user, p.sUserPasswd = password;
  p.sHostAddr = "192.0.2.7", p.sHostPort = "5060", p.sReserved5 = "r5", p.nFlags = flags;
  return p;
}

std::string AccountItems(const std::string& nFlags = "0", const std::string& password = "pw") {
  return Packet({"alice", "", "h", password, "192.0.2.1", "5060", "", "", "", "", nFlags});
}

std::string Confirm(const std::string& registered, const std::string& error, const std::string& masterList,
                    const std::string& nFlags = "0", const std::string& password = "pw") {
  return Packet({"CONFIRM_USER_STATE", registered, error, masterList}) + AccountItems(nFlags, password);
}

TEST(ItemCodec, ItemsAreTheBytesBetweenNulsAndEventsHaveThree) {
  std::vector<std::string> v;
  std::string why;
  ASSERT_TRUE(SplitItems("a\0\0b c\0", 7, &v, &why));
  EXPECT_EQ(v, (std::vector<std::string>{"a", "", "b c"}));
  EXPECT_FALSE(SplitItems("a\0b", 3, &v, &why) || why.empty()) << "no final NUL";
  EXPECT_FALSE(JoinItems(std::vector<std::string>{"a", std::string("b\0c", 3)}, &why, &why));

  const EventNotice in{"SIPTunnelSlave", "Registration failure", "Could not register"};
  std::string datagram;
  ASSERT_TRUE(EncodeEventNotice(in, &datagram, &why));
  EXPECT_EQ(datagram, Packet({in.source, in.kind, in.text}));
  EventNotice out;
  for (const std::string& bad : {Packet({"a", "b"}), Packet({"a", "b", "c", "d"}), std::string()}) {
    EXPECT_FALSE(DecodeEventNotice(bad.data(), bad.size(), &out, &why));
  }
}

TEST(UaMessageCodec, TheDocumentedBytesBothWays) {
  UaMessage hello, list, out;
  list.type = UaMessageType::kSetUsersList;
  list.active = list.masterList = true;
  list.list = {Account("u", "p", 256)};
  std::string packet, why;
  ASSERT_TRUE(EncodeUaMessage(hello, &packet, nullptr));
  EXPECT_EQ(packet, Packet({"HELLO", "1"}));
  ASSERT_TRUE(EncodeUaMessage(list, &packet, nullptr));
  EXPECT_EQ(packet, Packet({"SET_USERS_LIST", "1", "1", "1", "u", "r1", "host-u", "p", "192.0.2.7", "5060", "",
                            "", "", "r5", "256"}));
  ASSERT_TRUE(Decode(packet, &out, &why)) << why;
  EXPECT_TRUE(out.type == list.type && out.active && out.masterList && out.list == list.list);
}

TEST(UaMessageCodec, RejectsBrokenFramingCountsNumbersAndBools) {
  const std::string confirm = Confirm("1", "0", "1");
  const std::string change = Packet({"CHANGE_USER_PARAMS", "0"}) + AccountItems() + AccountItems();
  const std::string one = Packet({"SET_USERS_LIST", "1", "0", "1"}) + AccountItems();
  UaMessage good;
  std::string why;
  ASSERT_TRUE(Decode(confirm, &good, &why)) << why;
  std::vector<std::string> bad = {
      "", std::string("HELLO\0" "1", 7), "HELLO", Packet({"hello", "1"}), Packet({"HELLOX", "1"}),
      Packet({"", "1"}), Packet({"REQUEST_USERS_LIST "}), Packet({"HELLO"}), Packet({"HELLO", "1", ""}),
      Packet({"REQUEST_USERS_LIST", ""}), confirm.substr(0, confirm.size() - 2), confirm + Packet({"x"}),
      change.substr(0, change.size() - 2), change + Packet({"0"}),
      Packet({"CHANGE_USER_PARAMS", "0"}) + AccountItems(), Packet({"SET_USERS_LIST", "1", "1"}),
      Packet({"SET_USERS_LIST", "1", "1", "0", "x"}), one + Packet({"x"}), one.substr(0, one.size() - 2),
      Packet({"SET_USERS_LIST", "1", "0", "2"}) + AccountItems(),
      // The flags of the second record of a list are checked as well.
      Packet({"SET_USERS_LIST", "1", "1", "2"}) + AccountItems() + AccountItems("0x100"),
      // A count whose item total wraps around in 32 bits: 4 + 390451573 * 11 = 2^32 + 11.
      Packet({"SET_USERS_LIST", "1", "0", "390451573", "0"}, 7)};
  for (const char* n : {"", "-1", "+1", " 1", "1 ", "1x", "4294967296", "99999999999"}) {
    bad.insert(bad.end(), {Packet({"HELLO", n}), Confirm("1", n, "1"), Confirm("1", "0", "1", n),
                           Packet({"SET_USERS_LIST", "1", "1", n})});
  }
  for (const char* b : {"true", " 1", "", "2", "01"}) {
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

TEST(UaMessageCodec, AHugeClaimedCountAllocatesNothingForIt) {
  // Sizing the list by these counts before checking them would ask for hundreds of gigabytes.
  for (const char* count : {"4294967295", "2000000000"}) {
    UaMessage m;
    std::string why;
    bool ok = true;
    EXPECT_NO_THROW(ok = Decode(Packet({"SET_USERS_LIST", "1", "1", count, "x"}, 22), &m, &why)) << count;
    EXPECT_FALSE(ok || m.list.capacity() != 0) << count;
  }
}

TEST(UaMessageCodec, NoFieldIsQuotedInARejectionNorEncodedWithANul) {
  UaMessage m;
  std::string why;
  ASSERT_FALSE(Decode(Confirm("1", "0", "1", "s3cret-pw", "s3cret-pw"), &m, &why));
  EXPECT_EQ(why.find("s3cret"), std::string::npos) << why;

  const std::string withNul("pa\0ss", 5);
  UaMessage confirm, list, change;
  confirm.type = UaMessageType::kConfirmUserState, confirm.account.sUserPasswd = withNul;
  list.type = UaMessageType::kSetUsersList, list.list = {Account("a", "b"), Account("c", "d")};
  list.list[1].sReserved5 = withNul;
  change.type = UaMessageType::kChangeUserParams, change.newParams.sHostAddr = withNul;
  for (const UaMessage* msg : {&confirm, &list, &change}) {
    std::string packet = "unchanged";
    EXPECT_FALSE(EncodeUaMessage(*msg, &packet, &why) || packet != "unchanged");
  }
}

}  // namespace
}  // namespace siptrunk
