// The commands of siptrunk-uasim, one per line, and their parsing.
//
// Pure parsing, no state: safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/link_codec.h"

namespace siptrunk {
namespace uasim {

struct SimCommand {
  enum class Kind {
    kNothing,        // blank line or # comment
    kConfirmMaster,  // confirm master USER PASSWORD ADDRESS PORT REGISTERED ERROR [HOSTNAME]
    kConfirmSlave,   // confirm slave USER ADDRESS PORT REGISTERED ERROR
    kHello,          // hello [VERSION]
    kRequest,        // request
    kRaw,            // raw ITEM...
    kRawHex,         // rawhex HEX...
    kSleep,          // sleep MS
    kReconnect,      // reconnect
    kQuit,           // quit
  };
  Kind kind = Kind::kNothing;
  UaMessage message;               // kConfirmMaster, kConfirmSlave, kHello
  std::vector<std::string> items;  // kRaw
  std::string bytes;               // kRawHex
  uint32_t sleepMs = 0;            // kSleep

  // Commands that go out on the link wait until the link is up.
  bool NeedsLink() const {
    return kind == Kind::kConfirmMaster || kind == Kind::kConfirmSlave || kind == Kind::kHello ||
           kind == Kind::kRequest || kind == Kind::kRaw || kind == Kind::kRawHex;
  }
};

// Splits a line into words: blanks separate; "..." and '...' group (an empty
// pair is an empty word); outside single quotes a backslash escapes: \\ \"
// \' \n \t \r \xNN and a backslash before a blank. False with *error for an
// unclosed quote or a bad escape.
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error);

// Parses one command line. False with *error for a bad command.
bool ParseCommand(const std::string& line, SimCommand* command, std::string* error);

// The help text of the commands, for --help.
const char* CommandHelp();

}  // namespace uasim
}  // namespace siptrunk
