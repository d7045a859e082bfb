// Registration confirmations from the user agent (SIP listen thread): each
// goes to its role, the master side (master/slave_registration.cpp) or the
// slave side (slave/registration_on_master.cpp); and the one way both raise
// notifications to the event manager. No lock is held here.
#include "agent/siptrunk_agent.h"
#include "platform/mm_event.h"

bool CSIPTrunkAgent::OnConfirmUserState(CallParams const& account, bool registered, unsigned int error,
                                        bool masterList) {
  if (masterList) {
    ConfirmSlaveRegistration(account, registered, error);
  } else {
    ConfirmTrunkToMaster(account, registered, error);
  }
  return true;
}

void CSIPTrunkAgent::RaiseNotification(char const* source, char const* kind, char const* text) {
  MMEvent event;
  if (event.Register(source, kind) == 0) return;
  event.Raise(text, nullptr, nullptr);
}
