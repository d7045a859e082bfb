// The commands of siptrunkctl, each defined in the file of its concern.
#pragma once

#include "tools/siptrunkctl/ctl.h"

namespace siptrunk {
namespace ctl {

extern const Command kRolesShow;     // cmd_roles.cpp
extern const Command kRolesMaster;
extern const Command kRolesSlave;
extern const Command kTrunkAdd;      // cmd_trunk.cpp
extern const Command kTrunkRename;
extern const Command kTrunkEdit;
extern const Command kTrunkDelete;
extern const Command kMasterAdd;     // cmd_master.cpp
extern const Command kMasterEnable;
extern const Command kMasterDisable;
extern const Command kMasterEdit;
extern const Command kMasterDelete;
extern const Command kStop;          // cmd_raw.cpp
extern const Command kSend;
extern const Command kStatus;        // cmd_status.cpp
extern const Command kEvents;        // cmd_events.cpp

}  // namespace ctl
}  // namespace siptrunk
