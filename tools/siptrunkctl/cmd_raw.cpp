// stop and send: messages to the agent without a store edit.
#include <cstdio>

#include "tools/siptrunkctl/commands.h"
#include "tools/siptrunkctl/ctl.h"

namespace siptrunk {
namespace ctl {
namespace {

int RunStop(const Command& command, const std::vector<std::string>& args) {
  ParsedArgs parsed;
  int status = kExitOk;
  if (!PrepareArgs(command, args, {}, 0, 0, &parsed, &status)) return status;
  return SendToAgent(command, {"10"}, false);
}

// Every word is an item, taken as it is: "-1", "" and "--x" included. Only a
// first word of --help/-h asks for help, and a first "--" is dropped so that
// an item "--help" can be sent too.
int RunSend(const Command& command, const std::vector<std::string>& args) {
  size_t first = 0;
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    PrintCommandHelp(command);
    return kExitOk;
  }
  if (!args.empty() && args[0] == "--") first = 1;
  if (args.size() <= first) return UsageError(command, "missing the message type");
  const std::list<std::string> items(args.begin() + static_cast<long>(first), args.end());
  return SendToAgent(command, items, false);
}

}  // namespace

const Command kStop = {
    "stop", "", "",
    "Tells the agent to switch off its active roles and end (update message 10).\n"
    "\n"
    "Example:\n"
    "  siptrunkctl stop\n",
    RunStop};

const Command kSend = {
    "send", "", "TYPE [ITEM...]",
    "Sends one raw update message to the agent, without touching the store:\n"
    "TYPE and every ITEM become one NUL-ended item each, exactly as given (empty\n"
    "items, signs and any text included). Put -- first to send an item that\n"
    "reads --help.\n"
    "\n"
    "Examples:\n"
    "  siptrunkctl send 4 trunk1 alice secret 1\n"
    "  siptrunkctl send 5 trunk1 trunk2\n"
    "  siptrunkctl send -1\n"
    "  siptrunkctl send 6 ''\n",
    RunSend};

}  // namespace ctl
}  // namespace siptrunk
