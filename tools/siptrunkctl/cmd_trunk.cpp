// trunk: the SIP trunks of the master role (update messages 4, 5 and 6).
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "tools/siptrunkctl/commands.h"
#include "tools/siptrunkctl/ctl.h"
#include "tools/siptrunkctl/text_format.h"

namespace siptrunk {
namespace ctl {
namespace {

const SipTrunkRow* FindTrunk(const StoreSnapshot& snapshot, const std::string& name) {
  for (const auto& row : snapshot.sipTrunks) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

// Checks that `oldName` exists and `newName` is free (or the same trunk).
bool CheckRename(const Command& command, StoreAdmin* store, const std::string& oldName, const std::string& newName,
                 int* status) {
  StoreSnapshot snapshot;
  if (!ReadStore(command, store, &snapshot)) {
    *status = kExitFailure;
    return false;
  }
  if (FindTrunk(snapshot, oldName) == nullptr) {
    *status = StoreFailure(command, "cannot edit", "there is no SIP trunk named " + Quoted(oldName));
    return false;
  }
  if (newName != oldName && FindTrunk(snapshot, newName) != nullptr) {
    *status = StoreFailure(command, "cannot rename", "a SIP trunk named " + Quoted(newName) + " already exists");
    return false;
  }
  return true;
}

int RunAdd(const Command& command, const std::vector<std::string>& args) {
  ParsedArgs parsed;
  int status = kExitOk;
  if (!PrepareArgs(command, args, 2, 2, &parsed, &status)) return status;
  SipTrunkRow row;
  row.name = parsed.positional[0];
  row.user = parsed.positional[1];
  row.symmetricNat = parsed.Has("symmetric-nat");
  std::string error;
  if (!CheckName("the trunk name", row.name, &error) || !CheckName("the user name", row.user, &error)) {
    return UsageError(command, error);
  }
  if (!ReadPassword(command, parsed, "Password of " + Quoted(row.user), &row.password, &status)) return status;
  auto store = OpenStoreForEdit(command);
  if (!store) return kExitFailure;
  StoreSnapshot snapshot;
  if (!ReadStore(command, store.get(), &snapshot)) return kExitFailure;
  if (FindTrunk(snapshot, row.name) != nullptr) {
    return StoreFailure(command, "cannot add", "a SIP trunk named " + Quoted(row.name) + " already exists");
  }
  if (!store->AddSipTrunk(row, &error)) return StoreFailure(command, "cannot add the SIP trunk", error);
  return SendToAgent(command, {"4", row.name, row.user, row.password, row.symmetricNat ? "1" : "0"}, true);
}

int RunRename(const Command& command, const std::vector<std::string>& args) {
  ParsedArgs parsed;
  int status = kExitOk;
  if (!PrepareArgs(command, args, 2, 2, &parsed, &status)) return status;
  const std::string& oldName = parsed.positional[0];
  SipTrunkRow row;
  row.name = parsed.positional[1];
  std::string error;
  if (!CheckName("the old trunk name", oldName, &error) || !CheckName("the new trunk name", row.name, &error)) {
    return UsageError(command, error);
  }
  auto store = OpenStoreForEdit(command);
  if (!store) return kExitFailure;
  if (!CheckRename(command, store.get(), oldName, row.name, &status)) return status;
  if (!store->EditSipTrunk(oldName, row, true, &error)) return StoreFailure(command, "cannot rename", error);
  return SendToAgent(command, {"5", oldName, row.name}, true);
}

int RunEdit(const Command& command, const std::vector<std::string>& args) {
  ParsedArgs parsed;
  int status = kExitOk;
  if (!PrepareArgs(command, args, 3, 3, &parsed, &status)) return status;
  const std::string& oldName = parsed.positional[0];
  SipTrunkRow row;
  row.name = parsed.positional[1];
  row.user = parsed.positional[2];
  row.symmetricNat = parsed.Has("symmetric-nat");
  std::string error;
  if (!CheckName("the old trunk name", oldName, &error) || !CheckName("the new trunk name", row.name, &error) ||
      !CheckName("the user name", row.user, &error)) {
    return UsageError(command, error);
  }
  if (!ReadPassword(command, parsed, "Password of " + Quoted(row.user), &row.password, &status)) return status;
  auto store = OpenStoreForEdit(command);
  if (!store) return kExitFailure;
  if (!CheckRename(command, store.get(), oldName, row.name, &status)) return status;
  if (!store->EditSipTrunk(oldName, row, false, &error)) return StoreFailure(command, "cannot edit", error);
  return SendToAgent(command, {"5", oldName, row.name, row.user, row.password, row.symmetricNat ? "1" : "0"}, true);
}

int RunDelete(const Command& command, const std::vector<std::string>& args) {
  static const DeleteKind kSipTrunks = {
      "SIP trunk", "6",
      [](const StoreSnapshot& snapshot, const std::string& name) { return FindTrunk(snapshot, name) != nullptr; },
      &StoreAdmin::DeleteSipTrunk};
  return RunDeleteNames(command, args, kSipTrunks);
}

const option kAddEditOptions[] = {
    {"symmetric-nat", no_argument, nullptr, 0}, SIPTRUNKCTL_PASSWORD_OPTIONS, {nullptr, 0, nullptr, 0}};

}  // namespace

const Command kTrunkAdd = {
    "trunk", "add", "NAME USER [--symmetric-nat] [--password-stdin|--password-fd N]",
    "Adds a SIP trunk of the master role: slave devices register on this device\n"
    "with USER and its password. --symmetric-nat marks the trunk for symmetric NAT.\n"
    "Then tells the agent (update message 4: NAME USER PASSWORD 1|0).\n"
    "\n"
    "The password is asked on the terminal (no echo), or read as one line from\n"
    "standard input with --password-stdin or from descriptor N with --password-fd N;\n"
    "never from the command line, where every user could read it.\n"
    "\n"
    "Examples:\n"
    "  siptrunkctl trunk add trunk1 alice --symmetric-nat\n"
    "  printf '%s\\n' \"$PW\" | siptrunkctl trunk add trunk1 alice --password-stdin\n",
    RunAdd, kAddEditOptions};

const Command kTrunkRename = {
    "trunk", "rename", "OLD NEW",
    "Renames a SIP trunk; its account stays as it is.\n"
    "Then tells the agent (update message 5: OLD NEW).\n"
    "\n"
    "Example:\n"
    "  siptrunkctl trunk rename trunk1 office\n",
    RunRename, nullptr};

const Command kTrunkEdit = {
    "trunk", "edit", "OLD NEW USER [--symmetric-nat] [--password-stdin|--password-fd N]",
    "Sets a SIP trunk's name, user, password and symmetric NAT (off unless\n"
    "--symmetric-nat is given). NEW may equal OLD. The password comes as for\n"
    "'trunk add'. Then tells the agent (update message 5: OLD NEW USER PASSWORD 1|0).\n"
    "\n"
    "Example:\n"
    "  siptrunkctl trunk edit trunk1 trunk1 alice --password-fd 3 3<pwfile\n",
    RunEdit, kAddEditOptions};

const Command kTrunkDelete = {
    "trunk", "delete", "NAME...",
    "Deletes one or more SIP trunks. Every name must exist, otherwise nothing is\n"
    "deleted. Then tells the agent (update message 6 with all the names).\n"
    "\n"
    "Example:\n"
    "  siptrunkctl trunk delete trunk1 trunk2\n",
    RunDelete, nullptr};

}  // namespace ctl
}  // namespace siptrunk
