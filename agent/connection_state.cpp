// The user agent's connection: the flag that says the lists of this
// connection are (being) loaded, and the per-connection load itself.
// Everything here runs on the SIP listen thread.
#include "agent/siptrunk_agent.h"
#include "platform/logger.h"
#include "platform/siptrunk_config.h"

bool CSIPTrunkAgent::OnPartyStateChanged(bool const& connected) {
  m_pLogger->TRACE(3, "INFO:SIP Trunk Agent: SIP user agent %s ...\n", connected ? "connected" : "disconnected");
  // A connection alone loads nothing: the load waits for OnSetUsersList.
  if (!connected) m_bUAConnected = false;
  return true;
}

bool CSIPTrunkAgent::OnSetUsersList() {
  m_pLogger->TRACE(3, "INFO:SIP Trunk Agent: OnSetUsersList: SIP user agent connected ...\n");
  InitUsersLists();
  return true;
}

bool CSIPTrunkAgent::InitUsersLists() {
  if (m_bUAConnected) return true;  // this connection's lists are loaded already
  // Set before the loads: Start may return and the slave role's register and
  // unregister operations may run while the loads below are in progress.
  m_bUAConnected = true;

  IsMasterDevice();
  IsSlaveDevice();

  if (m_bMasterActive) {
    LoadMasterAccessibleUsersList();
    LoadRegisteredSlaves();
  }
  if (m_bSlaveActive) LoadSlaveAccessibleUsersList();
  return true;
}

bool CSIPTrunkAgent::IsMasterDevice() {
  CSIPTrunkBase::STAgentStates states;
  m_pConfig->GetSIPTrunkAgentStates(states);
  m_bMasterActive = states.bMasterEnabled;
  return states.bMasterEnabled;
}

bool CSIPTrunkAgent::IsSlaveDevice() {
  CSIPTrunkBase::STAgentStates states;
  m_pConfig->GetSIPTrunkAgentStates(states);
  m_bSlaveActive = states.bSlaveEnabled;
  return states.bSlaveEnabled;
}
