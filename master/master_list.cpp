// The master list: the SIP trunks on which slave devices register, loaded
// from the store into m_vAccessibleUsers and handed to the user agent as
// active, or handed over as inactive (and every registered slave dropped)
// when the master role is switched off. Each operation holds one table lock
// at a time and releases it before the list goes to the user agent.
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

}  // namespace

void CSIPTrunkAgent::ClearAccessibleUsers() {
  ThreadMutexLock lock(m_mtxAccessibleUsers);
  m_vAccessibleUsers.clear();
}

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
