// Admission and removal of registered slaves' addresses at the LAN-traffic
// regulator. Only slaves reached through the LAN interface "eth0" are
// regulated. Every caller holds m_mtxRegisteredSlaves, which also guards the
// regulator handle. The route lookups go through the agent's one RouteHelper
// (its socket kept open; its own lock is a leaf taken under ours).
#include <arpa/inet.h>

#include <string>
#include <vector>

#include "agent/siptrunk_agent.h"
#include "platform/logger.h"
#include "platform/route_helper.h"

namespace {

const char* const kLanInterface = "eth0";

// Whether the route towards `destination` leaves through the LAN interface.
// When several interfaces carry the outgoing address, the last one decides.
// A destination with no route is not on the LAN.
bool IsReachedThroughLan(RouteHelper& route, in_addr_t destination) {
  unsigned long localAddress = 0;
  unsigned long outInterface = 0;
  if (!route.GetOutInterface(destination, localAddress, outInterface)) return false;
  std::vector<std::string> names;
  route.NamesCarrying(static_cast<uint32_t>(localAddress), &names);
  return !names.empty() && names.back() == kLanInterface;
}

}  // namespace

void CSIPTrunkAgent::RegulateSlaveAddress(char const* address, bool const& add) {
  // Only a dotted IPv4 address is regulated: a text that is not one must not
  // turn into some other address (inet_addr would make it 255.255.255.255).
  in_addr parsed{};
  if (address == nullptr || inet_pton(AF_INET, address, &parsed) != 1) {
    m_pLogger->TRACE(3, "ERROR:SIP Trunk Agent: Slave address '%s' is not a dotted IPv4 address; not %s\n",
                     address != nullptr ? address : "", add ? "admitted" : "removed");
    return;
  }
  // No regulator open: nothing to change, so no route lookup either.
  if (m_pArpnlHandle == nullptr || !IsReachedThroughLan(m_routeHelper, parsed.s_addr)) return;

  if (add) {
    m_pLogger->TRACE(3, "INFO:SIP Trunk Agent: Adding Slave %s to LAN-traffic regulator\n", address);
    if (arpnl_addaddr(m_pArpnlHandle, parsed.s_addr) < 0) {
      m_pLogger->TRACE(0, "ERROR: Adding Slave %s to LAN-traffic regulator\n", address);
    }
  } else {
    m_pLogger->TRACE(3, "INFO:SIP Trunk Agent: Removing Slave %s from LAN-traffic regulator\n", address);
    if (arpnl_deladdr(m_pArpnlHandle, parsed.s_addr) < 0) {
      m_pLogger->TRACE(0, "ERROR: Removing Slave %s from LAN-traffic regulator\n", address);
    }
  }
}

void CSIPTrunkAgent::ReadmitSlaveAddress(std::string const& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return;  // traced when it registered
  if (m_pArpnlHandle == nullptr || !IsReachedThroughLan(m_routeHelper, parsed.s_addr)) return;
  // Adding an address already in the set succeeds; an add also recreates the
  // table and the set when they were deleted under the agent.
  if (arpnl_addaddr(m_pArpnlHandle, parsed.s_addr) < 0) {
    m_pLogger->TRACE(0, "ERROR: Adding Slave %s to LAN-traffic regulator\n", address.c_str());
  }
}

void CSIPTrunkAgent::AdmitRegisteredSlaves() {
  ThreadMutexLock lock(m_mtxRegisteredSlaves);
  for (auto const& slave : m_vRegisteredSlaves) RegulateSlaveAddress(slave.sHostAddr.c_str(), true);
}
