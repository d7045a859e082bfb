// stop and send: messages to the agent without a store edit.
#include <time.h>

#include <cstdio>

#include "platform/paths.h"

#include "tools/siptrunkctl/commands.h"
#include "tools/siptrunkctl/ctl.h"

namespace siptrunk {
namespace ctl {
namespace {

constexpr unsigned long kDefaultStopWaitSeconds = 30;
constexpr unsigned long kMaxStopWaitSeconds = 3600;  // so that the poll count fits 32 bits
constexpr long kStopPollMs = 50;

// The agent has ended when nothing takes messages on its settings socket and
// the process named by its pid file (read before the stop) is gone.
bool AgentEnded(long pid) {
  std::string why;
  if (ProbeDatagramSocket(CgiSocketPath(kSettingsQueue), &why) == SocketProbe::kLive) return false;
  return pid == 0 || !ProcessLives(pid);
}

int RunStop(const Command& command, const std::vector<std::string>& args) {
  ParsedArgs parsed;
  int status = kExitOk;
  if (!PrepareArgs(command, args, 0, 0, &parsed, &status)) return status;
  unsigned long seconds = kDefaultStopWaitSeconds;
  std::string error;
  if (parsed.Has("timeout") && !ParseCount("the timeout", parsed.options["timeout"], &seconds, &error)) {
    return UsageError(command, error);
  }
  if (seconds > kMaxStopWaitSeconds) {
    return UsageError(command, "the timeout is at most " + std::to_string(kMaxStopWaitSeconds) + " seconds");
  }
  if (parsed.Has("no-wait") && parsed.Has("timeout")) {
    return UsageError(command, "--timeout has no use with --no-wait");
  }
  const long pid = LivePidFromFile(PidFilePath());
  status = SendToAgent(command, {"10"}, false);
  if (status != kExitOk || parsed.Has("no-wait")) return status;
  // Bounded: the agent switches its roles off first, which may take a while.
  const unsigned long polls = seconds * 1000 / kStopPollMs;
  for (unsigned long i = 0; i <= polls; ++i) {
    if (AgentEnded(pid)) return kExitOk;
    const timespec pause{0, kStopPollMs * 1000000L};
    nanosleep(&pause, nullptr);
  }
  const std::string who = pid != 0 ? "the agent (pid " + std::to_string(pid) + ")" : std::string("the agent");
  std::fprintf(stderr,
               "%s: %s took the stop message but has not ended within %lu s; it may still be switching its "
               "roles off (see 'siptrunkctl status')\n",
               CommandName(command).c_str(), who.c_str(), seconds);
  return kExitFailure;
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

const option kStopOptions[] = {
    {"no-wait", no_argument, nullptr, 0}, {"timeout", required_argument, nullptr, 0}, {nullptr, 0, nullptr, 0}};

}  // namespace

const Command kStop = {
    "stop", "", "[--no-wait | --timeout SECONDS]",
    "Tells the agent to switch off its active roles and end (update message 10),\n"
    "then waits until it has ended: nothing takes messages on its settings socket\n"
    "any more and the process of its pid file is gone. The wait is bounded by\n"
    "--timeout (default 30 s); exit status 1 when the agent is still there then.\n"
    "--no-wait returns as soon as the message is sent.\n"
    "\n"
    "Example:\n"
    "  siptrunkctl stop\n",
    RunStop, kStopOptions};

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
    RunSend, nullptr};

}  // namespace ctl
}  // namespace siptrunk
