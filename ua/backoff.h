// When to try again after a failed registration or a lost link: capped
// exponential back-off with jitter. Pure arithmetic; the caller supplies the
// random draw, so the schedule can be checked exactly.
#pragma once

#include <cstdint>

namespace siptrunk {
namespace ua {

struct BackoffPolicy {
  uint32_t firstMs = 2000;         // delay after the first failure (before jitter)
  uint32_t capMs = 300000;         // no delay grows past this (before Retry-After)
  uint32_t credentialsMs = 60000;  // least delay after a credentials failure
  uint32_t retryAfterCapMs = 3600000;  // a peer's Retry-After is honoured up to this
};

// The delay before attempt `failures` + 1, where `failures` >= 1 counts the
// failures in a row. The exponential part doubles from firstMs up to capMs;
// jitter (`draw` in [0, 1)) then picks a value in [half, full] of it, so peers
// that failed together do not retry together. A credentials failure waits at
// least credentialsMs; a Retry-After (seconds, 0 = none) at least that long.
uint32_t BackoffDelayMs(const BackoffPolicy& policy, uint32_t failures, double draw,
                        bool credentialsFailure, uint32_t retryAfterSeconds);

}  // namespace ua
}  // namespace siptrunk
