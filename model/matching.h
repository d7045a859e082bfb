// The matching rules of the registered-slaves table. Every comparison is exact
// byte equality: case-sensitive, no trimming; an empty key equals only an
// empty field. Lookups take the first match in table order.
#pragma once

#include "model/records.h"

// Same registration: user, address and port (the password is not compared).
inline bool SameRegistration(CSIPTrunkBase::STRegistrationParam const& a,
                             CSIPTrunkBase::STRegistrationParam const& b) {
  return a.sUserName == b.sUserName && a.sHostAddr == b.sHostAddr && a.sHostPort == b.sHostPort;
}

// Same account: user and password.
inline bool SameAccount(CSIPTrunkBase::STRegistrationParam const& a, CSIPTrunkBase::STRegistrationParam const& b) {
  return a.sUserName == b.sUserName && a.sUserPasswd == b.sUserPasswd;
}
