// A slave device registering on this master: the user agent's confirmations
// for the master list (SIP listen thread). m_mtxRegisteredSlaves is held
// across the table walk and the store and regulator calls that follow from
// it; the notification is raised after releasing it.
#include <algorithm>
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
      // A refresh of any entry goes before a move of another entry of the
      // same account: that move would leave two entries for one (user,
      // address, port), which the store keeps as one row.
      auto same = std::find_if(m_vRegisteredSlaves.begin(), m_vRegisteredSlaves.end(),
                               [&](CSIPTrunkBase::STRegistrationParam const& e) { return SameRegistration(e, param); });
      auto sameAccount = std::find_if(m_vRegisteredSlaves.begin(), m_vRegisteredSlaves.end(),
                                      [&](CSIPTrunkBase::STRegistrationParam const& e) { return SameAccount(e, param); });
      if (same != m_vRegisteredSlaves.end()) {
        same->sUserPasswd = param.sUserPasswd;  // as the store's row keeps it
        m_pConfig->SetRegisterParam(param, true);
        NoteSlaveWrite(nullptr);
        RewriteStaleSlaves(false);
        // A refresh: an admission lost meanwhile (set flushed, netlink
        // error) comes back here, quietly.
        ReadmitSlaveAddress(param.sHostAddr);
        sameRegistration = true;
      } else if (sameAccount != m_vRegisteredSlaves.end()) {
        // A copy: ChangeSlaveAddress rewrites the entries it matches.
        const CSIPTrunkBase::STRegistrationParam previous = *sameAccount;
        ChangeSlaveAddress(previous, param);
      } else {
        RegisterSlave(param);
      }
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
