// What the UA last saw, per trunk towards a master and per account of the
// master list, published as a small text file beside ua.sock
// (siptrunk-ua.status) for siptrunkctl status. docs/protocols.md gives the
// format; the file is replaced atomically (temporary file, fsync, rename), so
// a reader sees the old or the new one, never a mix.
//
// Used by the event-loop thread only; no locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace siptrunk {
namespace ua {

// A registration of ours towards a master. Times are wall-clock seconds
// since 1970; 0 = none.
struct TrunkStatus {
  std::string user;
  std::string master;     // "addr:port"
  bool registered = false;
  int code = 0;           // last final SIP status; 0 = none yet
  std::string reason;
  uint64_t expires = 0;   // end of the registration the master granted
  uint64_t nextAttempt = 0;  // next REGISTER after a failure
};

// An account of the master list that a slave device registers (or tried to).
struct SlaveStatus {
  std::string user;
  std::string address;    // of the binding; empty without one
  uint16_t port = 0;
  std::string device;
  int code = 0;           // last answer we gave
  std::string reason;
  uint64_t expires = 0;   // end of the binding
};

std::string FormatStatus(uint64_t wallNow, const std::vector<TrunkStatus>& trunks,
                         const std::vector<SlaveStatus>& slaves);
// Writes `text` to `path` through a temporary file in the same directory,
// fsync and rename. False with *error; the old file then stays.
bool ReplaceFile(const std::string& path, const std::string& text, std::string* error);

}  // namespace ua
}  // namespace siptrunk
