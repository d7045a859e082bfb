// One SIP account as it is handed to the SIP user agent.
//
// A plain value record: the agent builds one on the stack (or in a list) for a
// single call to the user-agent link and destroys it right after. A
// default-constructed record stands for "no account" in an account change.
#pragma once

#include <cstdint>
#include <string>

struct CallParams {
  std::string sUserName;    // SIP user name; confirmations are matched on it
  std::string sReserved1;   // carried, never set or read by the agent
  std::string sHostName;    // host name of the registering device
  std::string sUserPasswd;  // SIP password
  std::string sHostAddr;    // peer address: the master (slave side) or the slave (master side)
  std::string sHostPort;    // peer port, decimal text
  std::string sReserved2;
  std::string sReserved3;
  std::string sReserved4;
  std::string sReserved5;
  uint32_t nFlags = 0;      // kFlagSymmetricNat for a SIP trunk with symmetric NAT

  static constexpr uint32_t kFlagSymmetricNat = 0x100;
};

inline bool operator==(const CallParams& a, const CallParams& b) {
  return a.sUserName == b.sUserName && a.sReserved1 == b.sReserved1 &&
         a.sHostName == b.sHostName && a.sUserPasswd == b.sUserPasswd &&
         a.sHostAddr == b.sHostAddr && a.sHostPort == b.sHostPort &&
         a.sReserved2 == b.sReserved2 && a.sReserved3 == b.sReserved3 &&
         a.sReserved4 == b.sReserved4 && a.sReserved5 == b.sReserved5 && a.nFlags == b.nFlags;
}
inline bool operator!=(const CallParams& a, const CallParams& b) { return !(a == b); }
