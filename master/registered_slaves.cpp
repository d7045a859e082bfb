// The master role's registered slaves: the table, the store and the
// LAN-traffic regulator kept in step. Every caller holds m_mtxRegisteredSlaves
// (ChangeSlaveAddress takes it again: the lock is recursive).
#include <algorithm>

#include "agent/siptrunk_agent.h"
#include "platform/logger.h"
#include "platform/siptrunk_config.h"
#include "model/matching.h"

void CSIPTrunkAgent::RegisterSlave(CSIPTrunkBase::STRegistrationParam const& param) {
  m_pConfig->SetRegisterParam(param, false);
  m_vRegisteredSlaves.push_back(param);
  RegulateSlaveAddress(param.sHostAddr.c_str(), true);
}

void CSIPTrunkAgent::UnregisterSlave(CSIPTrunkBase::STRegistrationParam const& param) {
  RegulateSlaveAddress(param.sHostAddr.c_str(), false);
  m_pConfig->SetUnregisterParam(param);
}

void CSIPTrunkAgent::ChangeSlaveAddress(CSIPTrunkBase::STRegistrationParam const& oldParam,
                                        CSIPTrunkBase::STRegistrationParam const& newParam) {
  m_pLogger->TRACE(3, "INFO:SIP Trunk Agent: Change slave address.. \n");
  m_pConfig->ChangeRegisterParam(oldParam, newParam);
  {
    ThreadMutexLock lock(m_mtxRegisteredSlaves);
    for (auto& entry : m_vRegisteredSlaves) {
      if (SameRegistration(entry, oldParam)) {
        entry.sHostAddr = newParam.sHostAddr;
        entry.sHostPort = newParam.sHostPort;
      }
    }
  }
  RegulateSlaveAddress(oldParam.sHostAddr.c_str(), false);
  RegulateSlaveAddress(newParam.sHostAddr.c_str(), true);
}

// A SIP trunk was edited or deleted: the first slave registered with its
// previous user name leaves the regulator, the store and the table. Further
// slaves of the same account stay.
void CSIPTrunkAgent::DropFirstSlaveOfUser(std::string const& userName) {
  ThreadMutexLock lock(m_mtxRegisteredSlaves);
  for (auto const& entry : m_vRegisteredSlaves) {
    if (entry.sUserName == userName) {
      const CSIPTrunkBase::STRegistrationParam slave = entry;
      UnregisterSlave(slave);
      RemoveRegisteredSlave(slave);
      return;
    }
  }
}

// The caller holds m_mtxRegisteredSlaves. `param` may be an entry of the
// table itself: the key is copied before anything is removed.
CSIPTrunkAgent::Slaves::iterator CSIPTrunkAgent::RemoveRegisteredSlave(
    CSIPTrunkBase::STRegistrationParam const& param) {
  const CSIPTrunkBase::STRegistrationParam key = param;
  auto it = std::find_if(m_vRegisteredSlaves.begin(), m_vRegisteredSlaves.end(),
                         [&](CSIPTrunkBase::STRegistrationParam const& entry) { return SameRegistration(entry, key); });
  if (it == m_vRegisteredSlaves.end()) return it;
  return m_vRegisteredSlaves.erase(it);
}
