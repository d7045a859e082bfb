#include "tools/uasim/held_accounts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/siptrunkctl/text_format.h"

namespace siptrunk {
namespace uasim {

using tools::JsonString;

bool HeldAccounts::Apply(const UaMessage& message) {
  HeldList* list = message.masterList ? &m_master : &m_slave;
  if (message.type == UaMessageType::kSetUsersList) {
    list->active = message.active;
    list->accounts = message.list;
    return true;
  }
  if (message.type == UaMessageType::kChangeUserParams) {
    ApplyChange(list, message.oldParams, message.newParams);
    return true;
  }
  return false;
}

void HeldAccounts::ApplyChange(HeldList* list, const CallParams& oldParams, const CallParams& newParams) {
  const CallParams empty;
  const bool hasOld = oldParams != empty;
  const bool hasNew = newParams != empty;
  auto found = list->accounts.end();
  if (hasOld) {
    for (auto it = list->accounts.begin(); it != list->accounts.end(); ++it) {
      if (it->sUserName == oldParams.sUserName) {
        found = it;
        break;
      }
    }
  }
  if (hasOld && hasNew) {
    if (found != list->accounts.end()) {
      *found = newParams;
    } else {
      list->accounts.push_back(newParams);
    }
  } else if (hasOld) {
    if (found != list->accounts.end()) list->accounts.erase(found);
  } else if (hasNew) {
    list->accounts.push_back(newParams);
  }
}

void HeldAccounts::Clear() {
  m_master = HeldList();
  m_slave = HeldList();
}

const CallParams* HeldAccounts::FindSlaveAccount(const std::string& user) const {
  for (const auto& account : m_slave.accounts) {
    if (account.sUserName == user) return &account;
  }
  return nullptr;
}

std::string HeldAccounts::ToJson() const {
  std::string out = "{\"master\":{\"active\":";
  out += m_master.active ? "true" : "false";
  out += ",\"accounts\":[";
  for (size_t i = 0; i < m_master.accounts.size(); ++i) {
    const auto& a = m_master.accounts[i];
    if (i > 0) out += ',';
    out += "{\"user\":" + JsonString(a.sUserName) + ",\"password\":" + JsonString(a.sUserPasswd) +
           ",\"flags\":" + std::to_string(a.nFlags) + "}";
  }
  out += "]},\"slave\":{\"active\":";
  out += m_slave.active ? "true" : "false";
  out += ",\"accounts\":[";
  for (size_t i = 0; i < m_slave.accounts.size(); ++i) {
    const auto& a = m_slave.accounts[i];
    if (i > 0) out += ',';
    out += "{\"user\":" + JsonString(a.sUserName) + ",\"password\":" + JsonString(a.sUserPasswd) +
           ",\"address\":" + JsonString(a.sHostAddr) + ",\"port\":" + JsonString(a.sHostPort) +
           ",\"host\":" + JsonString(a.sHostName) + "}";
  }
  out += "]}}\n";
  return out;
}

bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error) {
  const std::string temp = path + ".tmp." + std::to_string(getpid());
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "cannot write " + temp + ": " + std::strerror(errno);
      close(fd);
      unlink(temp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot replace " + path + ": " + std::strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace uasim
}  // namespace siptrunk
