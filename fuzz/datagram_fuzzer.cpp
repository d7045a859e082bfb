// Fuzz target: the datagram codec of the settings link and the event channel; the properties are the
// FUZZ_CHECK texts below (both SplitItems forms agree, Join/Split and Encode/Decode round trips, strict readers).
#include <cstdint>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/link_codec.h"

using namespace siptrunk;

namespace {

// Through memchr, so that the harness's own loop adds no coverage features.
size_t CountNul(const uint8_t* data, size_t size) {
  size_t n = 0;
  const uint8_t* end = data + size;
  const uint8_t* p = data;
  while (p < end) {
    const void* nul = std::memchr(p, 0, static_cast<size_t>(end - p));
    if (nul == nullptr) break;
    ++n;
    p = static_cast<const uint8_t*>(nul) + 1;
  }
  return n;
}

// What ParseDecimalU32 promises: 1 to 10 decimal digits, value within 32 bits.
bool IsStrictU32(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(n);
  return true;
}

void CheckItemReaders(const std::string& item) {
  uint32_t expected = 0;
  uint32_t parsed = 0xDEADBEEF;
  const bool strict = IsStrictU32(item, &expected);
  FUZZ_CHECK(ParseDecimalU32(item, &parsed) == strict, "ParseDecimalU32 accepts exactly 1-10 digits within 32 bits");
  if (strict) FUZZ_CHECK(parsed == expected, "ParseDecimalU32 value");

  bool flag = false;
  const bool isBool = item == "0" || item == "1";
  FUZZ_CHECK(ParseBool01(item, &flag) == isBool, "ParseBool01 accepts exactly 0 and 1");
  if (isBool) FUZZ_CHECK(flag == (item == "1"), "ParseBool01 value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> vec;
  std::list<std::string> lst;
  std::string whyVec;
  std::string whyList;
  const bool okVec = SplitItems(data, size, &vec, &whyVec);
  const bool okList = SplitItems(data, size, &lst, &whyList);
  FUZZ_CHECK(okVec == okList, "vector and list SplitItems agree");
  FUZZ_CHECK(okVec == (size == 0 || data[size - 1] == 0), "accepted exactly when empty or NUL-ended");

  if (!okVec) {
    FUZZ_CHECK(!whyVec.empty() && !whyList.empty(), "a rejection says why");
  } else {
    FUZZ_CHECK(vec.size() == CountNul(data, size), "one item per NUL byte");
    FUZZ_CHECK(vec.size() == lst.size(), "same item count in both forms");
    auto it = lst.begin();
    for (const std::string& item : vec) {
      FUZZ_CHECK(item == *it++, "same items in both forms");
      FUZZ_CHECK(item.find('\0') == std::string::npos, "an item holds no NUL");
    }

    std::string joined;
    std::string why;
    FUZZ_CHECK(JoinItems(vec, &joined, &why), "JoinItems of split items succeeds");
    FUZZ_CHECK(joined.size() == size && (size == 0 || std::memcmp(joined.data(), data, size) == 0),
               "JoinItems(SplitItems(x)) == x");
    std::string joinedList;
    FUZZ_CHECK(JoinItems(lst, &joinedList, &why) && joinedList == joined, "list JoinItems agrees");

    // Only the first few items: the readers are per item, and a datagram of
    // 70000 NULs would otherwise spend the run here.
    for (size_t i = 0; i < vec.size() && i < 16; ++i) CheckItemReaders(vec[i]);

    // An item with a NUL inside can never be joined.
    if (!vec.empty()) {
      std::vector<std::string> withNul = vec;
      withNul.back().push_back('\0');
      FUZZ_CHECK(!JoinItems(withNul, &joined, &why) && !why.empty(), "JoinItems refuses an item with a NUL");
    }
  }

  EventNotice notice;
  std::string why;
  const bool okNotice = DecodeEventNotice(data, size, &notice, &why);
  FUZZ_CHECK(okNotice == (okVec && vec.size() == 3), "an event notice is exactly three items");
  if (okNotice) {
    FUZZ_CHECK(notice.source == vec[0] && notice.kind == vec[1] && notice.text == vec[2], "notice fields in order");
    std::string encoded;
    FUZZ_CHECK(EncodeEventNotice(notice, &encoded, &why), "EncodeEventNotice of a decoded notice succeeds");
    FUZZ_CHECK(encoded.size() == size && std::memcmp(encoded.data(), data, size) == 0, "notice round trip");
  } else {
    FUZZ_CHECK(!why.empty(), "a rejected notice says why");
  }
  return 0;
}
