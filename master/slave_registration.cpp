// A slave device registering on this master: the user agent's confirmations
// for the master list (SIP listen thread). m_mtxRegisteredSlaves is held
// across the table walk and the store and regulator calls that follow from
// it; the notification is raised after releasing it.
#include <string>

#include "agent/siptrunk_agent.h"
#include "model/matching.h"
#include "model/notifications.h"
#include "platform/logger.h"
#include "platform/siptrunk_config.h"

namespace {

using notification::kMasterSource;
using notification::kRegistration;

}  // namespace

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
