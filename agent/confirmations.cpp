// Registration confirmations from the user agent (SIP listen thread): each
// goes to its role, the master side (master/slave_registration.cpp) or the
// slave side (slave/registration_on_master.cpp); the sync of their store
// writes after each run of them; and the one way both raise notifications to
// the event manager. The dispatch and the notifications hold no lock.
#include "agent/siptrunk_agent.h"
#include "platform/mm_event.h"
#include "platform/siptrunk_config.h"

bool CSIPTrunkAgent::OnConfirmUserState(CallParams const& account, bool registered, unsigned int error,
                                        bool masterList) {
  if (masterList) {
    ConfirmSlaveRegistration(account, registered, error);
  } else {
    ConfirmTrunkToMaster(account, registered, error);
  }
  return true;
}

// A burst of registrations costs one disk sync, not one each; the user
// agent has every binding on disk before it confirms it, and confirms them
// all again when it reconnects, so the sync may follow the announcement.
void CSIPTrunkAgent::OnPacketsHandled() {
  ThreadMutexLock lock(m_mtxRegisteredSlaves);
  if (!m_pConfig->SyncRegisteredSlaves()) NoteSlaveWrite(nullptr);
}

void CSIPTrunkAgent::RaiseNotification(char const* source, char const* kind, char const* text) {
  MMEvent event;
  if (event.Register(source, kind) == 0) return;
  event.Raise(text, nullptr, nullptr);
}
