// Sources and kinds of the notifications the agent raises to the event manager.
#pragma once

namespace notification {
constexpr const char* kSlaveSource = "SIPTunnelSlave";    // this device's trunks towards masters
constexpr const char* kMasterSource = "SIPTunnelMaster";  // slaves registering on this device
constexpr const char* kRegistration = "Registration";
constexpr const char* kRegistrationFailure = "Registration failure";
}  // namespace notification
