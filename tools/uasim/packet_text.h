// Readable one-line forms of user-agent link packets, for siptrunk-uasim's
// standard output. docs/tools.md shows them.
//
// Pure functions: safe on any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/link_codec.h"

namespace siptrunk {
namespace uasim {

// "user=alice password=secret host= addr= port= flags=0x0", reserved fields
// appended as r1=... r5=... only when set. Values are rendered without blanks
// or braces (as \xNN), so the words split cleanly.
std::string AccountText(const CallParams& account);

// The lines of one packet: one line for every message except SET_USERS_LIST,
// which has its head line followed by one "  <account>" line per account.
std::vector<std::string> MessageLines(const UaMessage& message);

// "RAW" and the items, each in double quotes, for a raw packet that was sent.
std::string RawItemsText(const std::vector<std::string>& items);

}  // namespace uasim
}  // namespace siptrunk
