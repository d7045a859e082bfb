#include "ua/bindings.h"

namespace siptrunk {
namespace ua {

bool Bindings::Upsert(const Binding& b) {
  auto it = m_byUser.find(b.user);
  if (it == m_byUser.end()) {
    m_byUser.emplace(b.user, b);
    return true;
  }
  const Binding& old = it->second;
  const bool changed = old.contact != b.contact || old.hostName != b.hostName || old.addr != b.addr ||
                       old.port != b.port;
  it->second = b;
  return changed;
}

bool Bindings::Remove(const std::string& user) { return m_byUser.erase(user) > 0; }

const Binding* Bindings::Find(const std::string& user) const {
  auto it = m_byUser.find(user);
  return it == m_byUser.end() ? nullptr : &it->second;
}

std::vector<Binding> Bindings::TakeExpired(uint64_t now) {
  std::vector<Binding> out;
  for (auto it = m_byUser.begin(); it != m_byUser.end();) {
    if (it->second.expiresAt <= now) {
      out.push_back(it->second);
      it = m_byUser.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

std::vector<Binding> Bindings::All() const {
  std::vector<Binding> out;
  for (const auto& kv : m_byUser) out.push_back(kv.second);
  return out;
}

}  // namespace ua
}  // namespace siptrunk
