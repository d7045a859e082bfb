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

// The entry of `param` is still in the table here (callers remove it after):
// its address stays admitted while another registration uses it too (two
// trunks of one slave device, or two ports).
void CSIPTrunkAgent::UnregisterSlave(CSIPTrunkBase::STRegistrationParam const& param) {
  if (RegistrationsAt(param.sHostAddr) <= 1) RegulateSlaveAddress(param.sHostAddr.c_str(), false);
  m_pConfig->SetUnregisterParam(param);
}

size_t CSIPTrunkAgent::RegistrationsAt(std::string const& address) const {
  return static_cast<size_t>(std::count_if(
      m_vRegisteredSlaves.begin(), m_vRegisteredSlaves.end(),
      [&](CSIPTrunkBase::STRegistrationParam const& entry) { return entry.sHostAddr == address; }));
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
    // The entries have moved already: the old address leaves only when no
    // other registration still uses it.
    if (oldParam.sHostAddr != newParam.sHostAddr && RegistrationsAt(oldParam.sHostAddr) == 0) {
      RegulateSlaveAddress(oldParam.sHostAddr.c_str(), false);
    }
    RegulateSlaveAddress(newParam.sHostAddr.c_str(), true);
  }
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
