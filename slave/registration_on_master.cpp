// This device registering on a master device: the user agent's confirmations
// for the slave list (SIP listen thread), and the failure and recovery
// notifications they raise. Notifications and store calls are made with no
// lock held; m_mtxTrunksToMaster is taken only to read or update an entry.
#include <string>

#include "agent/siptrunk_agent.h"
#include "model/notifications.h"
#include "platform/logger.h"
#include "platform/siptrunk_config.h"

namespace {

using notification::kRegistration;
using notification::kRegistrationFailure;
using notification::kSlaveSource;

const char* const kErrorTexts[] = {
    "LineBusy",         "User not found",        "Not Supported",        "No Such Call",      "System Overload",
    "Inappropriate Command", "Network Failure",  "Temporary Unavailable", "Incorrect Target", "Timeout Occurred",
    "Authorization failure", "Negotiation",      "Register rejected",
};

}  // namespace

char const* CSIPTrunkAgent::RegistrationErrorText(unsigned int const& code) {
  constexpr unsigned kKnown = sizeof kErrorTexts / sizeof kErrorTexts[0];
  return code < kKnown ? kErrorTexts[code] : "Unknown error";
}

// Slave side: the outcome of one of this device's trunks towards a master.
void CSIPTrunkAgent::ConfirmTrunkToMaster(CallParams const& account, bool registered, unsigned int error) {
  m_pLogger->TRACE(3, "MESS:SIP Trunk Agent(SLAVE): Incoming ConfirmUserState # user: %s # rez: %s # error: %u \n",
                   account.sUserName.c_str(), (registered || error != 0) ? "Register" : "UnRegister", error);

  std::string trunkName;
  bool notifySuccess = false;
  uint32_t lastError = 0;
  bool found = false;
  {
    ThreadMutexLock lock(m_mtxTrunksToMaster);
    for (auto const& trunk : m_vTrunksToMaster) {
      if (trunk.sUserName == account.sUserName) {
        trunkName = trunk.sTrunkName;
        notifySuccess = trunk.bNotifySuccess;
        lastError = trunk.nLastError;
        found = true;
        break;
      }
    }
  }
  if (!found) {
    m_pLogger->TRACE(3, "ERROR:SIP Trunk Agent(SLAVE): # user: %s not found...\n", account.sUserName.c_str());
    return;
  }

  // Writes go to the entry found again by user name; one that has gone
  // meanwhile is skipped.
  auto updateEntry = [this, &account](auto&& change) {
    ThreadMutexLock lock(m_mtxTrunksToMaster);
    for (auto& trunk : m_vTrunksToMaster) {
      if (trunk.sUserName == account.sUserName) {
        change(trunk);
        return;
      }
    }
  };

  const bool success = registered && error == 0;
  const std::string where = account.sHostAddr + ":" + account.sHostPort;
  if (notifySuccess && success) {
    const std::string text =
        "Successfully registered with user " + account.sUserName + " on master device " + where;
    RaiseNotification(kSlaveSource, kRegistration, text.c_str());
    updateEntry([](CSIPTrunkBase::STAccessibleSlave& trunk) {
      trunk.bNotifySuccess = false;
      trunk.nLastError = 0;
    });
  } else if (error != lastError) {
    const std::string text = "Could not register with user " + account.sUserName + " on server " + where +
                             " Reason: " + RegistrationErrorText(error);
    RaiseNotification(kSlaveSource, kRegistrationFailure, text.c_str());
    updateEntry([error](CSIPTrunkBase::STAccessibleSlave& trunk) {
      trunk.bNotifySuccess = true;
      trunk.nLastError = error;
    });
    m_pConfig->SetTrunkToMasterInActiveState(trunkName);
  }

  if (success) {
    updateEntry([](CSIPTrunkBase::STAccessibleSlave& trunk) { trunk.bActive = true; });
    m_pConfig->SetTrunkToMasterActiveState(trunkName);
  }
}
