// The four plain table operations.
#include <algorithm>

#include "agent/siptrunk_agent.h"
#include "registration/matching.h"

void CSIPTrunkAgent::ClearAccessibleUsers() {
  ThreadMutexLock lock(m_mtxAccessibleUsers);
  m_vAccessibleUsers.clear();
}

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
