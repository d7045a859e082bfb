// The wire formats of the two links and of the event channel, shared by the
// daemon, the tools and the tests. docs/protocols.md describes them.
//
// A message is a sequence of items, each a byte string ended by a NUL byte.
// Decoders check everything and never read past the end of their input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "model/call_params.h"

namespace siptrunk {

constexpr size_t kMaxUpdateDatagram = 64 * 1024;   // settings link
// Items in one update message. The longest real one is a deletion naming
// every trunk of a kind at once (its type and one item per name); the others
// have at most six items. A device has tens of trunks, so 1024 leaves ample
// room, while a datagram of 64 KiB of bare NULs (65536 empty items) is refused
// before it becomes a list of 65536 strings.
constexpr size_t kMaxUpdateItems = 1024;
constexpr size_t kMaxUaPacketIn = 64 * 1024;       // user agent to agent
constexpr size_t kMaxUaPacketOut = 4 * 1024 * 1024;  // agent to user agent (a whole list)
constexpr size_t kCallParamsItems = 11;
constexpr unsigned kUaProtocolVersion = 1;

// Splits data[0..len) into its NUL-ended items. Zero bytes give no items.
// False (with *why) when the last byte is not NUL.
bool SplitItems(const void* data, size_t len, std::vector<std::string>* items, std::string* why);
bool SplitItems(const void* data, size_t len, std::list<std::string>* items, std::string* why);

// Joins items, each followed by a NUL. False (with *why) when an item holds a NUL.
bool JoinItems(const std::vector<std::string>& items, std::string* out, std::string* why);
bool JoinItems(const std::list<std::string>& items, std::string* out, std::string* why);

// Strict readers: decimal digits only (no sign, no blanks), within range; a
// bool is exactly "0" or "1".
bool ParseDecimalU32(const std::string& text, uint32_t* value);
bool ParseBool01(const std::string& text, bool* value);

enum class UaMessageType {
  kHello,             // HELLO, version                        (both ways)
  kRequestUsersList,  // REQUEST_USERS_LIST                    (user agent to agent)
  kConfirmUserState,  // CONFIRM_USER_STATE, registered, error, masterList, CallParams
  kSetUsersList,      // SET_USERS_LIST, active, masterList, count, count x CallParams
  kChangeUserParams,  // CHANGE_USER_PARAMS, masterList, old CallParams, new CallParams
};

struct UaMessage {
  UaMessageType type = UaMessageType::kHello;
  uint32_t version = kUaProtocolVersion;  // kHello
  bool registered = false;                // kConfirmUserState
  uint32_t error = 0;                     // kConfirmUserState
  bool masterList = false;                // kConfirmUserState, kSetUsersList, kChangeUserParams
  bool active = false;                    // kSetUsersList
  CallParams account;                     // kConfirmUserState
  std::vector<CallParams> list;           // kSetUsersList
  CallParams oldParams;                   // kChangeUserParams
  CallParams newParams;                   // kChangeUserParams
};

// Decodes one packet. False (with *why) for a packet without its final NUL, an
// unknown name, a wrong item count or a bad number or bool.
bool DecodeUaMessage(const void* data, size_t len, UaMessage* message, std::string* why);

// Encodes one packet. False (with *why) when a field holds a NUL byte.
bool EncodeUaMessage(const UaMessage& message, std::string* packet, std::string* why);

// The event channel: one datagram of three items, source, kind, text.
struct EventNotice {
  std::string source;
  std::string kind;
  std::string text;
};
bool EncodeEventNotice(const EventNotice& notice, std::string* datagram, std::string* why);
bool DecodeEventNotice(const void* data, size_t len, EventNotice* notice, std::string* why);

}  // namespace siptrunk
