// What the simulated user agent holds: the master list and the slave list as
// the agent last handed them over, and their JSON form for --state.
//
// Not thread-safe; siptrunk-uasim is single-threaded.
#pragma once

#include <string>
#include <vector>

#include "platform/link_codec.h"

namespace siptrunk {
namespace uasim {

struct HeldList {
  bool active = false;
  std::vector<CallParams> accounts;
};

class HeldAccounts {
 public:
  // Applies SET_USERS_LIST (replaces the list and its active state) and
  // CHANGE_USER_PARAMS (empty old: add; empty new: remove the first account
  // of the old user name; both: replace that account, or add the new one when
  // there is none). Other messages change nothing. True when it was one of
  // the two.
  bool Apply(const UaMessage& message);

  // Forgets both lists (the agent went away).
  void Clear();

  // The first account of the slave list with this user name, or nullptr.
  const CallParams* FindSlaveAccount(const std::string& user) const;

  // {"master":{"active":B,"accounts":[{"user","password","flags"}]},
  //  "slave":{"active":B,"accounts":[{"user","password","address","port","host"}]}}
  std::string ToJson() const;

 private:
  static void ApplyChange(HeldList* list, const CallParams& oldParams, const CallParams& newParams);

  HeldList m_master;
  HeldList m_slave;
};

// Writes `content` to `path` through a temporary file in the same directory
// and a rename, so readers see the old or the new content, never a part.
bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error);

}  // namespace uasim
}  // namespace siptrunk
