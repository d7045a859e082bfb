// The slave role's trunks towards master devices (CGI listen thread). Every
// access to m_vTrunksToMaster holds its lock, since the SIP listen thread
// looks entries up by user name when confirmations arrive; the user agent,
// the store and the event manager are called with no lock held.
#include <algorithm>
#include <string>

#include "agent/siptrunk_agent.h"
#include "model/notifications.h"
#include "platform/logger.h"
#include "platform/siptrunk_config.h"
#include "platform/system.h"

namespace {

CallParams AccountOf(CSIPTrunkBase::STRegistrationFields const& fields, std::string const& hostName) {
  CallParams account;
  account.sUserName = fields.sUserName;
  account.sUserPasswd = fields.sUserPasswd;
  account.sHostAddr = fields.sHostAddr;
  account.sHostPort = fields.sHostPort;
  account.sHostName = hostName;
  return account;
}

}  // namespace

void CSIPTrunkAgent::SendRegisterToMaster(std::string const& trunkName) {
  if (!m_bUAConnected) return;

  CSIPTrunkBase::STRegistrationFields fields;
  m_pConfig->GetTrunkToMasterParams(trunkName, fields, true);
  const CallParams account = AccountOf(fields, siptrunk::HostName());
  // Nothing to register (a disabled or unknown trunk): no entry either. An
  // entry without an account would shadow the real entry of the same name
  // added later, and deleting the trunk would then withdraw nothing.
  if (account.sUserName.empty()) return;

  {
    CSIPTrunkBase::STAccessibleSlave trunk;
    trunk.sTrunkName = trunkName;
    trunk.sUserName = fields.sUserName;
    trunk.sUserPasswd = fields.sUserPasswd;
    trunk.sHostAddr = fields.sHostAddr;
    trunk.sHostPort = fields.sHostPort;
    trunk.bActive = false;
    trunk.nLastError = 0;
    trunk.bNotifySuccess = true;
    ThreadMutexLock lock(m_mtxTrunksToMaster);
    m_vTrunksToMaster.push_back(trunk);
  }
  m_pLogger->TRACE(3, "MESS:SIP Trunk Agent: Send Register to: %s@%s:%s \n", account.sUserName.c_str(),
                   account.sHostAddr.c_str(), account.sHostPort.c_str());
  ChangeUserParams(CallParams(), account, false);
  m_pConfig->ChangeTrunkToMasterConfig(trunkName);
}

void CSIPTrunkAgent::SendUnregisterToMaster(std::string const& trunkName) {
  if (!m_bUAConnected) return;

  CSIPTrunkBase::STRegistrationFields fields;
  m_pConfig->GetTrunkToMasterParams(trunkName, fields, false);
  const CallParams account = AccountOf(fields, siptrunk::HostName());
  if (account.sUserName.empty()) return;

  m_pLogger->TRACE(3, "MESS:SIP Trunk Agent: Send UnRegister to: %s@%s:%s \n", account.sUserName.c_str(),
                   account.sHostAddr.c_str(), account.sHostPort.c_str());
  ChangeUserParams(account, CallParams(), false);
  m_pConfig->SetTrunkToMasterInActiveState(trunkName);

  const std::string text = "Unregistered user " + account.sUserName + " from master device " + account.sHostAddr +
                           ":" + account.sHostPort;
  RaiseNotification(notification::kSlaveSource, notification::kRegistration, text.c_str());
}

void CSIPTrunkAgent::EditTrunkToMaster(std::string const& oldName, std::string const& newName,
                                       bool const& paramsChanged) {
  m_pLogger->TRACE(3,
                   "MESS:SIP Trunk Agent: Edit trunk to Master Device :  #oldTrunkName : %s   #newTrunkName : %s  "
                   "ParamChanged : %s\n",
                   oldName.c_str(), newName.c_str(), paramsChanged ? "true" : "false");
  if (paramsChanged) {
    RemoveTrunkToMaster(oldName);
    SendUnregisterToMaster(newName);
    SendRegisterToMaster(newName);
    return;
  }
  ThreadMutexLock lock(m_mtxTrunksToMaster);
  for (auto& trunk : m_vTrunksToMaster) {
    if (trunk.sTrunkName == oldName) {
      trunk.sTrunkName = newName;
      break;
    }
  }
}

void CSIPTrunkAgent::DeleteTrunkToMaster(std::string const& trunkName) {
  m_pLogger->TRACE(3, "INFO: Delete SIP Trunk To Master #Name:  %s \n", trunkName.c_str());
  CallParams account;
  {
    ThreadMutexLock lock(m_mtxTrunksToMaster);
    auto it = std::find_if(m_vTrunksToMaster.begin(), m_vTrunksToMaster.end(),
                           [&](CSIPTrunkBase::STAccessibleSlave const& trunk) { return trunk.sTrunkName == trunkName; });
    if (it != m_vTrunksToMaster.end()) {
      account.sUserName = it->sUserName;
      account.sUserPasswd = it->sUserPasswd;
      account.sHostAddr = it->sHostAddr;
      account.sHostPort = it->sHostPort;
      m_vTrunksToMaster.erase(it);
    }
  }
  ChangeUserParams(account, CallParams(), false);
}
