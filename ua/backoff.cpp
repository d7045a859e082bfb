#include "ua/backoff.h"

#include <algorithm>

namespace siptrunk {
namespace ua {

uint32_t BackoffDelayMs(const BackoffPolicy& policy, uint32_t failures, double draw,
                        bool credentialsFailure, uint32_t retryAfterSeconds) {
  uint64_t full = std::max<uint32_t>(policy.firstMs, 1);
  for (uint32_t i = 1; i < failures && full < policy.capMs; ++i) full *= 2;
  full = std::min<uint64_t>(full, policy.capMs);
  if (draw < 0 || !(draw < 1)) draw = 0;  // also catches NaN
  const uint64_t half = full / 2;
  uint64_t delay = half + static_cast<uint64_t>(draw * static_cast<double>(full - half));
  if (credentialsFailure) delay = std::max<uint64_t>(delay, policy.credentialsMs);
  if (retryAfterSeconds > 0) {
    const uint64_t asked = std::min<uint64_t>(uint64_t{retryAfterSeconds} * 1000, policy.retryAfterCapMs);
    delay = std::max(delay, asked);
  }
  return static_cast<uint32_t>(std::min<uint64_t>(delay, UINT32_MAX));
}

}  // namespace ua
}  // namespace siptrunk
