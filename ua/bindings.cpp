#include "ua/bindings.h"

namespace siptrunk {
namespace ua {

bool Bindings::Upsert(const Binding& b) {
  m_changed.insert(b.user);
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

bool Bindings::Remove(const std::string& user) {
  if (m_byUser.erase(user) == 0) return false;
  m_changed.insert(user);
  return true;
}

const Binding* Bindings::Find(const std::string& user) const {
  auto it = m_byUser.find(user);
  return it == m_byUser.end() ? nullptr : &it->second;
}

std::vector<Binding> Bindings::Due(uint64_t now) const {
  std::vector<Binding> out;
  for (const auto& kv : m_byUser) {
    if (kv.second.expiresAt <= now) out.push_back(kv.second);
  }
  return out;
}

std::vector<Binding> Bindings::All() const {
  std::vector<Binding> out;
  for (const auto& kv : m_byUser) out.push_back(kv.second);
  return out;
}

void Bindings::Restore(const std::vector<Binding>& loaded) {
  for (const Binding& b : loaded) m_byUser[b.user] = b;
}

std::vector<std::string> Bindings::TakeChanged() {
  std::vector<std::string> out(m_changed.begin(), m_changed.end());
  m_changed.clear();
  return out;
}

}  // namespace ua
}  // namespace siptrunk
