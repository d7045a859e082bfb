// The user agent's own view (siptrunk-ua.status beside ua.sock, written by
// siptrunk-ua; docs/protocols.md gives the format), read for `status`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace siptrunk {
namespace ctl {

struct UaStatusEntry {
  bool trunk = false;        // a trunk towards a master; else an account of the master list
  std::string user;
  std::string where;         // trunk: the master "addr:port"; account: the binding's address
  std::string port;          // account: the binding's port
  std::string device;        // account: the registered device's name
  bool registered = false;   // trunk only
  int64_t code = 0;
  std::string reason;
  int64_t expires = 0;       // seconds since 1970, 0 = none
  int64_t nextAttempt = 0;   // trunk only
};

struct UaStatus {
  bool present = false;      // the file exists
  std::string error;         // non-empty: missing parts or malformed (what and where)
  int64_t written = 0;
  std::vector<UaStatusEntry> entries;
};

// Reads and checks the file; never fails harder than filling `error`.
UaStatus ReadUaStatus(const std::string& path);

}  // namespace ctl
}  // namespace siptrunk
