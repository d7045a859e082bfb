// siptrunk-uasim: a scriptable SIP user agent on the agent's user-agent link.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/link_codec.h"
#include "platform/paths.h"
#include "tools/uasim/sim_command.h"
#include "tools/uasim/simulator.h"

namespace {

void PrintHelp() {
  std::printf(
      "Usage: siptrunk-uasim [OPTIONS]\n"
      "\n"
      "Stands in for the device's SIP user agent: connects to the agent's user-agent\n"
      "socket, says HELLO 1, asks for the account lists (REQUEST_USERS_LIST), prints\n"
      "every packet it receives as one line on standard output, and sends\n"
      "registration confirmations on command.\n"
      "\n"
      "Options:\n"
      "  --socket PATH             the agent's socket (default %s)\n"
      "  --wait SECONDS            give up when the agent is not there after SECONDS\n"
      "                            (default: keep trying)\n"
      "  --script FILE             read commands from FILE instead of standard input\n"
      "  --control FIFO            also read commands from FIFO (created when missing;\n"
      "                            any number of writers, one after the other)\n"
      "  --auto-confirm-slave[=E]  confirm every slave-list account received as\n"
      "                            registered, with error code E (default 0)\n"
      "  --state FILE              keep FILE up to date with the held account lists,\n"
      "                            as JSON (written to a temporary file and renamed)\n"
      "  --stay                    keep running at the end of the commands, and connect\n"
      "                            again when the agent goes away\n"
      "  --no-hello                send nothing on connecting (see the hello and\n"
      "                            request commands)\n"
      "  --help                    show this help\n"
      "\n"
      "%s"
      "\n"
      "Output lines: CONNECTED PATH; SENT <packet>; the packets received, e.g.\n"
      "  SET_USERS_LIST active=1 master=1 count=1\n"
      "    user=alice password=secret host= addr= port= flags=0x0\n"
      "  CHANGE_USER_PARAMS master=0 old={} new={user=bob password=x host=dev addr=192.0.2.1 port=5060 flags=0x0}\n"
      "MALFORMED <why>; DISCONNECTED <why>. Bytes other than printable ASCII show\n"
      "as \\xNN.\n"
      "\n"
      "Exit status: 0 at quit, at the end of the commands, on SIGINT/SIGTERM or when\n"
      "the agent closes the link (without --stay); 1 when the agent cannot be reached\n"
      "or the link fails; 2 for bad options.\n",
      siptrunk::UaSocketPath().c_str(), siptrunk::uasim::CommandHelp());
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "siptrunk-uasim: %s\nTry 'siptrunk-uasim --help'.\n", message.c_str());
  return 2;
}

// "--name=value" or "--name value"; false when the option is not `name`.
bool TakeValue(int argc, char** argv, int* i, const char* name, std::string* value, bool* missing) {
  const std::string arg = argv[*i];
  const std::string prefix = std::string("--") + name;
  if (arg == prefix) {
    if (*i + 1 >= argc) {
      *missing = true;
      return true;
    }
    *value = argv[++*i];
    return true;
  }
  if (arg.compare(0, prefix.size() + 1, prefix + "=") == 0) {
    *value = arg.substr(prefix.size() + 1);
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  using siptrunk::uasim::SimOptions;
  SimOptions options;
  options.socketPath = siptrunk::UaSocketPath();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    bool missing = false;
    if (arg == "--help" || arg == "-h") {
      PrintHelp();
      return 0;
    } else if (arg == "--stay") {
      options.stay = true;
    } else if (arg == "--no-hello") {
      options.hello = false;
    } else if (arg == "--auto-confirm-slave") {
      options.autoConfirmSlave = true;
    } else if (arg.compare(0, 21, "--auto-confirm-slave=") == 0) {
      options.autoConfirmSlave = true;
      if (!siptrunk::ParseDecimalU32(arg.substr(21), &options.autoConfirmError)) {
        return UsageError("--auto-confirm-slave takes an error code (a whole number), not '" + arg.substr(21) + "'");
      }
    } else if (TakeValue(argc, argv, &i, "socket", &options.socketPath, &missing) ||
               TakeValue(argc, argv, &i, "script", &options.scriptPath, &missing) ||
               TakeValue(argc, argv, &i, "control", &options.controlPath, &missing) ||
               TakeValue(argc, argv, &i, "state", &options.statePath, &missing)) {
      if (missing) return UsageError("option " + arg + " needs a value");
    } else if (TakeValue(argc, argv, &i, "wait", &value, &missing)) {
      uint32_t seconds = 0;
      if (missing || !siptrunk::ParseDecimalU32(value, &seconds) || seconds > 86400U * 365U) {
        return UsageError("--wait takes a number of seconds");
      }
      options.waitMs = static_cast<int64_t>(seconds) * 1000;
    } else {
      return UsageError("unknown option '" + arg + "'");
    }
  }
  if (options.socketPath.empty()) return UsageError("the socket path is empty");
  siptrunk::uasim::Simulator simulator(options);
  return simulator.Run();
}
