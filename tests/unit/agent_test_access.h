// Reaches into the agent for unit tests: its tables, flags and private
// operations. Reads and writes of a table take its own lock, as the agent's code does.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "agent/siptrunk_agent.h"

struct AgentTestAccess {
  using User = CSIPTrunkBase::STAccessibleUser;
  using Slave = CSIPTrunkBase::STRegistrationParam;
  using Trunk = CSIPTrunkBase::STAccessibleSlave;
  using A = CSIPTrunkAgent;

  // Name() reads a table and SetName() replaces it, each under the table's own lock.
#define SIPTRUNK_TABLE(Name, Type, mutex, member)                                     \
  static std::vector<Type> Name(A& a) { ThreadMutexLock l(a.mutex); return a.member; } \
  static void Set##Name(A& a, std::vector<Type> v) { ThreadMutexLock l(a.mutex); a.member = std::move(v); }
  SIPTRUNK_TABLE(Users, User, m_mtxAccessibleUsers, m_vAccessibleUsers)
  SIPTRUNK_TABLE(Slaves, Slave, m_mtxRegisteredSlaves, m_vRegisteredSlaves)
  SIPTRUNK_TABLE(Trunks, Trunk, m_mtxTrunksToMaster, m_vTrunksToMaster)
#undef SIPTRUNK_TABLE

  static bool UaConnected(A& a) { return a.m_bUAConnected; }
  static bool MasterActive(A& a) { return a.m_bMasterActive; }
  static bool SlaveActive(A& a) { return a.m_bSlaveActive; }
  static void SetUaConnected(A& a, bool on) { a.m_bUAConnected = on; }
  static void SetMasterActive(A& a, bool on) { a.m_bMasterActive = on; }
  // As the SIP listen thread's pass once the retry time has come.
  static void RetryStaleSlaves(A& a) {
    ThreadMutexLock lock(a.m_mtxRegisteredSlaves);
    a.RewriteStaleSlaves(true);
  }
  // As Start does for the regulator, without beginning threads.
  static void OpenRegulator(A& a) {
    ThreadMutexLock lock(a.m_mtxRegisteredSlaves);
    delete a.m_pArpnlHandle;
    a.m_pArpnlHandle = new ARPNL_HANDLE(-1);
    if (arpnl_open(a.m_pArpnlHandle) == -1) {
      delete a.m_pArpnlHandle;
      a.m_pArpnlHandle = nullptr;
    }
  }

  static bool Update(A& a, std::list<std::string> items) { return a.OnUpdateMessage(117, items); }
  static void Regulate(A& a, const char* address, bool add) {
    ThreadMutexLock lock(a.m_mtxRegisteredSlaves);
    a.RegulateSlaveAddress(address, add);
  }
};
