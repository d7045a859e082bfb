// The registrar's bindings: one per account of the master list (one slave
// device registers one trunk), with where it registered from and when it
// ends. All binding state lives here; every change marks the account, so that
// BindingStore can write exactly what changed (ua/binding_store.h). The
// bindings are kept in a pool of their own (ua/long_lived.h), out of the heap
// the SIP stack's transactions come and go in.
//
// Owned and used by the event-loop thread only; no locks.
#pragma once

#include <cstdint>
#include <map>
#include <memory_resource>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ua/long_lived.h"

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
  std::optional<Binding> Find(const std::string& user) const;
  // Every binding whose expiry is at or before `now`.
  std::vector<Binding> Due(uint64_t now) const;
  std::vector<Binding> All() const;
  size_t size() const { return m_byUser.size(); }

  // Bindings read back from disk: not marked as changed.
  void Restore(const std::vector<Binding>& loaded);
  // The accounts whose binding changed since the last call.
  std::vector<std::string> TakeChanged();
  size_t ChangedCount() const { return m_changed.size(); }

 private:
  // Binding with its text in the pool.
  struct Stored {
    explicit Stored(std::pmr::memory_resource* pool) : contact(pool), hostName(pool), addr(pool) {}
    void Set(const Binding& b);
    Binding Get(const std::string& user) const;
    std::pmr::string contact, hostName, addr;
    uint16_t port = 0;
    uint64_t expiresAt = 0;
  };

  LongLivedPool m_pool;  // before the map, which it outlives
  std::pmr::map<std::pmr::string, Stored, std::less<>> m_byUser{&m_pool};
  std::set<std::string> m_changed;
};

}  // namespace ua
}  // namespace siptrunk
