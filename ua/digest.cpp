#include "ua/digest.h"

#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

#include <sofia-sip/su_md5.h>

namespace siptrunk {
namespace ua {

const char* DigestResultName(DigestResult r) {
  switch (r) {
    case DigestResult::kOk: return "ok";
    case DigestResult::kMalformed: return "malformed credentials";
    case DigestResult::kWrongRealm: return "wrong realm";
    case DigestResult::kUnknownNonce: return "unknown nonce";
    case DigestResult::kStale: return "stale nonce";
    case DigestResult::kReplay: return "replayed nonce-count";
    case DigestResult::kWrongPassword: return "wrong password";
  }
  return "?";
}

bool DigestResponseMatches(const auth_response_t& ar, const std::string& password, const char* method) {
  if (!ar.ar_username || !ar.ar_realm || !ar.ar_nonce || !ar.ar_uri || !ar.ar_response) return false;
  if (ar.ar_md5sess || ar.ar_sha1 || ar.ar_auth_int) return false;
  auth_hexmd5_t ha1, expected;
  auth_response_t copy = ar;  // auth_digest_response takes a non-const record
  if (auth_digest_ha1(ha1, ar.ar_username, ar.ar_realm, password.c_str()) < 0) return false;
  if (auth_digest_response(&copy, expected, ha1, method, nullptr, 0) < 0) return false;
  return std::strlen(ar.ar_response) == 32 && strcasecmp(ar.ar_response, expected) == 0;
}

DigestAuthority::DigestAuthority(std::string realm, std::string secret, uint32_t lifetimeSeconds)
    : m_realm(std::move(realm)),
      m_secret(std::move(secret)),
      m_lifetime(lifetimeSeconds),
      m_lastNc(kMaxTrackedNonces, 0) {}

std::string DigestAuthority::Sign(uint32_t issued, uint32_t serial) const {
  su_md5_t md5;
  su_md5_init(&md5);
  su_md5_update(&md5, m_secret.data(), m_secret.size());
  char text[24];
  std::snprintf(text, sizeof text, ":%08x:%08x", issued, serial);
  su_md5_strupdate(&md5, text);
  char hex[33];
  su_md5_hexdigest(&md5, hex);
  char head[17];
  std::snprintf(head, sizeof head, "%08x%08x", issued, serial);
  return std::string(head) + hex;
}

std::string DigestAuthority::IssueNonce(uint64_t now) {
  ++m_serial;
  m_lastNc[m_serial % kMaxTrackedNonces] = 0;
  return Sign(static_cast<uint32_t>(now), m_serial);
}

namespace {
bool ParseHex32(const char* text, size_t len, uint32_t* value) {
  if (std::strlen(text) < len) return false;
  uint32_t v = 0;
  for (size_t i = 0; i < len; ++i) {
    const char c = text[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}
}  // namespace

DigestResult DigestAuthority::Verify(const auth_response_t& ar, const std::string& password,
                                     const char* method, uint64_t now) {
  if (!ar.ar_username || !ar.ar_realm || !ar.ar_nonce || !ar.ar_uri || !ar.ar_response ||
      !ar.ar_cnonce || !ar.ar_nc || !ar.ar_auth || ar.ar_md5sess || ar.ar_sha1 || ar.ar_auth_int) {
    return DigestResult::kMalformed;
  }
  if (m_realm != ar.ar_realm) return DigestResult::kWrongRealm;
  const std::string nonce = ar.ar_nonce;
  uint32_t issued = 0, serial = 0, nc = 0;
  if (nonce.size() != 48 || !ParseHex32(nonce.c_str(), 8, &issued) ||
      !ParseHex32(nonce.c_str() + 8, 8, &serial) || Sign(issued, serial) != nonce) {
    return DigestResult::kUnknownNonce;
  }
  if (std::strlen(ar.ar_nc) != 8 || !ParseHex32(ar.ar_nc, 8, &nc) || nc == 0) return DigestResult::kMalformed;
  // The response is checked before the nonce's age, so that a stale answer
  // with a wrong password is still a wrong password (no fresh challenge).
  if (!DigestResponseMatches(ar, password, method)) return DigestResult::kWrongPassword;
  const uint64_t age = now >= issued ? now - issued : UINT64_MAX;
  // Tracked: one of the last kMaxTrackedNonces serials issued (modulo 2^32,
  // so the count wrapping keeps working).
  const bool tracked = m_serial - serial < kMaxTrackedNonces;
  if (age > m_lifetime || !tracked) return DigestResult::kStale;
  uint32_t& last = m_lastNc[serial % kMaxTrackedNonces];
  if (nc <= last) return DigestResult::kReplay;
  last = nc;
  return DigestResult::kOk;
}

std::string RandomBytes(size_t count) {
  std::string out(count, '\0');
  size_t got = 0;
  while (got < count) {
    const ssize_t n = getrandom(&out[got], count - got, 0);
    if (n <= 0) return std::string();
    got += static_cast<size_t>(n);
  }
  return out;
}

}  // namespace ua
}  // namespace siptrunk
