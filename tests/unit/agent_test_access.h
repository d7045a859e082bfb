// Reaches into the agent for unit tests: its tables, flags and private
// operations. Reads take the table's own lock, as the agent's code does.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "agent/siptrunk_agent.h"

struct AgentTestAccess {
  using User = CSIPTrunkBase::STAccessibleUser;
  using Slave = CSIPTrunkBase::STRegistrationParam;
  using Trunk = CSIPTrunkBase::STAccessibleSlave;

  static std::vector<User> Users(CSIPTrunkAgent& a) {
    ThreadMutexLock lock(a.m_mtxAccessibleUsers);
    return a.m_vAccessibleUsers;
  }
  static std::vector<Slave> Slaves(CSIPTrunkAgent& a) {
    ThreadMutexLock lock(a.m_mtxRegisteredSlaves);
    return a.m_vRegisteredSlaves;
  }
  static std::vector<Trunk> Trunks(CSIPTrunkAgent& a) {
    ThreadMutexLock lock(a.m_mtxTrunksToMaster);
    return a.m_vTrunksToMaster;
  }
  static void SetUsers(CSIPTrunkAgent& a, std::vector<User> users) {
    ThreadMutexLock lock(a.m_mtxAccessibleUsers);
    a.m_vAccessibleUsers = std::move(users);
  }
  static void SetSlaves(CSIPTrunkAgent& a, std::vector<Slave> slaves) {
    ThreadMutexLock lock(a.m_mtxRegisteredSlaves);
    a.m_vRegisteredSlaves = std::move(slaves);
  }
  static void SetTrunks(CSIPTrunkAgent& a, std::vector<Trunk> trunks) {
    ThreadMutexLock lock(a.m_mtxTrunksToMaster);
    a.m_vTrunksToMaster = std::move(trunks);
  }

  static bool UaConnected(CSIPTrunkAgent& a) { return a.m_bUAConnected; }
  static bool MasterActive(CSIPTrunkAgent& a) { return a.m_bMasterActive; }
  static bool SlaveActive(CSIPTrunkAgent& a) { return a.m_bSlaveActive; }
  static void SetUaConnected(CSIPTrunkAgent& a, bool on) { a.m_bUAConnected = on; }
  static void SetMasterActive(CSIPTrunkAgent& a, bool on) { a.m_bMasterActive = on; }
  static void SetSlaveActive(CSIPTrunkAgent& a, bool on) { a.m_bSlaveActive = on; }  // fuzz/update_dispatch_fuzzer.cpp
  static void SetStopThreads(CSIPTrunkAgent& a) { a.m_bStopThreads = true; }
  static bool HasRegulator(CSIPTrunkAgent& a) {
    ThreadMutexLock lock(a.m_mtxRegisteredSlaves);
    return a.m_pArpnlHandle != nullptr;
  }
  // As the SIP listen thread's pass once the retry time has come.
  static void RetryStaleSlaves(CSIPTrunkAgent& a) {
    ThreadMutexLock lock(a.m_mtxRegisteredSlaves);
    a.RewriteStaleSlaves(true);
  }
  // As Start does for the regulator, without beginning threads.
  static void OpenRegulator(CSIPTrunkAgent& a) {
    ThreadMutexLock lock(a.m_mtxRegisteredSlaves);
    delete a.m_pArpnlHandle;
    a.m_pArpnlHandle = new ARPNL_HANDLE(-1);
    if (arpnl_open(a.m_pArpnlHandle) == -1) {
      delete a.m_pArpnlHandle;
      a.m_pArpnlHandle = nullptr;
    }
  }
  static void DropRegulator(CSIPTrunkAgent& a) {
    ThreadMutexLock lock(a.m_mtxRegisteredSlaves);
    delete a.m_pArpnlHandle;
    a.m_pArpnlHandle = nullptr;
  }

  static bool Update(CSIPTrunkAgent& a, std::list<std::string> items) { return a.OnUpdateMessage(117, items); }
  static void Regulate(CSIPTrunkAgent& a, const char* address, bool add) {
    ThreadMutexLock lock(a.m_mtxRegisteredSlaves);
    a.RegulateSlaveAddress(address, add);
  }
  static void AdmitAll(CSIPTrunkAgent& a) { a.AdmitRegisteredSlaves(); }
  static void RemoveTrunk(CSIPTrunkAgent& a, const std::string& name) { a.RemoveTrunkToMaster(name); }
  static size_t RemoveSlave(CSIPTrunkAgent& a, const Slave& key, bool* atEnd) {
    ThreadMutexLock lock(a.m_mtxRegisteredSlaves);
    auto it = a.RemoveRegisteredSlave(key);
    *atEnd = it == a.m_vRegisteredSlaves.end();
    return static_cast<size_t>(it - a.m_vRegisteredSlaves.begin());
  }
};
