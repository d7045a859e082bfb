// Registration confirmations from the user agent (SIP listen thread), and the
// notifications they raise. Notifications and store calls of the slave side
// are made with no lock held; the master side holds m_mtxRegisteredSlaves
// across its walk and the store and regulator calls that follow from it, and
// raises its notification after releasing it.
#include <string>

#include "agent/siptrunk_agent.h"
#include "platform/logger.h"
#include "platform/mm_event.h"
#include "platform/siptrunk_config.h"
#include "registration/matching.h"
#include "ualink/notifications.h"

namespace {

using notification::kMasterSource;
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

void CSIPTrunkAgent::RaiseNotification(char const* source, char const* kind, char const* text) {
  MMEvent event;
  if (event.Register(source, kind) == 0) return;
  event.Raise(text, nullptr, nullptr);
}

bool CSIPTrunkAgent::OnConfirmUserState(CallParams const& account, bool registered, unsigned int error,
                                        bool masterList) {
  if (masterList) {
    ConfirmSlaveRegistration(account, registered, error);
  } else {
    ConfirmTrunkToMaster(account, registered, error);
  }
  return true;
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

// Master side: a slave device registered on, or unregistered from, one of
// this device's SIP trunks.
void CSIPTrunkAgent::ConfirmSlaveRegistration(CallParams const& account, bool registered, unsigned int error) {
  m_pLogger->TRACE(3,
                   "MESS:SIP Trunk Agent(MASTER): Incoming ConfirmUserState ...FROM: %s  %s@%s:%s  # rez: %s # "
                   "error: %u\n",
                   account.sHostName.c_str(), account.sUserName.c_str(), account.sHostAddr.c_str(),
                   account.sHostPort.c_str(), registered ? "Register" : "UnRegister", error);

  CSIPTrunkBase::STRegistrationParam param;
  param.sUserName = account.sUserName;
  param.sUserPasswd = account.sUserPasswd;
  param.sHostAddr = account.sHostAddr;
  param.sHostPort = account.sHostPort;
  const std::string who = account.sUserName + "(" + account.sHostAddr + ":" + account.sHostPort + ")";

  if (registered) {
    bool sameRegistration = false;
    {
      ThreadMutexLock lock(m_mtxRegisteredSlaves);
      bool matched = false;
      for (auto const& entry : m_vRegisteredSlaves) {
        if (SameRegistration(entry, param)) {
          m_pConfig->SetRegisterParam(param, true);
          sameRegistration = matched = true;
          break;
        }
        if (SameAccount(entry, param)) {
          // A copy: ChangeSlaveAddress rewrites the entries it matches.
          const CSIPTrunkBase::STRegistrationParam previous = entry;
          ChangeSlaveAddress(previous, param);
          matched = true;
          break;
        }
      }
      if (!matched) RegisterSlave(param);
    }
    if (!sameRegistration) {
      const std::string text = "Successfully registered user " + who + " on master device ";
      RaiseNotification(kMasterSource, kRegistration, text.c_str());
    }
    return;
  }

  {
    ThreadMutexLock lock(m_mtxRegisteredSlaves);
    for (auto const& entry : m_vRegisteredSlaves) {
      if (SameRegistration(entry, param)) {
        UnregisterSlave(param);
        RemoveRegisteredSlave(param);
        break;
      }
    }
  }
  const std::string text = "Successfully unregistered user " + who + " from master device ";
  RaiseNotification(kMasterSource, kRegistration, text.c_str());
}
