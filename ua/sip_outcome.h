// The outcome of a registration towards a master, as the agent's link reports
// it: error 0 is success, 1..12 name the kind of failure (docs/ua.md).
#pragma once

#include <cstdint>

namespace siptrunk {
namespace ua {

enum UaError : uint32_t {
  kErrNone = 0,
  kErrNotFound = 1,        // 404
  kErrNotSupported = 2,    // 405, 420, 501
  kErrNoTransaction = 3,   // 481
  kErrUnavailable = 4,     // 503 from the master
  kErrBadRequest = 5,      // 400
  kErrTransport = 6,       // ICMP error, connection refused, no route
  kErrTempUnavailable = 7, // 480
  kErrAddress = 8,         // 416, 484, 485
  kErrTimeout = 9,         // 408 or no answer at all
  kErrCredentials = 10,    // 401/407 that cannot be answered, 403
  kErrNotAcceptable = 11,  // 488, 606
  kErrOther = 12,          // every other final failure
};

// Maps a final status of a REGISTER to its error code. fromNetwork is false
// when the stack made the response itself (no answer arrived): its 503 is a
// transport failure and its 408 a timeout. A 2xx maps to kErrNone.
UaError ErrorForStatus(int status, bool fromNetwork);

// True for failures caused by the credentials (the retry waits longer).
inline bool IsCredentialsFailure(UaError e) { return e == kErrCredentials; }

}  // namespace ua
}  // namespace siptrunk
