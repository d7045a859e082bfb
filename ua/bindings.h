// The registrar's bindings: one per account of the master list (one slave
// device registers one trunk), with where it registered from and when it
// ends. All binding state lives here, so that it can be made persistent
// without touching the SIP handling.
//
// Owned and used by the event-loop thread only; no locks.
#pragma once

#include <cstdint>
#include <map>
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
  uint64_t expiresAt = 0; // steady-clock seconds
};

class Bindings {
 public:
  // Adds or refreshes the binding of b.user; true when it is new or its
  // device, address, port or contact changed.
  bool Upsert(const Binding& b);
  // Removes the binding of `user`; true when there was one.
  bool Remove(const std::string& user);
  const Binding* Find(const std::string& user) const;
  // Removes and returns every binding whose expiry is at or before `now`.
  std::vector<Binding> TakeExpired(uint64_t now);
  std::vector<Binding> All() const;
  size_t size() const { return m_byUser.size(); }

 private:
  std::map<std::string, Binding> m_byUser;
};

}  // namespace ua
}  // namespace siptrunk
