#include "ua/bindings.h"

namespace siptrunk {
namespace ua {

void Bindings::Stored::Set(const Binding& b) {
  contact.assign(b.contact);
  hostName.assign(b.hostName);
  addr.assign(b.addr);
  port = b.port;
  expiresAt = b.expiresAt;
}

Binding Bindings::Stored::Get(const std::string& user) const {
  Binding b;
  b.user = user;
  b.contact.assign(contact);
  b.hostName.assign(hostName);
  b.addr.assign(addr);
  b.port = port;
  b.expiresAt = expiresAt;
  return b;
}

bool Bindings::Upsert(const Binding& b) {
  m_changed.insert(b.user);
  auto it = m_byUser.find(std::string_view(b.user));
  if (it == m_byUser.end()) {
    m_byUser.emplace(std::pmr::string(b.user, &m_pool), Stored(&m_pool)).first->second.Set(b);
    return true;
  }
  const Stored& old = it->second;
  using V = std::string_view;
  const bool changed = V(old.contact) != b.contact || V(old.hostName) != b.hostName || V(old.addr) != b.addr ||
                       old.port != b.port;
  it->second.Set(b);
  return changed;
}

bool Bindings::Remove(const std::string& user) {
  auto it = m_byUser.find(std::string_view(user));
  if (it == m_byUser.end()) return false;
  m_byUser.erase(it);
  m_changed.insert(user);
  return true;
}

std::optional<Binding> Bindings::Find(const std::string& user) const {
  auto it = m_byUser.find(std::string_view(user));
  if (it == m_byUser.end()) return std::nullopt;
  return it->second.Get(user);
}

std::vector<Binding> Bindings::Due(uint64_t now) const {
  std::vector<Binding> out;
  for (const auto& kv : m_byUser) {
    if (kv.second.expiresAt <= now) out.push_back(kv.second.Get(std::string(kv.first)));
  }
  return out;
}

std::vector<Binding> Bindings::All() const {
  std::vector<Binding> out;
  for (const auto& kv : m_byUser) out.push_back(kv.second.Get(std::string(kv.first)));
  return out;
}

void Bindings::Restore(const std::vector<Binding>& loaded) {
  for (const Binding& b : loaded) {
    m_byUser.try_emplace(std::pmr::string(b.user, &m_pool), Stored(&m_pool)).first->second.Set(b);
  }
}

std::vector<std::string> Bindings::TakeChanged() {
  std::vector<std::string> out(m_changed.begin(), m_changed.end());
  m_changed.clear();
  return out;
}

}  // namespace ua
}  // namespace siptrunk
