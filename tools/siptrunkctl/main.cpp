// siptrunkctl: command dispatch and help.
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "tools/siptrunkctl/commands.h"
#include "tools/siptrunkctl/ctl.h"

#ifndef SIPTRUNK_VERSION
#define SIPTRUNK_VERSION "unknown"
#endif

namespace siptrunk {
namespace ctl {

const std::vector<const Command*>& AllCommands() {
  static const std::vector<const Command*> commands = {
      &kStatus,    &kRolesShow,    &kRolesMaster,   &kRolesSlave, &kTrunkAdd,     &kTrunkRename,
      &kTrunkEdit, &kTrunkDelete,  &kMasterAdd,     &kMasterEnable, &kMasterDisable, &kMasterEdit,
      &kMasterDelete, &kStop,      &kSend,          &kEvents};
  return commands;
}

std::string CommandName(const Command& command) {
  std::string name = std::string("siptrunkctl ") + command.group;
  if (*command.name != '\0') name += std::string(" ") + command.name;
  return name;
}

void PrintCommandHelp(const Command& command) {
  std::printf("Usage: %s%s%s\n\n%s", CommandName(command).c_str(), *command.synopsis != '\0' ? " " : "",
              command.synopsis, command.help);
}

int UsageError(const Command& command, const std::string& message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", CommandName(command).c_str(), message.c_str(),
               CommandName(command).c_str());
  return kExitUsage;
}

namespace {

void PrintSynopses(FILE* out, const char* group) {
  for (const Command* c : AllCommands()) {
    if (group != nullptr && std::strcmp(c->group, group) != 0) continue;
    std::string line = CommandName(*c);
    if (*c->synopsis != '\0') line += std::string(" ") + c->synopsis;
    std::fprintf(out, "  %s\n", line.c_str());
  }
}

void PrintProgramHelp() {
  std::printf(
      "Usage: siptrunkctl [--help | --version] COMMAND [ARGUMENTS]\n"
      "\n"
      "The SIP trunk agent's settings client. Each command that changes settings\n"
      "edits the store first and then sends the agent the matching update message.\n"
      "\n"
      "Commands:\n");
  PrintSynopses(stdout, nullptr);
  std::printf(
      "\n"
      "'siptrunkctl COMMAND --help' explains one command.\n"
      "\n"
      "Files (from the environment, as the agent reads them):\n"
      "  store           %s   (STATE_DIRECTORY)\n"
      "  settings link   %s   (RUNTIME_DIRECTORY)\n"
      "  event socket    %s\n"
      "  pid file        %s\n"
      "\n"
      "Passwords are never taken from the command line: commands that set one ask\n"
      "on the terminal, or take --password-stdin or --password-fd N.\n"
      "\n"
      "Exit status: 0 done; 1 the store or a socket failed; 2 bad arguments;\n"
      "3 the store is updated but no agent is running to take the message (it\n"
      "picks the change up at its next load). 'status' answers as systemctl\n"
      "status does: 0 running, 3 not running, 4 unknown.\n",
      StorePath().c_str(), CgiSocketPath(kSettingsQueue).c_str(), EventSocketPath().c_str(), PidFilePath().c_str());
}

bool HasGroup(const std::string& group) {
  for (const Command* c : AllCommands()) {
    if (group == c->group) return true;
  }
  return false;
}

const Command* Find(const std::string& group, const std::string& name) {
  for (const Command* c : AllCommands()) {
    if (group == c->group && name == c->name) return c;
  }
  return nullptr;
}

int GroupUsageError(const std::string& group, const std::string& message) {
  std::fprintf(stderr, "siptrunkctl %s: %s\nCommands:\n", group.c_str(), message.c_str());
  PrintSynopses(stderr, group.c_str());
  return kExitUsage;
}

}  // namespace

int Main(int argc, char** argv) {
  static const option kProgramOptions[] = {
      {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {nullptr, 0, nullptr, 0}};
  opterr = 0;
  // "+": the options of the program end at the first word, the command's own follow it.
  for (;;) {
    const int c = getopt_long(argc, argv, "+:h", kProgramOptions, nullptr);
    if (c == -1) break;
    if (c == 'h') {
      PrintProgramHelp();
      return kExitOk;
    }
    if (c == 'V') {
      std::printf("siptrunkctl %s\n", SIPTRUNK_VERSION);
      return kExitOk;
    }
    std::fprintf(stderr, "siptrunkctl: unknown option %s\nTry 'siptrunkctl --help'.\n",
                 Quoted(optind > 0 && optind <= argc ? argv[optind - 1] : "").c_str());
    return kExitUsage;
  }
  std::vector<std::string> args(argv + optind, argv + argc);
  if (args.empty()) {
    std::fprintf(stderr, "siptrunkctl: missing a command\nTry 'siptrunkctl --help'.\n");
    return kExitUsage;
  }
  if (args[0] == "help") {
    PrintProgramHelp();
    return kExitOk;
  }
  const std::string group = args[0];
  if (!HasGroup(group)) {
    std::fprintf(stderr, "siptrunkctl: unknown command %s\nTry 'siptrunkctl --help'.\n", Quoted(group).c_str());
    return kExitUsage;
  }
  // A command of two words ("trunk add") is found by its second word; a
  // group that also is a command of its own ("roles") takes the rest.
  if (args.size() >= 2) {
    if (const Command* c = Find(group, args[1])) {
      if (*c->name != '\0') return c->run(*c, std::vector<std::string>(args.begin() + 2, args.end()));
    }
  }
  bool hasSubcommands = false;
  for (const Command* c : AllCommands()) {
    if (group == c->group && *c->name != '\0') hasSubcommands = true;
  }
  if (hasSubcommands && args.size() >= 2 && (args[1] == "--help" || args[1] == "-h")) {
    std::printf("Commands:\n");
    PrintSynopses(stdout, group.c_str());
    std::printf("\n'siptrunkctl %s SUBCOMMAND --help' explains one.\n", group.c_str());
    return kExitOk;
  }
  if (const Command* single = Find(group, "")) {
    return single->run(*single, std::vector<std::string>(args.begin() + 1, args.end()));
  }
  return GroupUsageError(group, args.size() < 2 ? "missing a subcommand" : "unknown subcommand " + Quoted(args[1]));
}

}  // namespace ctl
}  // namespace siptrunk

int main(int argc, char** argv) { return siptrunk::ctl::Main(argc, argv); }
