// The trunk and registration records that the agent keeps in its tables and
// exchanges with the configuration store. Plain value types in one name scope:
// no behaviour, no invariants, every string a byte string compared exactly.
#pragma once

#include <cstdint>
#include <string>

struct CSIPTrunkBase {
  // One SIP trunk of the master role: slave devices register with its account.
  struct STAccessibleUser {
    std::string sTrunkName;
    std::string sUserName;
    std::string sUserPasswd;
  };

  // One slave device registered on this master.
  struct STRegistrationParam {
    std::string sUserName;
    std::string sUserPasswd;
    std::string sHostAddr;  // dotted IPv4 text
    std::string sHostPort;  // decimal text
  };

  // The registration target of one trunk towards a master, as the store has it.
  struct STRegistrationFields {
    std::string sUserName;
    std::string sUserPasswd;
    std::string sHostAddr;
    std::string sHostPort;
  };

  // One trunk of the slave role towards a master device.
  struct STAccessibleSlave {
    std::string sTrunkName;
    std::string sUserName;
    std::string sUserPasswd;
    std::string sHostAddr;
    std::string sHostPort;
    bool bActive = false;         // a registration was confirmed without error; never cleared
    uint32_t nLastError = 0;      // code of the last notified outcome; 0 is success
    bool bNotifySuccess = false;  // the next error-free confirmation announces the recovery
  };

  // The roles that the configuration enables.
  struct STAgentStates {
    bool bSlaveEnabled = false;
    bool bMasterEnabled = false;
  };
};
