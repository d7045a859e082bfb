// The command line of siptrunk-ua (getopt_long); docs/ua.md lists it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ua/backoff.h"
#include "ua/registrar.h"

namespace siptrunk {
namespace ua {

struct Options {
  std::vector<std::string> listen;   // "ADDR:PORT"; default 0.0.0.0:5060
  std::string transport = "udp,tcp"; // udp, tcp or both
  std::string realm = "siptrunk";
  RegistrarLimits limits;
  uint32_t nonceLifetime = 300;      // seconds
  uint32_t clientExpires = 3600;     // asked of masters
  BackoffPolicy retry;               // registrations towards masters
  uint32_t reconnectMaxMs = 2000;    // link to the agent
  uint32_t maxTransactions = 2000;   // REGISTERs answered per hold window
  uint32_t maxHeld = 3000;           // requests taken in per hold window; beyond: dropped before the stack
  uint32_t holdMs = 8000;            // how long the stack keeps an answered transaction (64 x T1)
  std::string socketPath;            // default: <runtime>/ua.sock
  std::string stateDir;              // default: $STATE_DIRECTORY or the build's state directory
};

enum class ParseResult { kRun, kExit0, kExit2 };

// Parses argv; prints --help or the error itself.
ParseResult ParseOptions(int argc, char** argv, Options* options);

}  // namespace ua
}  // namespace siptrunk
