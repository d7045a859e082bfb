// siptrunk-uasim: a scriptable SIP user agent on the agent's user-agent link.
#include <getopt.h>

#include <cstdint>
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

}  // namespace

int main(int argc, char** argv) {
  using siptrunk::uasim::SimOptions;
  enum : int { kSocket = 1000, kWait, kScript, kControl, kAutoConfirm, kState, kStay, kNoHello };
  static const option kOptions[] = {
      {"socket", required_argument, nullptr, kSocket},
      {"wait", required_argument, nullptr, kWait},
      {"script", required_argument, nullptr, kScript},
      {"control", required_argument, nullptr, kControl},
      {"auto-confirm-slave", optional_argument, nullptr, kAutoConfirm},
      {"state", required_argument, nullptr, kState},
      {"stay", no_argument, nullptr, kStay},
      {"no-hello", no_argument, nullptr, kNoHello},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  SimOptions options;
  options.socketPath = siptrunk::UaSocketPath();
  opterr = 0;  // our own messages, with the hint to --help
  for (;;) {
    const int previous = optind;
    const int c = getopt_long(argc, argv, ":h", kOptions, nullptr);
    if (c == -1) break;
    const std::string given = previous < argc ? argv[previous] : "";
    switch (c) {
      case 'h':
        PrintHelp();
        return 0;
      case kStay: options.stay = true; break;
      case kNoHello: options.hello = false; break;
      case kSocket: options.socketPath = optarg; break;
      case kScript: options.scriptPath = optarg; break;
      case kControl: options.controlPath = optarg; break;
      case kState: options.statePath = optarg; break;
      case kAutoConfirm:
        options.autoConfirmSlave = true;
        if (optarg != nullptr && !siptrunk::ParseDecimalU32(optarg, &options.autoConfirmError)) {
          return UsageError(std::string("--auto-confirm-slave takes an error code (a whole number), not '") +
                            optarg + "'");
        }
        break;
      case kWait: {
        uint32_t seconds = 0;
        if (!siptrunk::ParseDecimalU32(optarg, &seconds) || seconds > 86400U * 365U) {
          return UsageError("--wait takes a number of seconds");
        }
        options.waitMs = static_cast<int64_t>(seconds) * 1000;
        break;
      }
      case ':': return UsageError("option '" + given + "' needs a value");
      default: return UsageError("unknown option '" + given + "'");
    }
  }
  if (optind < argc) return UsageError(std::string("unexpected argument '") + argv[optind] + "'");
  if (options.socketPath.empty()) return UsageError("the socket path is empty");
  siptrunk::uasim::Simulator simulator(options);
  return simulator.Run();
}
