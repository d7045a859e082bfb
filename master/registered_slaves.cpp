// The master role's registered slaves: the table, the store and the
// LAN-traffic regulator kept in step. Every caller holds m_mtxRegisteredSlaves
// (ChangeSlaveAddress takes it again: the lock is recursive), but the load and
// the SIP listen thread's retry, which take it themselves.
#include <algorithm>
#include <chrono>

#include "agent/siptrunk_agent.h"
#include "platform/logger.h"
#include "platform/siptrunk_config.h"
#include "model/matching.h"

void CSIPTrunkAgent::RegisterSlave(CSIPTrunkBase::STRegistrationParam const& param) {
  m_pConfig->SetRegisterParam(param, false);
  m_vRegisteredSlaves.push_back(param);
  NoteSlaveWrite(nullptr);
  RewriteStaleSlaves(false);
  RegulateSlaveAddress(param.sHostAddr.c_str(), true);
}

// The entry of `param` is still in the table here (callers remove it after):
// its address stays admitted while another registration uses it too (two
// trunks of one slave device, or two ports).
void CSIPTrunkAgent::UnregisterSlave(CSIPTrunkBase::STRegistrationParam const& param) {
  if (RegistrationsAt(param.sHostAddr) <= 1) RegulateSlaveAddress(param.sHostAddr.c_str(), false);
  m_pConfig->SetUnregisterParam(param);
  NoteSlaveWrite(&param);  // the store catches up after RemoveRegisteredSlave
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
    NoteSlaveWrite(&oldParam);
    RewriteStaleSlaves(false);
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
  it = m_vRegisteredSlaves.erase(it);
  RewriteStaleSlaves(false);  // changes the store only: `it` stays valid
  return it;
}

void CSIPTrunkAgent::NoteSlaveWrite(CSIPTrunkBase::STRegistrationParam const* removed) {
  if (!m_pConfig->LastRegisteredSlaveWriteFailed()) {
    m_bSlavesRewriteNow = m_bSlavesStale;  // the store takes writes again
    return;
  }
  if (removed != nullptr) m_vSlavesToForget.push_back(*removed);
  if (!m_bSlavesStale) {
    m_pLogger->TRACE(3, "ERROR:SIP Trunk Agent: Registered slaves not written to the store; writing them again "
                        "once it takes writes\n");
    m_bSlavesStale = true;
  }
  m_bSlavesRewriteNow = false;
  m_slavesRetryAt = std::chrono::steady_clock::now() + std::chrono::seconds(kSlavesRetrySeconds);
}

// Writes the whole table when the store lags behind it and a rewrite is due:
// `force`, a write succeeded since the failure, or the retry time has come.
// A rewrite that fails is tried again no sooner than kSlavesRetrySeconds
// later, quietly.
void CSIPTrunkAgent::RewriteStaleSlaves(bool force) {
  if (!m_bSlavesStale) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && !m_bSlavesRewriteNow && now < m_slavesRetryAt) return;
  m_bSlavesRewriteNow = false;
  if (!m_pConfig->WriteRegisteredSlaves(m_vRegisteredSlaves, m_vSlavesToForget)) {
    m_slavesRetryAt = now + std::chrono::seconds(kSlavesRetrySeconds);
    return;
  }
  m_vSlavesToForget.clear();
  m_bSlavesStale = false;
  m_pLogger->TRACE(3, "INFO:SIP Trunk Agent: Registered slaves written to the store again\n");
}

void CSIPTrunkAgent::RetryStaleSlaves() {
  ThreadMutexLock lock(m_mtxRegisteredSlaves);
  RewriteStaleSlaves(false);
}

void CSIPTrunkAgent::LoadRegisteredSlaves() {
  {
    ThreadMutexLock lock(m_mtxRegisteredSlaves);
    RewriteStaleSlaves(true);
    const size_t loaded = m_vRegisteredSlaves.size();
    m_pConfig->InitRegisterSlaveList(m_vRegisteredSlaves);
    // While the store still lags, a row whose removal failed is no registration: it does not come back.
    const Slaves forget = m_vSlavesToForget;
    auto forgotten = [&forget](CSIPTrunkBase::STRegistrationParam const& entry) {
      return std::any_of(forget.begin(), forget.end(),
                         [&](CSIPTrunkBase::STRegistrationParam const& key) { return SameRegistration(entry, key); });
    };
    m_vRegisteredSlaves.erase(
        std::remove_if(m_vRegisteredSlaves.begin() + static_cast<std::ptrdiff_t>(loaded), m_vRegisteredSlaves.end(),
                       forgotten),
        m_vRegisteredSlaves.end());
  }
  AdmitRegisteredSlaves();
}
