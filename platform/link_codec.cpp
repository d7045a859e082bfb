// Wire formats of the user-agent link, the settings link and the event channel.
//
// Pure functions: no I/O, no shared state, safe on any thread. Every decoder
// works on (pointer, length) and looks only at bytes inside that range; the
// item count of a message is checked before anything is sized by a number
// that the peer sent.
#include "platform/link_codec.h"

#include <cstring>
#include <utility>

namespace siptrunk {
namespace {

// One item inside the caller's buffer, without its NUL.
struct ItemView {
  const char* data;
  size_t size;
};

const char kHello[] = "HELLO";
const char kRequestUsersList[] = "REQUEST_USERS_LIST";
const char kConfirmUserState[] = "CONFIRM_USER_STATE";
const char kSetUsersList[] = "SET_USERS_LIST";
const char kChangeUserParams[] = "CHANGE_USER_PARAMS";

constexpr size_t kHelloItems = 2;
constexpr size_t kRequestUsersListItems = 1;
constexpr size_t kConfirmUserStateItems = 4 + kCallParamsItems;
constexpr size_t kSetUsersListHeaderItems = 4;
constexpr size_t kChangeUserParamsItems = 2 + 2 * kCallParamsItems;

bool Fail(std::string* why, std::string text) {
  if (why != nullptr) *why = std::move(text);
  return false;
}

// Splits without copying. False when the last byte is not NUL.
bool SplitViews(const void* data, size_t len, std::vector<ItemView>* views, std::string* why) {
  views->clear();
  if (len == 0) return true;
  if (data == nullptr) return Fail(why, "no data");
  const char* bytes = static_cast<const char*>(data);
  if (bytes[len - 1] != '\0') return Fail(why, "message does not end with a NUL byte");
  const char* p = bytes;
  const char* end = bytes + len;
  while (p < end) {
    // The final byte is NUL, so memchr always finds one inside [p, end).
    const char* nul = static_cast<const char*>(std::memchr(p, '\0', static_cast<size_t>(end - p)));
    views->push_back(ItemView{p, static_cast<size_t>(nul - p)});
    p = nul + 1;
  }
  return true;
}

template <typename Container>
bool SplitInto(const void* data, size_t len, Container* items, std::string* why) {
  items->clear();
  std::vector<ItemView> views;
  if (!SplitViews(data, len, &views, why)) return false;
  for (const ItemView& v : views) items->emplace_back(v.data, v.size);
  return true;
}

// Not constant-folded, so no range warning where size_t is 32 bits wide.
bool FitsU32(uint64_t n) { return n <= 0xFFFFFFFFull; }

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

template <typename Container>
bool JoinFrom(const Container& items, std::string* out, std::string* why) {
  size_t total = 0;
  size_t index = 0;
  for (const std::string& item : items) {
    if (HasNul(item)) return Fail(why, "item " + std::to_string(index) + " holds a NUL byte");
    total += item.size() + 1;
    ++index;
  }
  out->clear();
  out->reserve(total);
  for (const std::string& item : items) {
    out->append(item);
    out->push_back('\0');
  }
  return true;
}

// A message name for a diagnostic: printable ASCII only, at most 32 bytes.
std::string Printable(const ItemView& v) {
  constexpr size_t kMax = 32;
  std::string out;
  for (size_t i = 0; i < v.size && i < kMax; ++i) {
    const unsigned char c = static_cast<unsigned char>(v.data[i]);
    out.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
  }
  if (v.size > kMax) out += "...";
  return out;
}

bool Equals(const ItemView& v, const char* text) {
  const size_t n = std::strlen(text);
  return v.size == n && std::memcmp(v.data, text, n) == 0;
}

std::string ToString(const ItemView& v) { return std::string(v.data, v.size); }

bool ViewDecimal(const ItemView& v, uint32_t* value) {
  if (v.size == 0 || v.size > 10) return false;
  uint64_t n = 0;
  for (size_t i = 0; i < v.size; ++i) {
    const char c = v.data[i];
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(n);
  return true;
}

bool ViewBool(const ItemView& v, bool* value) {
  if (v.size != 1) return false;
  if (v.data[0] == '0') { *value = false; return true; }
  if (v.data[0] == '1') { *value = true; return true; }
  return false;
}

// Field values are never quoted in a diagnostic: a misbuilt message may put a
// password where a number belongs.
bool ReadBool(const std::vector<ItemView>& items, size_t index, const char* name, const char* field,
              bool* value, std::string* why) {
  if (ViewBool(items[index], value)) return true;
  return Fail(why, std::string(name) + ": item " + std::to_string(index) + " (" + field +
                       ") is not exactly 0 or 1");
}

bool ReadU32(const std::vector<ItemView>& items, size_t index, const char* name, const char* field,
             uint32_t* value, std::string* why) {
  if (ViewDecimal(items[index], value)) return true;
  return Fail(why, std::string(name) + ": item " + std::to_string(index) + " (" + field +
                       ") is not a decimal number of at most 4294967295");
}

bool ExpectCount(const std::vector<ItemView>& items, size_t expected, const char* name, std::string* why) {
  if (items.size() == expected) return true;
  return Fail(why, std::string(name) + " needs " + std::to_string(expected) + " items, got " +
                       std::to_string(items.size()));
}

// Reads the kCallParamsItems items starting at `first` (the caller checked the count).
bool ReadCallParams(const std::vector<ItemView>& items, size_t first, const char* name, CallParams* out,
                    std::string* why) {
  out->sUserName = ToString(items[first + 0]);
  out->sReserved1 = ToString(items[first + 1]);
  out->sHostName = ToString(items[first + 2]);
  out->sUserPasswd = ToString(items[first + 3]);
  out->sHostAddr = ToString(items[first + 4]);
  out->sHostPort = ToString(items[first + 5]);
  out->sReserved2 = ToString(items[first + 6]);
  out->sReserved3 = ToString(items[first + 7]);
  out->sReserved4 = ToString(items[first + 8]);
  out->sReserved5 = ToString(items[first + 9]);
  return ReadU32(items, first + 10, name, "nFlags", &out->nFlags, why);
}

// Appends one item; false when it holds a NUL.
bool Put(const std::string& item, const char* field, std::string* out, std::string* why) {
  if (HasNul(item)) return Fail(why, std::string(field) + " holds a NUL byte");
  out->append(item);
  out->push_back('\0');
  return true;
}

void PutText(const char* text, std::string* out) {
  out->append(text);
  out->push_back('\0');
}

void PutBool(bool value, std::string* out) { PutText(value ? "1" : "0", out); }

void PutU32(uint32_t value, std::string* out) { PutText(std::to_string(value).c_str(), out); }

bool PutCallParams(const CallParams& p, std::string* out, std::string* why) {
  return Put(p.sUserName, "sUserName", out, why) && Put(p.sReserved1, "sReserved1", out, why) &&
         Put(p.sHostName, "sHostName", out, why) && Put(p.sUserPasswd, "sUserPasswd", out, why) &&
         Put(p.sHostAddr, "sHostAddr", out, why) && Put(p.sHostPort, "sHostPort", out, why) &&
         Put(p.sReserved2, "sReserved2", out, why) && Put(p.sReserved3, "sReserved3", out, why) &&
         Put(p.sReserved4, "sReserved4", out, why) && Put(p.sReserved5, "sReserved5", out, why) &&
         (PutU32(p.nFlags, out), true);
}

size_t CallParamsBytes(const CallParams& p) {
  return p.sUserName.size() + p.sReserved1.size() + p.sHostName.size() + p.sUserPasswd.size() +
         p.sHostAddr.size() + p.sHostPort.size() + p.sReserved2.size() + p.sReserved3.size() +
         p.sReserved4.size() + p.sReserved5.size() + 10 + kCallParamsItems;
}

bool DecodeSetUsersList(const std::vector<ItemView>& items, UaMessage* m, std::string* why) {
  if (items.size() < kSetUsersListHeaderItems) {
    return Fail(why, "SET_USERS_LIST needs at least 4 items, got " + std::to_string(items.size()));
  }
  uint32_t count = 0;
  if (!ReadBool(items, 1, kSetUsersList, "active", &m->active, why) ||
      !ReadBool(items, 2, kSetUsersList, "masterList", &m->masterList, why) ||
      !ReadU32(items, 3, kSetUsersList, "count", &count, why)) {
    return false;
  }
  // 64-bit product: count * 11 overflows 32 bits for large counts.
  const uint64_t needed = kSetUsersListHeaderItems + static_cast<uint64_t>(count) * kCallParamsItems;
  if (needed != items.size()) {
    return Fail(why, "SET_USERS_LIST claims " + std::to_string(count) + " accounts (" +
                         std::to_string(needed) + " items) but has " + std::to_string(items.size()) +
                         " items");
  }
  // Only now is count known to match what is really there.
  m->list.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    CallParams p;
    if (!ReadCallParams(items, kSetUsersListHeaderItems + size_t{i} * kCallParamsItems, kSetUsersList, &p, why)) {
      return false;
    }
    m->list.push_back(std::move(p));
  }
  return true;
}

}  // namespace

bool SplitItems(const void* data, size_t len, std::vector<std::string>* items, std::string* why) {
  return SplitInto(data, len, items, why);
}

bool SplitItems(const void* data, size_t len, std::list<std::string>* items, std::string* why) {
  return SplitInto(data, len, items, why);
}

bool JoinItems(const std::vector<std::string>& items, std::string* out, std::string* why) {
  return JoinFrom(items, out, why);
}

bool JoinItems(const std::list<std::string>& items, std::string* out, std::string* why) {
  return JoinFrom(items, out, why);
}

bool ParseDecimalU32(const std::string& text, uint32_t* value) {
  return ViewDecimal(ItemView{text.data(), text.size()}, value);
}

bool ParseBool01(const std::string& text, bool* value) {
  return ViewBool(ItemView{text.data(), text.size()}, value);
}

bool DecodeUaMessage(const void* data, size_t len, UaMessage* message, std::string* why) {
  *message = UaMessage();
  std::vector<ItemView> items;
  if (!SplitViews(data, len, &items, why)) return false;
  if (items.empty()) return Fail(why, "empty message");

  UaMessage& m = *message;
  const ItemView& name = items[0];
  if (Equals(name, kHello)) {
    m.type = UaMessageType::kHello;
    return ExpectCount(items, kHelloItems, kHello, why) &&
           ReadU32(items, 1, kHello, "version", &m.version, why);
  }
  if (Equals(name, kRequestUsersList)) {
    m.type = UaMessageType::kRequestUsersList;
    return ExpectCount(items, kRequestUsersListItems, kRequestUsersList, why);
  }
  if (Equals(name, kConfirmUserState)) {
    m.type = UaMessageType::kConfirmUserState;
    return ExpectCount(items, kConfirmUserStateItems, kConfirmUserState, why) &&
           ReadBool(items, 1, kConfirmUserState, "registered", &m.registered, why) &&
           ReadU32(items, 2, kConfirmUserState, "error", &m.error, why) &&
           ReadBool(items, 3, kConfirmUserState, "masterList", &m.masterList, why) &&
           ReadCallParams(items, 4, kConfirmUserState, &m.account, why);
  }
  if (Equals(name, kSetUsersList)) {
    m.type = UaMessageType::kSetUsersList;
    return DecodeSetUsersList(items, &m, why);
  }
  if (Equals(name, kChangeUserParams)) {
    m.type = UaMessageType::kChangeUserParams;
    return ExpectCount(items, kChangeUserParamsItems, kChangeUserParams, why) &&
           ReadBool(items, 1, kChangeUserParams, "masterList", &m.masterList, why) &&
           ReadCallParams(items, 2, kChangeUserParams, &m.oldParams, why) &&
           ReadCallParams(items, 2 + kCallParamsItems, kChangeUserParams, &m.newParams, why);
  }
  return Fail(why, "unknown message \"" + Printable(name) + "\"");
}

bool EncodeUaMessage(const UaMessage& m, std::string* packet, std::string* why) {
  std::string out;
  switch (m.type) {
    case UaMessageType::kHello:
      PutText(kHello, &out);
      PutU32(m.version, &out);
      break;
    case UaMessageType::kRequestUsersList:
      PutText(kRequestUsersList, &out);
      break;
    case UaMessageType::kConfirmUserState:
      PutText(kConfirmUserState, &out);
      PutBool(m.registered, &out);
      PutU32(m.error, &out);
      PutBool(m.masterList, &out);
      if (!PutCallParams(m.account, &out, why)) return false;
      break;
    case UaMessageType::kSetUsersList: {
      if (!FitsU32(m.list.size())) return Fail(why, "SET_USERS_LIST: too many accounts");
      size_t total = 64;
      for (const CallParams& p : m.list) total += CallParamsBytes(p);
      out.reserve(total);
      PutText(kSetUsersList, &out);
      PutBool(m.active, &out);
      PutBool(m.masterList, &out);
      PutU32(static_cast<uint32_t>(m.list.size()), &out);
      for (const CallParams& p : m.list) {
        if (!PutCallParams(p, &out, why)) return false;
      }
      break;
    }
    case UaMessageType::kChangeUserParams:
      PutText(kChangeUserParams, &out);
      PutBool(m.masterList, &out);
      if (!PutCallParams(m.oldParams, &out, why) || !PutCallParams(m.newParams, &out, why)) return false;
      break;
    default:
      return Fail(why, "unknown message type");
  }
  *packet = std::move(out);
  return true;
}

bool EncodeEventNotice(const EventNotice& notice, std::string* datagram, std::string* why) {
  std::string out;
  if (!Put(notice.source, "source", &out, why) || !Put(notice.kind, "kind", &out, why) ||
      !Put(notice.text, "text", &out, why)) {
    return false;
  }
  *datagram = std::move(out);
  return true;
}

bool DecodeEventNotice(const void* data, size_t len, EventNotice* notice, std::string* why) {
  std::vector<ItemView> items;
  if (!SplitViews(data, len, &items, why)) return false;
  if (items.size() != 3) {
    return Fail(why, "event notice needs 3 items, got " + std::to_string(items.size()));
  }
  notice->source = ToString(items[0]);
  notice->kind = ToString(items[1]);
  notice->text = ToString(items[2]);
  return true;
}

}  // namespace siptrunk
