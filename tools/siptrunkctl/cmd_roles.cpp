// roles: show the two role switches, or switch one on or off (update
// messages 0/1 for the master role, 2/3 for the slave role).
#include <cstdio>

#include "tools/siptrunkctl/commands.h"
#include "tools/siptrunkctl/ctl.h"

namespace siptrunk {
namespace ctl {
namespace {

int RunShow(const Command& command, const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(command, args, &parsed, &error)) return UsageError(command, error);
  if (parsed.help) {
    PrintCommandHelp(command);
    return kExitOk;
  }
  if (!parsed.positional.empty()) {
    return UsageError(command, "unknown role or argument " + Quoted(parsed.positional[0]) + " (master or slave)");
  }
  auto store = OpenStoreForRead(command);
  if (!store) return kExitFailure;
  StoreSnapshot snapshot;
  if (!ReadStore(command, store.get(), &snapshot)) return kExitFailure;
  const auto word = [&](bool on) { return parsed.Has("json") ? (on ? "true" : "false") : (on ? "on" : "off"); };
  std::printf(parsed.Has("json") ? "{\"master\":%s,\"slave\":%s}\n" : "master: %s\nslave: %s\n",
              word(snapshot.masterEnabled), word(snapshot.slaveEnabled));
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

int RunSwitch(const Command& command, const std::vector<std::string>& args, bool master) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(command, args, &parsed, &error)) return UsageError(command, error);
  if (parsed.help) {
    PrintCommandHelp(command);
    return kExitOk;
  }
  if (parsed.positional.size() != 1 || (parsed.positional[0] != "on" && parsed.positional[0] != "off")) {
    return UsageError(command, "expected exactly one of 'on' or 'off'");
  }
  const bool on = parsed.positional[0] == "on";
  auto store = OpenStoreForEdit(command);
  if (!store) return kExitFailure;
  const bool stored = master ? store->SetMasterEnabled(on, &error) : store->SetSlaveEnabled(on, &error);
  if (!stored) return StoreFailure(command, "cannot switch the role", error);
  const char* type = master ? (on ? "0" : "1") : (on ? "2" : "3");
  return SendToAgent(command, {type}, true);
}

int RunMaster(const Command& command, const std::vector<std::string>& args) { return RunSwitch(command, args, true); }
int RunSlave(const Command& command, const std::vector<std::string>& args) { return RunSwitch(command, args, false); }

const option kShowOptions[] = {{"json", no_argument, nullptr, 0}, {nullptr, 0, nullptr, 0}};

}  // namespace

const Command kRolesShow = {
    "roles", "", "[--json]",
    "Shows whether the master role and the slave role are switched on in the store;\n"
    "with --json as one object: {\"master\":B,\"slave\":B}, B true or false.\n"
    "\n"
    "Example:\n"
    "  siptrunkctl roles --json\n",
    RunShow, kShowOptions};

const Command kRolesMaster = {
    "roles", "master", "on|off",
    "Switches the master role on or off in the store, then tells the agent\n"
    "(update message 0 to switch on, 1 to switch off). With the master role on,\n"
    "slave devices can register with this device's SIP trunks.\n"
    "\n"
    "Example:\n"
    "  siptrunkctl roles master on\n",
    RunMaster, nullptr};

const Command kRolesSlave = {
    "roles", "slave", "on|off",
    "Switches the slave role on or off in the store, then tells the agent\n"
    "(update message 2 to switch on, 3 to switch off). With the slave role on,\n"
    "this device registers its trunks towards master devices.\n"
    "\n"
    "Example:\n"
    "  siptrunkctl roles slave off\n",
    RunSlave, nullptr};

}  // namespace ctl
}  // namespace siptrunk
