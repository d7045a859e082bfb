// The registrar's bindings: one per account of the master list (one slave
// device registers one trunk), with where it registered from and when it
// ends. All binding state lives here; every change marks the account, so that
// BindingStore can write exactly what changed (ua/binding_store.h).
//
// Owned and used by the event-loop thread only; no locks.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace siptrunk {
namespace ua {

struct Binding {
  std::string user;       // the account (To user)
  std::string contact;    // the Contact URI the device registered
  std::string hostName;   // the device's name, from the From display name
  std::string addr;       // source address of the REGISTER as received
  uint16_t port = 0;      // source port as received
  uint64_t expiresAt = 0; // steady-clock seconds; 0: ended, not yet confirmed so
};

class Bindings {
 public:
  // Adds or refreshes the binding of b.user; true when it is new or its
  // device, address, port or contact changed.
  bool Upsert(const Binding& b);
  // Removes the binding of `user`; true when there was one.
  bool Remove(const std::string& user);
  const Binding* Find(const std::string& user) const;
  // Every binding whose expiry is at or before `now`.
  std::vector<Binding> Due(uint64_t now) const;
  std::vector<Binding> All() const;
  size_t size() const { return m_byUser.size(); }

  // Bindings read back from disk: not marked as changed.
  void Restore(const std::vector<Binding>& loaded);
  // The accounts whose binding changed since the last call.
  std::vector<std::string> TakeChanged();

 private:
  std::map<std::string, Binding> m_byUser;
  std::set<std::string> m_changed;
};

}  // namespace ua
}  // namespace siptrunk
