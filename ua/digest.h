// Digest authentication for the registrar (RFC 2617 / RFC 7616, MD5 with
// qop=auth), checked against passwords the agent handed over in memory.
//
// Nonces are self-checking: "<issued, 8 hex><serial, 8 hex><MD5 of a secret
// drawn at start, the time and the serial>", so a forged or altered nonce is
// refused without any table. Each issued nonce is also remembered with the
// highest nonce-count seen, which refuses a replayed request; the table is
// bounded (kMaxTrackedNonces) and a nonce pushed out of it counts as stale,
// so a flood of challenges cannot grow it. Serials are issued in sequence, so
// the table is a ring indexed by serial, allocated once: no allocation per
// challenge that would outlive the transaction around it (keeps the heap
// returnable after a burst).
//
// Owned and used by the event-loop thread only; no locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sofia-sip/auth_digest.h>

namespace siptrunk {
namespace ua {

enum class DigestResult {
  kOk,
  kMalformed,      // missing fields, another algorithm or qop, bad nonce-count
  kWrongRealm,     // credentials meant for another realm
  kUnknownNonce,   // not a nonce of ours (forged, or from before a restart)
  kStale,          // our nonce, but too old or no longer tracked: challenge again, stale=true
  kReplay,         // nonce-count not above the last one seen with this nonce
  kWrongPassword,  // the response does not match the password
};

const char* DigestResultName(DigestResult r);

// The arithmetic alone: does the response of `ar` match `password` for
// `method` (MD5, qop=auth or none)? Used by the tests with the RFC vectors.
bool DigestResponseMatches(const auth_response_t& ar, const std::string& password, const char* method);

class DigestAuthority {
 public:
  static constexpr size_t kMaxTrackedNonces = 8192;

  // secret: at least 16 random bytes; lifetimeSeconds: how long a nonce is good.
  DigestAuthority(std::string realm, std::string secret, uint32_t lifetimeSeconds);

  const std::string& realm() const { return m_realm; }

  // A fresh nonce, issued at `now` (seconds of a steady clock).
  std::string IssueNonce(uint64_t now);

  // Checks one set of credentials for `password`. On kOk the nonce-count is
  // recorded, so the same request replayed is refused.
  DigestResult Verify(const auth_response_t& ar, const std::string& password, const char* method,
                      uint64_t now);

 private:
  std::string Sign(uint32_t issued, uint32_t serial) const;

  std::string m_realm;
  std::string m_secret;
  uint32_t m_lifetime;
  uint32_t m_serial = 0;
  // Highest nc accepted for the nonce of serial s, at s % kMaxTrackedNonces;
  // the nonces tracked are the last kMaxTrackedNonces serials issued.
  std::vector<uint32_t> m_lastNc;
};

// Random bytes from the kernel (for the nonce secret); empty on failure.
std::string RandomBytes(size_t count);

}  // namespace ua
}  // namespace siptrunk
