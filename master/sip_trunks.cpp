// SIP trunks of the master role: add, edit, delete (CGI listen thread).
// m_mtxAccessibleUsers is held only while the trunk list is searched and
// changed and is released before the user agent is told; the registered
// slave of the previous account is dropped afterwards under its own lock.
#include "agent/siptrunk_agent.h"
#include "platform/logger.h"

namespace {

CallParams Account(std::string const& userName, std::string const& password, bool symmetricNat) {
  CallParams account;
  account.sUserName = userName;
  account.sUserPasswd = password;
  account.nFlags = symmetricNat ? CallParams::kFlagSymmetricNat : 0;
  return account;
}

}  // namespace

void CSIPTrunkAgent::AddSipTrunk(std::string const& trunkName, std::string const& userName,
                                 std::string const& password, bool const& symmetricNat) {
  m_pLogger->TRACE(3, "INFO: Add SIP Trunk  #Name: %s   #UserName: %s   #UserPswd: %s \n", trunkName.c_str(),
                   userName.c_str(), password.c_str());
  ChangeUserParams(CallParams(), Account(userName, password, symmetricNat), true);

  ThreadMutexLock lock(m_mtxAccessibleUsers);
  m_vAccessibleUsers.push_back(CSIPTrunkBase::STAccessibleUser{trunkName, userName, password});
}

void CSIPTrunkAgent::EditSipTrunk(std::string const& oldName, std::string const& newName,
                                  std::string const& userName, std::string const& password,
                                  bool const& symmetricNat, bool const& onlyNameChanged) {
  m_pLogger->TRACE(3,
                   "INFO: Edit SIP Trunk #oldName: %s  #newName: %s   #UserName: %s   #UserPswd: %s "
                   "#EnableSymmNAT: %s  #OnlyNameChanged : %s\n",
                   oldName.c_str(), newName.c_str(), userName.c_str(), password.c_str(),
                   symmetricNat ? "true" : "false", onlyNameChanged ? "true" : "false");
  std::string previousUser;
  std::string previousPassword;
  {
    ThreadMutexLock lock(m_mtxAccessibleUsers);
    for (auto& user : m_vAccessibleUsers) {
      if (user.sTrunkName == oldName) {
        previousUser = user.sUserName;
        previousPassword = user.sUserPasswd;
        user.sTrunkName = newName;
        if (!onlyNameChanged) {
          user.sUserName = userName;
          user.sUserPasswd = password;
        }
        break;
      }
    }
  }
  if (onlyNameChanged) return;

  ChangeUserParams(Account(previousUser, previousPassword, false), Account(userName, password, symmetricNat), true);
  DropFirstSlaveOfUser(previousUser);
}

void CSIPTrunkAgent::DeleteSipTrunk(std::string const& trunkName) {
  m_pLogger->TRACE(3, "INFO: Delete SIP Trunk  #Name:  %s \n", trunkName.c_str());
  std::string previousUser;
  std::string previousPassword;
  {
    ThreadMutexLock lock(m_mtxAccessibleUsers);
    for (auto it = m_vAccessibleUsers.begin(); it != m_vAccessibleUsers.end(); ++it) {
      if (it->sTrunkName == trunkName) {
        previousUser = it->sUserName;
        previousPassword = it->sUserPasswd;
        m_vAccessibleUsers.erase(it);
        break;
      }
    }
  }
  ChangeUserParams(Account(previousUser, previousPassword, false), CallParams(), true);
  DropFirstSlaveOfUser(previousUser);
}
