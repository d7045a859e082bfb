// The local IPv4 interfaces, from getifaddrs. No shared state; any thread.
#include "platform/bsd_socket.h"

#include <errno.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <exception>
#include <utility>

#include "platform/diag.h"

namespace {

uint32_t Ipv4Of(const sockaddr* address) {
  if (address == nullptr || address->sa_family != AF_INET) return 0;
  sockaddr_in in{};
  memcpy(&in, address, sizeof in);
  return in.sin_addr.s_addr;
}

}  // namespace

int BsdSocket::GetLocalHostEx(std::vector<InterfaceInfo>* interfaces, const char* nameFilter) {
  if (interfaces == nullptr) {
    siptrunk::Diag("interface list: no list to fill\n");
    return -1;
  }
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) {
    siptrunk::Diag("interface list: getifaddrs failed: %s\n", strerror(errno));
    return -1;
  }
  int appended = 0;
  try {
    for (const ifaddrs* it = all; it != nullptr; it = it->ifa_next) {
      if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET || it->ifa_name == nullptr) continue;
      if (nameFilter != nullptr && strcmp(it->ifa_name, nameFilter) != 0) continue;
      InterfaceInfo info;
      info.sName = it->ifa_name;
      info.nAddr = Ipv4Of(it->ifa_addr);
      info.nNetmask = Ipv4Of(it->ifa_netmask);
      info.nFlags = it->ifa_flags;
      interfaces->push_back(std::move(info));
      ++appended;
    }
  } catch (const std::exception& e) {
    freeifaddrs(all);
    siptrunk::Diag("interface list: %s\n", e.what());
    return -1;
  }
  freeifaddrs(all);
  return appended;
}
