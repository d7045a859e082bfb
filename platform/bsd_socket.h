// The local IPv4 interfaces (getifaddrs).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct InterfaceInfo {
  std::string sName;     // interface name, e.g. "eth0"
  uint32_t nAddr = 0;    // IPv4 address, network byte order
  uint32_t nNetmask = 0; // network byte order
  unsigned nFlags = 0;   // IFF_* flags
};

class BsdSocket {
 public:
  // Appends one record per IPv4 address of every local interface, in the
  // order the kernel lists them. `nameFilter` null: all interfaces; otherwise
  // only those of that name. Returns the number appended, -1 on failure.
  static int GetLocalHostEx(std::vector<InterfaceInfo>* interfaces, const char* nameFilter);
};
