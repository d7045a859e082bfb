// Whole account lists for the user agent: a role's table loaded from the
// store and handed over as active, or handed over as inactive when the role
// is switched off. Each operation holds one table lock at a time and releases
// it before the list goes to the user agent.
#include "agent/siptrunk_agent.h"
#include "platform/logger.h"
#include "platform/siptrunk_config.h"

namespace {

CallParams AccountOf(CSIPTrunkBase::STAccessibleUser const& user) {
  CallParams account;
  account.sUserName = user.sUserName;
  account.sUserPasswd = user.sUserPasswd;
  return account;
}

CallParams AccountOf(CSIPTrunkBase::STAccessibleSlave const& trunk) {
  CallParams account;
  account.sUserName = trunk.sUserName;
  account.sUserPasswd = trunk.sUserPasswd;
  account.sHostAddr = trunk.sHostAddr;
  account.sHostPort = trunk.sHostPort;
  return account;
}

}  // namespace

void CSIPTrunkAgent::LoadMasterAccessibleUsersList() {
  m_pLogger->TRACE(3, "INFO:SIP Trunk:  Load master accessible users list...\n");
  std::list<CallParams> accounts;
  {
    ThreadMutexLock lock(m_mtxAccessibleUsers);
    ClearAccessibleUsers();
    m_pConfig->GetMasterAccesibleUsersList(m_vAccessibleUsers);
    for (auto const& user : m_vAccessibleUsers) {
      m_pLogger->TRACE(3, "#UserName : %s \n", user.sUserName.c_str());
      accounts.push_back(AccountOf(user));
    }
  }
  SetUsersList(accounts, true, true);
}

void CSIPTrunkAgent::LoadSlaveAccessibleUsersList() {
  m_pLogger->TRACE(3, "INFO:SIP Trunk:  Load slave accessible users list to register on master device...\n");
  std::list<CallParams> accounts;
  {
    ThreadMutexLock lock(m_mtxTrunksToMaster);
    ClearTrunksToMaster();
    m_pConfig->GetSlaveAccesibleUsersList(m_vTrunksToMaster);
    for (auto const& trunk : m_vTrunksToMaster) {
      m_pLogger->TRACE(3,
                       " !!!!!!! #TrunkName :  %s   #UserName : %s  #UserPasswd :  %s  #HostAddr :  %s  "
                       "#HostPort :  %s \n",
                       trunk.sTrunkName.c_str(), trunk.sUserName.c_str(), trunk.sUserPasswd.c_str(),
                       trunk.sHostAddr.c_str(), trunk.sHostPort.c_str());
      accounts.push_back(AccountOf(trunk));
      m_pConfig->ChangeTrunkToMasterConfig(trunk.sTrunkName);
    }
  }
  SetUsersList(accounts, true, false);
}

void CSIPTrunkAgent::SetInactiveTrunksToMasters() {
  m_pLogger->TRACE(3, "MESS:SIP Trunk Agent: Set InActive state all trunks to Master Devices..\n");
  std::list<CallParams> accounts;
  {
    ThreadMutexLock lock(m_mtxTrunksToMaster);
    for (auto const& trunk : m_vTrunksToMaster) {
      m_pLogger->TRACE(3,
                       "$$$$$$$  #TrunkName :  %s   #UserName : %s  #UserPasswd :  %s  #HostAddr :  %s  "
                       "#HostPort :  %s \n",
                       trunk.sTrunkName.c_str(), trunk.sUserName.c_str(), trunk.sUserPasswd.c_str(),
                       trunk.sHostAddr.c_str(), trunk.sHostPort.c_str());
      accounts.push_back(AccountOf(trunk));
      m_pConfig->SetTrunkToMasterInActiveState(trunk.sTrunkName);
    }
  }
  SetUsersList(accounts, false, false);
  ClearTrunksToMaster();
}

void CSIPTrunkAgent::SetInactiveTrunksToSlaves() {
  m_pLogger->TRACE(3, "INFO:SIP Trunk Agent: Set InActive state all trunks to Slave Devices...\n");
  std::list<CallParams> accounts;
  {
    ThreadMutexLock lock(m_mtxAccessibleUsers);
    for (auto const& user : m_vAccessibleUsers) accounts.push_back(AccountOf(user));
  }
  SetUsersList(accounts, false, true);

  ThreadMutexLock lock(m_mtxRegisteredSlaves);
  while (!m_vRegisteredSlaves.empty()) {
    // A copy: the entry itself goes away in RemoveRegisteredSlave.
    const CSIPTrunkBase::STRegistrationParam first = m_vRegisteredSlaves.front();
    UnregisterSlave(first);
    RemoveRegisteredSlave(first);
  }
  // m_vAccessibleUsers keeps its entries; the next load clears it first.
}
