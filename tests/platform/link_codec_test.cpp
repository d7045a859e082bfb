// The link codecs against well-formed and hostile input. Every decoded packet
// is copied into a heap buffer of its exact size first, so that a read past
// its end shows up under AddressSanitizer.
#include "platform/link_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace siptrunk {
namespace {

std::string Packet(std::initializer_list<std::string> items) {
  std::string out;
  for (const std::string& item : items) {
    out += item;
    out.push_back('\0');
  }
  return out;
}

void AppendItems(std::string* packet, size_t count, const std::string& item) {
  for (size_t i = 0; i < count; ++i) {
    *packet += item;
    packet->push_back('\0');
  }
}

// Decodes from an exactly sized heap copy.
bool Decode(const std::string& bytes, UaMessage* m, std::string* why = nullptr) {
  std::unique_ptr<char[]> exact(new char[bytes.size() == 0 ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  std::string ignored;
  return DecodeUaMessage(bytes.empty() ? nullptr : exact.get(), bytes.size(), m, why ? why : &ignored);
}

bool Rejected(const std::string& bytes) {
  UaMessage m;
  std::string why;
  const bool ok = Decode(bytes, &m, &why);
  EXPECT_FALSE(why.empty() && !ok) << "a rejection must say why";
  return !ok;
}

CallParams Account(const std::string& user, const std::string& password, uint32_t flags = 0) {
  CallParams p;
  p.sUserName = user;
  p.sReserved1 = "r1";
  p.sHostName = "host-" + user;
  p.sUserPasswd = password;
  p.sHostAddr = "192.0.2.7";
  p.sHostPort = "5060";
  p.sReserved5 = "r5";
  p.nFlags = flags;
  return p;
}

std::string AccountItems(const std::string& nFlags = "0", const std::string& password = "pw") {
  return Packet({"alice", "", "h", password, "192.0.2.1", "5060", "", "", "", "", nFlags});
}

std::string Confirm(const std::string& registered, const std::string& error, const std::string& masterList,
                    const std::string& nFlags = "0", const std::string& password = "pw") {
  return Packet({"CONFIRM_USER_STATE", registered, error, masterList}) + AccountItems(nFlags, password);
}

UaMessage RoundTrip(const UaMessage& in) {
  std::string packet;
  std::string why;
  EXPECT_TRUE(EncodeUaMessage(in, &packet, &why)) << why;
  UaMessage out;
  EXPECT_TRUE(Decode(packet, &out, &why)) << why;
  EXPECT_EQ(out.type, in.type);
  return out;
}

TEST(SplitItems, ItemsAreTheBytesBetweenNuls) {
  std::vector<std::string> v;
  std::string why;
  ASSERT_TRUE(SplitItems(nullptr, 0, &v, &why));
  EXPECT_TRUE(v.empty());

  const std::string bytes("a\0\0b c\0", 7);
  ASSERT_TRUE(SplitItems(bytes.data(), bytes.size(), &v, &why));
  EXPECT_EQ(v, (std::vector<std::string>{"a", "", "b c"}));

  std::list<std::string> l;
  ASSERT_TRUE(SplitItems("\0", 1, &l, &why));
  EXPECT_EQ(l, (std::list<std::string>{""}));

  EXPECT_FALSE(SplitItems("abc", 3, &v, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(SplitItems("a\0b", 3, &l, &why));
}

TEST(JoinItems, RoundTripsAndRefusesNul) {
  const std::list<std::string> items{"4", "trunk1", "", "secret", "1"};
  std::string joined;
  std::string why;
  ASSERT_TRUE(JoinItems(items, &joined, &why));
  EXPECT_EQ(joined, std::string("4\0trunk1\0\0secret\0" "1\0", 19));
  std::list<std::string> back;
  ASSERT_TRUE(SplitItems(joined.data(), joined.size(), &back, &why));
  EXPECT_EQ(back, items);

  EXPECT_FALSE(JoinItems(std::vector<std::string>{"a", std::string("b\0c", 3)}, &joined, &why));
  EXPECT_FALSE(why.empty());
}

TEST(StrictReaders, DecimalAndBool) {
  uint32_t n = 7;
  EXPECT_TRUE(ParseDecimalU32("0", &n));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(ParseDecimalU32("007", &n));
  EXPECT_EQ(n, 7u);
  EXPECT_TRUE(ParseDecimalU32("4294967295", &n));
  EXPECT_EQ(n, 4294967295u);
  for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1a", "0x10", "1.0", "4294967296", "9999999999",
                          "00000000001"}) {
    EXPECT_FALSE(ParseDecimalU32(bad, &n)) << '"' << bad << '"';
  }
  EXPECT_FALSE(ParseDecimalU32(std::string("1\0", 2), &n));

  bool b = false;
  EXPECT_TRUE(ParseBool01("1", &b));
  EXPECT_TRUE(b);
  EXPECT_TRUE(ParseBool01("0", &b));
  EXPECT_FALSE(b);
  for (const char* bad : {"", "true", "false", " 1", "1 ", "01", "2", "yes"}) {
    EXPECT_FALSE(ParseBool01(bad, &b)) << '"' << bad << '"';
  }
}

TEST(UaMessageCodec, EveryTypeRoundTrips) {
  UaMessage hello;
  hello.type = UaMessageType::kHello;
  hello.version = 1;
  EXPECT_EQ(RoundTrip(hello).version, 1u);

  UaMessage request;
  request.type = UaMessageType::kRequestUsersList;
  RoundTrip(request);

  UaMessage confirm;
  confirm.type = UaMessageType::kConfirmUserState;
  confirm.registered = true;
  confirm.error = 4294967295u;
  confirm.masterList = true;
  confirm.account = Account("bob", "p\xff\n w", 0x100);
  const UaMessage c = RoundTrip(confirm);
  EXPECT_TRUE(c.registered);
  EXPECT_EQ(c.error, 4294967295u);
  EXPECT_TRUE(c.masterList);
  EXPECT_EQ(c.account, confirm.account);

  UaMessage list;
  list.type = UaMessageType::kSetUsersList;
  list.active = true;
  list.masterList = false;
  const UaMessage empty = RoundTrip(list);
  EXPECT_TRUE(empty.active);
  EXPECT_TRUE(empty.list.empty());
  list.list = {Account("a", "1"), CallParams(), Account("c", "3", 7)};
  const UaMessage three = RoundTrip(list);
  EXPECT_FALSE(three.masterList);
  EXPECT_EQ(three.list, list.list);

  UaMessage change;
  change.type = UaMessageType::kChangeUserParams;
  change.masterList = true;
  change.newParams = Account("new", "pw");
  const UaMessage ch = RoundTrip(change);
  EXPECT_TRUE(ch.masterList);
  EXPECT_EQ(ch.oldParams, CallParams());
  EXPECT_EQ(ch.newParams, change.newParams);
}

TEST(UaMessageCodec, WireBytesAreAsDocumented) {
  UaMessage hello;
  std::string packet;
  ASSERT_TRUE(EncodeUaMessage(hello, &packet, nullptr));
  EXPECT_EQ(packet, Packet({"HELLO", "1"}));

  UaMessage list;
  list.type = UaMessageType::kSetUsersList;
  list.active = true;
  list.masterList = true;
  list.list = {Account("u", "p", 256)};
  ASSERT_TRUE(EncodeUaMessage(list, &packet, nullptr));
  EXPECT_EQ(packet, Packet({"SET_USERS_LIST", "1", "1", "1", "u", "r1", "host-u", "p", "192.0.2.7", "5060", "",
                            "", "", "r5", "256"}));
}

TEST(UaMessageCodec, RejectsBrokenFraming) {
  EXPECT_TRUE(Rejected(""));
  EXPECT_TRUE(Rejected(std::string("HELLO\0" "1", 7)));  // no final NUL
  EXPECT_TRUE(Rejected("HELLO"));
  EXPECT_TRUE(Rejected(Packet({"hello", "1"})));
  EXPECT_TRUE(Rejected(Packet({"HELLOX", "1"})));
  EXPECT_TRUE(Rejected(Packet({"", "1"})));
  EXPECT_TRUE(Rejected(Packet({"REQUEST_USERS_LIST "})));
}

TEST(UaMessageCodec, RejectsEveryWrongItemCount) {
  EXPECT_TRUE(Rejected(Packet({"HELLO"})));
  EXPECT_TRUE(Rejected(Packet({"HELLO", "1", ""})));
  EXPECT_TRUE(Rejected(Packet({"REQUEST_USERS_LIST", ""})));
  // CONFIRM_USER_STATE: 15 items, one short and one over.
  std::string confirm = Confirm("1", "0", "1");
  EXPECT_FALSE(Rejected(confirm));
  EXPECT_TRUE(Rejected(confirm.substr(0, confirm.size() - 2)));  // drops the last item "0"
  EXPECT_TRUE(Rejected(confirm + Packet({"x"})));
  // CHANGE_USER_PARAMS: 24 items.
  const std::string change = Packet({"CHANGE_USER_PARAMS", "0"}) + AccountItems() + AccountItems();
  EXPECT_FALSE(Rejected(change));
  EXPECT_TRUE(Rejected(change.substr(0, change.size() - 2)));
  EXPECT_TRUE(Rejected(change + Packet({"0"})));
  EXPECT_TRUE(Rejected(Packet({"CHANGE_USER_PARAMS", "0"}) + AccountItems()));
  // SET_USERS_LIST: 4 + count * 11.
  EXPECT_TRUE(Rejected(Packet({"SET_USERS_LIST", "1", "1"})));
  EXPECT_FALSE(Rejected(Packet({"SET_USERS_LIST", "1", "1", "0"})));
  EXPECT_TRUE(Rejected(Packet({"SET_USERS_LIST", "1", "1", "0", "x"})));
  const std::string one = Packet({"SET_USERS_LIST", "1", "0", "1"}) + AccountItems();
  EXPECT_FALSE(Rejected(one));
  EXPECT_TRUE(Rejected(one + Packet({"x"})));
  EXPECT_TRUE(Rejected(one.substr(0, one.size() - 2)));
  EXPECT_TRUE(Rejected(Packet({"SET_USERS_LIST", "1", "0", "2"}) + AccountItems()));
  EXPECT_TRUE(Rejected(Packet({"SET_USERS_LIST", "1", "0", "4294967295"}) + AccountItems()));
  // A count whose item total wraps around in 32 bits: 4 + 390451573 * 11 = 2^32 + 11.
  std::string wrapped = Packet({"SET_USERS_LIST", "1", "0", "390451573"});
  AppendItems(&wrapped, 7, "0");
  EXPECT_TRUE(Rejected(wrapped));
}

TEST(UaMessageCodec, AHugeClaimedCountAllocatesNothingForIt) {
  // Sizing the list by these counts before checking them against the items
  // would ask for hundreds of gigabytes: bad_alloc, or an abort under ASan.
  for (const char* count : {"4294967295", "2000000000"}) {
    std::string packet = Packet({"SET_USERS_LIST", "1", "1", count});
    AppendItems(&packet, 22, "x");
    UaMessage m;
    bool ok = true;
    EXPECT_NO_THROW(ok = Decode(packet, &m)) << count;
    EXPECT_FALSE(ok) << count;
    EXPECT_EQ(m.list.capacity(), 0u) << count;
  }
}

TEST(UaMessageCodec, RejectsBadNumbersAndBools) {
  for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1x", "4294967296", "99999999999"}) {
    EXPECT_TRUE(Rejected(Packet({"HELLO", bad}))) << bad;
    EXPECT_TRUE(Rejected(Confirm("1", bad, "1"))) << bad;
    EXPECT_TRUE(Rejected(Confirm("1", "0", "1", bad))) << bad;
    EXPECT_TRUE(Rejected(Packet({"SET_USERS_LIST", "1", "1", bad}))) << bad;
  }
  for (const char* bad : {"true", " 1", "", "2", "01"}) {
    EXPECT_TRUE(Rejected(Confirm(bad, "0", "1"))) << bad;
    EXPECT_TRUE(Rejected(Confirm("1", "0", bad))) << bad;
    EXPECT_TRUE(Rejected(Packet({"SET_USERS_LIST", bad, "1", "0"}))) << bad;
    EXPECT_TRUE(Rejected(Packet({"SET_USERS_LIST", "1", bad, "0"}))) << bad;
    EXPECT_TRUE(Rejected(Packet({"CHANGE_USER_PARAMS", bad}) + AccountItems() + AccountItems())) << bad;
  }
  // The flags of the second record of a list are checked as well.
  EXPECT_TRUE(Rejected(Packet({"SET_USERS_LIST", "1", "1", "2"}) + AccountItems() + AccountItems("0x100")));
}

TEST(UaMessageCodec, ARejectionNeverQuotesAField) {
  UaMessage m;
  std::string why;
  ASSERT_FALSE(Decode(Confirm("1", "0", "1", "s3cret-pw", "s3cret-pw"), &m, &why));
  EXPECT_EQ(why.find("s3cret"), std::string::npos) << why;
  ASSERT_FALSE(Decode(Packet({"SET_USERS_LIST", "1", "1", "s3cret"}), &m, &why));
  EXPECT_EQ(why.find("s3cret"), std::string::npos) << why;
}

TEST(UaMessageCodec, EncoderRefusesNulInAnyField) {
  const std::string withNul("pa\0ss", 5);
  UaMessage confirm;
  confirm.type = UaMessageType::kConfirmUserState;
  confirm.account.sUserPasswd = withNul;
  UaMessage list;
  list.type = UaMessageType::kSetUsersList;
  list.list = {Account("a", "b"), Account("c", "d")};
  list.list[1].sReserved5 = withNul;
  UaMessage change;
  change.type = UaMessageType::kChangeUserParams;
  change.newParams.sHostAddr = withNul;
  for (const UaMessage* m : {&confirm, &list, &change}) {
    std::string packet = "unchanged";
    std::string why;
    EXPECT_FALSE(EncodeUaMessage(*m, &packet, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(packet, "unchanged");
  }
}

TEST(EventNoticeCodec, ExactlyThreeItems) {
  const EventNotice in{"SIPTunnelSlave", "Registration failure", "Could not register"};
  std::string datagram;
  std::string why;
  ASSERT_TRUE(EncodeEventNotice(in, &datagram, &why));
  EXPECT_EQ(datagram, Packet({in.source, in.kind, in.text}));
  EventNotice out;
  ASSERT_TRUE(DecodeEventNotice(datagram.data(), datagram.size(), &out, &why));
  EXPECT_EQ(out.source, in.source);
  EXPECT_EQ(out.kind, in.kind);
  EXPECT_EQ(out.text, in.text);

  for (const std::string& bad : {Packet({"a", "b"}), Packet({"a", "b", "c", "d"}), std::string("a\0b\0c", 5),
                                 std::string()}) {
    EXPECT_FALSE(DecodeEventNotice(bad.data(), bad.size(), &out, &why));
  }
  EXPECT_FALSE(EncodeEventNotice(EventNotice{"a", "b", std::string("c\0d", 3)}, &datagram, &why));
}

}  // namespace
}  // namespace siptrunk
