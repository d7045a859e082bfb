// master: the trunks of the slave role towards master devices (update
// messages 7, 8 and 9).
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "tools/siptrunkctl/commands.h"
#include "tools/siptrunkctl/ctl.h"

namespace siptrunk {
namespace ctl {
namespace {

const TrunkToMasterRow* FindTrunk(const StoreSnapshot& snapshot, const std::string& name) {
  for (const auto& row : snapshot.trunksToMaster) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

// Reads the four words NAME USER ADDRESS PORT starting at `first`.
bool RowFromWords(const std::vector<std::string>& words, size_t first, TrunkToMasterRow* row, std::string* error) {
  row->name = words[first];
  row->user = words[first + 1];
  row->masterAddr = words[first + 2];
  row->masterPort = words[first + 3];
  return CheckName("the trunk name", row->name, error) && CheckName("the user name", row->user, error) &&
         CheckIPv4("the master address", row->masterAddr, error) &&
         CheckPort("the master port", row->masterPort, error);
}

int RunAdd(const Command& command, const std::vector<std::string>& args) {
  ParsedArgs parsed;
  int status = kExitOk;
  if (!PrepareArgs(command, args, 4, 4, &parsed, &status)) return status;
  TrunkToMasterRow row;
  std::string error;
  if (!RowFromWords(parsed.positional, 0, &row, &error)) return UsageError(command, error);
  if (!ReadPassword(command, parsed, "Password of " + Quoted(row.user), &row.password, &status)) return status;
  row.enabled = parsed.Has("enable");
  auto store = OpenStoreForEdit(command);
  if (!store) return kExitFailure;
  StoreSnapshot snapshot;
  if (!ReadStore(command, store.get(), &snapshot)) return kExitFailure;
  if (FindTrunk(snapshot, row.name) != nullptr) {
    return StoreFailure(command, "cannot add",
                        "a trunk towards a master named " + Quoted(row.name) + " already exists");
  }
  if (!store->AddTrunkToMaster(row, &error)) return StoreFailure(command, "cannot add the trunk", error);
  // A disabled trunk is only configuration: the agent learns of it when it is enabled.
  if (!row.enabled) return kExitOk;
  return SendToAgent(command, {"7", row.name, row.name}, true);
}

int RunSetEnabled(const Command& command, const std::vector<std::string>& args, bool enable) {
  ParsedArgs parsed;
  int status = kExitOk;
  if (!PrepareArgs(command, args, 1, 1, &parsed, &status)) return status;
  const std::string& name = parsed.positional[0];
  std::string error;
  if (!CheckName("the trunk name", name, &error)) return UsageError(command, error);
  auto store = OpenStoreForEdit(command);
  if (!store) return kExitFailure;
  StoreSnapshot snapshot;
  if (!ReadStore(command, store.get(), &snapshot)) return kExitFailure;
  const TrunkToMasterRow* row = FindTrunk(snapshot, name);
  if (row == nullptr) {
    return StoreFailure(command, "cannot change", "there is no trunk towards a master named " + Quoted(name));
  }
  if (row->enabled == enable) {
    // The agent would register the trunk a second time: say so and leave it.
    std::printf("trunk %s is already %s; nothing to do\n", Quoted(name).c_str(), enable ? "enabled" : "disabled");
    return kExitOk;
  }
  if (!store->SetTrunkToMasterEnabled(name, enable, &error)) return StoreFailure(command, "cannot change", error);
  return SendToAgent(command, {"7", name, name}, true);
}

int RunEnable(const Command& command, const std::vector<std::string>& args) {
  return RunSetEnabled(command, args, true);
}
int RunDisable(const Command& command, const std::vector<std::string>& args) {
  return RunSetEnabled(command, args, false);
}

int RunEdit(const Command& command, const std::vector<std::string>& args) {
  ParsedArgs parsed;
  int status = kExitOk;
  if (!PrepareArgs(command, args, 5, 5, &parsed, &status)) return status;
  const std::string& oldName = parsed.positional[0];
  TrunkToMasterRow row;
  std::string error;
  if (!CheckName("the old trunk name", oldName, &error) || !RowFromWords(parsed.positional, 1, &row, &error)) {
    return UsageError(command, error);
  }
  if (!ReadPassword(command, parsed, "Password of " + Quoted(row.user), &row.password, &status)) return status;
  auto store = OpenStoreForEdit(command);
  if (!store) return kExitFailure;
  StoreSnapshot snapshot;
  if (!ReadStore(command, store.get(), &snapshot)) return kExitFailure;
  if (FindTrunk(snapshot, oldName) == nullptr) {
    return StoreFailure(command, "cannot edit", "there is no trunk towards a master named " + Quoted(oldName));
  }
  if (row.name != oldName && FindTrunk(snapshot, row.name) != nullptr) {
    return StoreFailure(command, "cannot rename",
                        "a trunk towards a master named " + Quoted(row.name) + " already exists");
  }
  bool paramsChanged = false;
  if (!store->EditTrunkToMaster(oldName, row, &paramsChanged, &error)) {
    return StoreFailure(command, "cannot edit", error);
  }
  return SendToAgent(command, {"8", oldName, row.name, paramsChanged ? "1" : "0"}, true);
}

int RunDelete(const Command& command, const std::vector<std::string>& args) {
  static const DeleteKind kTrunksToMaster = {
      "trunk towards a master", "9",
      [](const StoreSnapshot& snapshot, const std::string& name) { return FindTrunk(snapshot, name) != nullptr; },
      &StoreAdmin::DeleteTrunkToMaster};
  return RunDeleteNames(command, args, kTrunksToMaster);
}

const option kAddOptions[] = {
    {"enable", no_argument, nullptr, 0}, SIPTRUNKCTL_PASSWORD_OPTIONS, {nullptr, 0, nullptr, 0}};
const option kEditOptions[] = {SIPTRUNKCTL_PASSWORD_OPTIONS, {nullptr, 0, nullptr, 0}};

}  // namespace

const Command kMasterAdd = {
    "master", "add", "NAME USER ADDRESS PORT [--enable] [--password-stdin|--password-fd N]",
    "Adds a trunk towards a master device: this device (in the slave role)\n"
    "registers with USER and its password on the master at ADDRESS (dotted IPv4)\n"
    "and PORT (1 to 65535). The trunk is stored disabled unless --enable is\n"
    "given; with --enable the agent is told to register it (update message 7:\n"
    "NAME NAME). The password comes as for 'trunk add': asked on the terminal,\n"
    "or one line of standard input (--password-stdin) or of descriptor N\n"
    "(--password-fd N).\n"
    "\n"
    "Example:\n"
    "  siptrunkctl master add uplink bob 192.0.2.1 5060 --enable\n",
    RunAdd, kAddOptions};

const Command kMasterEnable = {
    "master", "enable", "NAME",
    "Enables a trunk towards a master in the store, then tells the agent to\n"
    "register it (update message 7: NAME NAME; the agent reads the state from\n"
    "the store). Nothing happens when it is enabled already.\n"
    "\n"
    "Example:\n"
    "  siptrunkctl master enable uplink\n",
    RunEnable, nullptr};

const Command kMasterDisable = {
    "master", "disable", "NAME",
    "Disables a trunk towards a master in the store, then tells the agent to\n"
    "unregister it (update message 7: NAME NAME). Nothing happens when it is\n"
    "disabled already.\n"
    "\n"
    "Example:\n"
    "  siptrunkctl master disable uplink\n",
    RunDisable, nullptr};

const Command kMasterEdit = {
    "master", "edit", "OLD NEW USER ADDRESS PORT [--password-stdin|--password-fd N]",
    "Replaces a trunk towards a master: its name, user, password, master\n"
    "address and port (its enabled state stays). The password comes as for\n"
    "'master add'. Then tells the agent (update message 8: OLD NEW 1|0, 1 when\n"
    "user, password, address or port changed, so that the agent registers the\n"
    "trunk again).\n"
    "\n"
    "Example:\n"
    "  siptrunkctl master edit uplink uplink bob 192.0.2.1 5070 --password-stdin <pwfile\n",
    RunEdit, kEditOptions};

const Command kMasterDelete = {
    "master", "delete", "NAME...",
    "Deletes one or more trunks towards masters. Every name must exist,\n"
    "otherwise nothing is deleted. Then tells the agent (update message 9 with\n"
    "all the names).\n"
    "\n"
    "Example:\n"
    "  siptrunkctl master delete uplink\n",
    RunDelete, nullptr};

}  // namespace ctl
}  // namespace siptrunk
