// The settings CGI's update messages (CGI listen thread, one at a time).
#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "agent/siptrunk_agent.h"
#include "platform/logger.h"
#include "platform/siptrunk_config.h"
#include "platform/system.h"

namespace {

// Item 0 read as strtol reads a base-10 number (leading blanks, a sign,
// digits up to the first other character; no number gives 0), clamped to the
// range of the device's 32-bit long so every build reads a type alike.
unsigned int ReadType(std::string const& item) {
  errno = 0;
  long long value = std::strtoll(item.c_str(), nullptr, 10);
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<unsigned int>(static_cast<int32_t>(value));
}

bool IsFlagSet(std::string const& item) { return item == "1"; }

// How many items (type included) a message of this type must have.
size_t ItemsRead(unsigned int type, size_t itemCount) {
  switch (type) {
    case UPD_ADD_SIP_TRUNK:
      return 5;
    case UPD_EDIT_SIP_TRUNK:
      return itemCount <= 3 ? 3 : 6;  // the short form has exactly three items
    case UPD_TRUNK_TO_MASTER_STATE:
      return 3;
    case UPD_EDIT_TRUNK_TO_MASTER:
      return 4;
    default:
      return 1;
  }
}

bool IsMasterGated(unsigned int type) {
  return type == UPD_ADD_SIP_TRUNK || type == UPD_EDIT_SIP_TRUNK || type == UPD_DELETE_SIP_TRUNKS;
}

}  // namespace

bool CSIPTrunkAgent::OnUpdateMessage(int /*queueId*/, std::list<std::string> const& itemList) {
  if (itemList.empty()) return true;
  // After the stop message the agent is being torn down: nothing more is handled.
  if (m_bStopThreads) return false;

  const std::vector<std::string> items(itemList.begin(), itemList.end());
  const unsigned int type = ReadType(items[0]);
  m_pLogger->TRACE(3, "MESS: Incoming update message from SIP Trunk settings CGI. type: # %02x \n", type);
  if (type > UPD_STOP_AGENT) return false;
  if (IsMasterGated(type) && !m_bMasterActive) return false;

  const size_t needed = ItemsRead(type, items.size());
  if (items.size() < needed) {
    m_pLogger->TRACE(3, "ERROR: Update message of type %u dropped: too short, %u items where %u are needed\n", type,
                     static_cast<unsigned>(items.size()), static_cast<unsigned>(needed));
    return false;
  }

  switch (type) {
    case UPD_ACTIVATE_MASTER:
      LoadMasterAccessibleUsersList();
      // Slaves stored while the role was off are admitted like those of a
      // connection's load.
      LoadRegisteredSlaves();
      m_bMasterActive = true;
      break;
    case UPD_DEACTIVATE_MASTER:
      SetInactiveTrunksToSlaves();
      m_bMasterActive = false;
      break;
    case UPD_ACTIVATE_SLAVE:
      LoadSlaveAccessibleUsersList();
      m_bSlaveActive = true;
      break;
    case UPD_DEACTIVATE_SLAVE:
      SetInactiveTrunksToMasters();
      m_bSlaveActive = false;
      break;
    case UPD_ADD_SIP_TRUNK:
      AddSipTrunk(items[1], items[2], items[3], IsFlagSet(items[4]));
      break;
    case UPD_EDIT_SIP_TRUNK:
      if (items.size() == 3) {
        EditSipTrunk(items[1], items[2], std::string(), std::string(), false, true);
      } else {
        EditSipTrunk(items[1], items[2], items[3], items[4], IsFlagSet(items[5]), false);
      }
      break;
    case UPD_DELETE_SIP_TRUNKS:
      for (size_t i = 1; i < items.size(); ++i) DeleteSipTrunk(items[i]);
      break;
    case UPD_TRUNK_TO_MASTER_STATE:
      if (m_pConfig->GetStateOfTrunkToMaster(items[2]) != 0) {
        SendRegisterToMaster(items[2]);
      } else {
        RemoveTrunkToMaster(items[1]);
        SendUnregisterToMaster(items[2]);
      }
      break;
    case UPD_EDIT_TRUNK_TO_MASTER:
      EditTrunkToMaster(items[1], items[2], IsFlagSet(items[3]));
      break;
    case UPD_DELETE_TRUNKS_TO_MASTER:
      for (size_t i = 1; i < items.size(); ++i) DeleteTrunkToMaster(items[i]);
      break;
    case UPD_STOP_AGENT:
      StopAgent();
      break;
  }
  return false;
}

// Switches the active roles off, waits two seconds and ends the process
// through its SIGTERM handling. Only this process is signalled (never its
// process group, which may hold a supervisor or the settings CGI). The CGI
// thread then sleeps until the teardown asks the listen threads to stop, so
// that the teardown's wait for this thread ends.
void CSIPTrunkAgent::StopAgent() {
  if (m_bMasterActive) {
    SetInactiveTrunksToSlaves();
    m_bMasterActive = false;
  }
  if (m_bSlaveActive) {
    SetInactiveTrunksToMasters();
    m_bSlaveActive = false;
  }
  WaitSeconds(2);
  siptrunk::SignalSelf(SIGTERM);
  WaitUntilStopRequested();
}
