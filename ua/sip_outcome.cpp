#include "ua/sip_outcome.h"

namespace siptrunk {
namespace ua {

UaError ErrorForStatus(int status, bool fromNetwork) {
  if (status >= 200 && status < 300) return kErrNone;
  if (!fromNetwork) {
    // The stack answers itself only when nothing usable came back: a timer
    // ran out (408) or the transport failed (503, or anything else it makes).
    return status == 408 ? kErrTimeout : kErrTransport;
  }
  switch (status) {
    case 404: return kErrNotFound;
    case 405: case 420: case 501: return kErrNotSupported;
    case 481: return kErrNoTransaction;
    case 503: return kErrUnavailable;
    case 400: return kErrBadRequest;
    case 480: return kErrTempUnavailable;
    case 416: case 484: case 485: return kErrAddress;
    case 408: return kErrTimeout;
    case 401: case 407: case 403: return kErrCredentials;
    case 488: case 606: return kErrNotAcceptable;
    default: return kErrOther;
  }
}

}  // namespace ua
}  // namespace siptrunk
