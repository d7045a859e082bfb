// The slave list: this device's trunks towards master devices, loaded from
// the store into m_vTrunksToMaster and handed to the user agent to be
// registered, or handed over as inactive when the slave role is switched off.
// Each operation holds one table lock at a time and releases it before the
// list goes to the user agent.
#include <algorithm>

#include "agent/siptrunk_agent.h"
#include "platform/logger.h"
#include "platform/siptrunk_config.h"
#include "platform/system.h"

namespace {

// Every record towards a master carries this device's name, as a single
// registration does (trunks_to_master.cpp), so that the master's trace names
// the device from the first registration on.
CallParams AccountOf(CSIPTrunkBase::STAccessibleSlave const& trunk, std::string const& hostName) {
  CallParams account;
  account.sUserName = trunk.sUserName;
  account.sUserPasswd = trunk.sUserPasswd;
  account.sHostAddr = trunk.sHostAddr;
  account.sHostPort = trunk.sHostPort;
  account.sHostName = hostName;
  return account;
}

}  // namespace

void CSIPTrunkAgent::ClearTrunksToMaster() {
  ThreadMutexLock lock(m_mtxTrunksToMaster);
  m_vTrunksToMaster.clear();
}

void CSIPTrunkAgent::RemoveTrunkToMaster(std::string const& trunkName) {
  ThreadMutexLock lock(m_mtxTrunksToMaster);
  auto it = std::find_if(m_vTrunksToMaster.begin(), m_vTrunksToMaster.end(),
                         [&](CSIPTrunkBase::STAccessibleSlave const& trunk) { return trunk.sTrunkName == trunkName; });
  if (it != m_vTrunksToMaster.end()) m_vTrunksToMaster.erase(it);
}

void CSIPTrunkAgent::LoadSlaveAccessibleUsersList() {
  m_pLogger->TRACE(3, "INFO:SIP Trunk:  Load slave accessible users list to register on master device...\n");
  std::list<CallParams> accounts;
  const std::string hostName = siptrunk::HostName();
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
      accounts.push_back(AccountOf(trunk, hostName));
      m_pConfig->ChangeTrunkToMasterConfig(trunk.sTrunkName);
    }
  }
  SetUsersList(accounts, true, false);
}

void CSIPTrunkAgent::SetInactiveTrunksToMasters() {
  m_pLogger->TRACE(3, "MESS:SIP Trunk Agent: Set InActive state all trunks to Master Devices..\n");
  std::list<CallParams> accounts;
  const std::string hostName = siptrunk::HostName();
  {
    ThreadMutexLock lock(m_mtxTrunksToMaster);
    for (auto const& trunk : m_vTrunksToMaster) {
      m_pLogger->TRACE(3,
                       "$$$$$$$  #TrunkName :  %s   #UserName : %s  #UserPasswd :  %s  #HostAddr :  %s  "
                       "#HostPort :  %s \n",
                       trunk.sTrunkName.c_str(), trunk.sUserName.c_str(), trunk.sUserPasswd.c_str(),
                       trunk.sHostAddr.c_str(), trunk.sHostPort.c_str());
      accounts.push_back(AccountOf(trunk, hostName));
      m_pConfig->SetTrunkToMasterInActiveState(trunk.sTrunkName);
    }
  }
  SetUsersList(accounts, false, false);
  ClearTrunksToMaster();
}
