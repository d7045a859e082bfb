// status: everything the store holds, and whether the agent is running.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "platform/paths.h"
#include "tools/siptrunkctl/commands.h"
#include "tools/siptrunkctl/ctl.h"
#include "tools/siptrunkctl/text_format.h"
#include "tools/siptrunkctl/ua_status.h"

namespace siptrunk {
namespace ctl {
namespace {

using tools::JsonString;
using tools::PrintableText;

const char* JsonBool(bool value) { return value ? "true" : "false"; }

// Running means: something takes update messages on the settings socket
// (queue 117), which is what every other command needs. The pid file only adds
// the process id: it may be missing (not writable) or stale.
struct AgentState {
  bool running = false;
  long pid = 0;            // from the pid file, when it names a living process
  std::string probeError;  // set when running cannot be told (e.g. permission denied)
};

AgentState ProbeAgent() {
  AgentState state;
  state.running = ProbeDatagramSocket(CgiSocketPath(kSettingsQueue), &state.probeError) == SocketProbe::kLive;
  state.pid = LivePidFromFile(PidFilePath());
  return state;
}

// Like systemctl status: 0 running, 3 not running, 4 cannot tell.
int AgentExitStatus(const AgentState& agent) {
  if (agent.running) return kExitOk;
  return agent.probeError.empty() ? kExitAgentDown : kExitUnknown;
}

std::string UtcTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  char text[64];
  if (gmtime_r(&t, &parts) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) {
    return std::to_string(seconds);
  }
  return text;
}

std::string UaStatusPath() { return RuntimeDirectory() + "/siptrunk-ua.status"; }

// The user agent's view as one JSON member; a missing or bad file says so.
std::string UaJson(const UaStatus& ua) {
  std::string out = "\"ua\":{\"present\":";
  out += JsonBool(ua.present);
  out += ",\"error\":" + (ua.error.empty() ? std::string("null") : JsonString(ua.error));
  out += ",\"written\":" + std::to_string(ua.written) + ",\"trunks_to_master\":[";
  bool first = true;
  for (const UaStatusEntry& e : ua.entries) {
    if (!e.trunk) continue;
    out += first ? "" : ",";
    first = false;
    out += "{\"user\":" + JsonString(e.user) + ",\"master\":" + JsonString(e.where) +
           ",\"registered\":" + JsonBool(e.registered) + ",\"code\":" + std::to_string(e.code) +
           ",\"reason\":" + JsonString(e.reason) + ",\"expires\":" + std::to_string(e.expires) +
           ",\"next_attempt\":" + std::to_string(e.nextAttempt) + "}";
  }
  out += "],\"slaves\":[";
  first = true;
  for (const UaStatusEntry& e : ua.entries) {
    if (e.trunk) continue;
    out += first ? "" : ",";
    first = false;
    out += "{\"user\":" + JsonString(e.user) + ",\"address\":" + JsonString(e.where) +
           ",\"port\":" + JsonString(e.port) + ",\"device\":" + JsonString(e.device) +
           ",\"code\":" + std::to_string(e.code) + ",\"reason\":" + JsonString(e.reason) +
           ",\"expires\":" + std::to_string(e.expires) + "}";
  }
  return out + "]}";
}

std::string When(int64_t seconds) { return seconds == 0 ? std::string("-") : UtcTime(seconds); }

void PrintUaText(const UaStatus& ua) {
  if (!ua.present) {
    std::printf("user agent: no status file (%s): siptrunk-ua not running here?\n", UaStatusPath().c_str());
    return;
  }
  if (!ua.error.empty()) {
    std::printf("user agent: status unreadable: %s\n", PrintableText(ua.error).c_str());
    return;
  }
  std::printf("user agent: as of its last change, %s\n", UtcTime(ua.written).c_str());
  for (const UaStatusEntry& e : ua.entries) {
    const std::string last = e.code == 0 ? std::string("no answer yet")
                                         : std::to_string(e.code) + " " + PrintableText(e.reason);
    if (e.trunk) {
      std::printf("  trunk %s at %s: %s, last %s, expires %s, next attempt %s\n", PrintableText(e.user).c_str(),
                  PrintableText(e.where).c_str(), e.registered ? "registered" : "not registered", last.c_str(),
                  When(e.expires).c_str(), When(e.nextAttempt).c_str());
    } else {
      const std::string binding = e.where.empty() ? std::string("no binding")
                                                  : "bound at " + PrintableText(e.where) + ":" + e.port +
                                                        (e.device.empty() ? "" : " (" + PrintableText(e.device) + ")");
      std::printf("  slave %s: %s, last answer %s, expires %s\n", PrintableText(e.user).c_str(), binding.c_str(),
                  last.c_str(), When(e.expires).c_str());
    }
  }
}

void PrintJson(const StoreSnapshot& s, const AgentState& agent, const UaStatus& ua, bool showPasswords) {
  const auto password = [&](const std::string& p) { return JsonString(showPasswords ? p : std::string("***")); };
  std::string out = "{\"roles\":{\"master\":";
  out += JsonBool(s.masterEnabled);
  out += ",\"slave\":";
  out += JsonBool(s.slaveEnabled);
  out += "},\"sip_trunks\":[";
  for (size_t i = 0; i < s.sipTrunks.size(); ++i) {
    const auto& t = s.sipTrunks[i];
    if (i > 0) out += ',';
    out += "{\"name\":" + JsonString(t.name) + ",\"user\":" + JsonString(t.user) +
           ",\"password\":" + password(t.password) + ",\"symmetric_nat\":" + JsonBool(t.symmetricNat) + "}";
  }
  out += "],\"trunks_to_master\":[";
  for (size_t i = 0; i < s.trunksToMaster.size(); ++i) {
    const auto& t = s.trunksToMaster[i];
    if (i > 0) out += ',';
    out += "{\"name\":" + JsonString(t.name) + ",\"user\":" + JsonString(t.user) +
           ",\"password\":" + password(t.password) + ",\"address\":" + JsonString(t.masterAddr) +
           ",\"port\":" + JsonString(t.masterPort) + ",\"enabled\":" + JsonBool(t.enabled) +
           ",\"registered\":" + JsonBool(t.registered) + "}";
  }
  out += "],\"registered_slaves\":[";
  for (size_t i = 0; i < s.registeredSlaves.size(); ++i) {
    const auto& r = s.registeredSlaves[i];
    if (i > 0) out += ',';
    out += "{\"user\":" + JsonString(r.user) + ",\"password\":" + password(r.password) +
           ",\"address\":" + JsonString(r.address) + ",\"port\":" + JsonString(r.port) +
           ",\"since\":" + std::to_string(r.since) + "}";
  }
  out += "],\"agent_running\":";
  out += JsonBool(agent.running);
  out += "," + UaJson(ua) + "}\n";
  std::fputs(out.c_str(), stdout);
}

void PrintText(const StoreSnapshot& s, bool haveStore, const AgentState& agent, bool showPasswords) {
  const auto password = [&](const std::string& p) { return showPasswords ? PrintableText(p) : std::string("***"); };
  if (agent.running) {
    if (agent.pid != 0) {
      std::printf("agent: running (pid %ld)\n", agent.pid);
    } else {
      std::printf("agent: running\n");
    }
  } else if (!agent.probeError.empty()) {
    std::printf("agent: unknown (%s)\n", agent.probeError.c_str());
  } else {
    std::printf("agent: not running\n");
  }
  std::printf("store: %s%s\n", StorePath().c_str(), haveStore ? "" : " (none yet: nothing configured)");
  std::printf("roles: master %s, slave %s\n", s.masterEnabled ? "on" : "off", s.slaveEnabled ? "on" : "off");

  std::printf("SIP trunks: %zu\n", s.sipTrunks.size());
  for (const auto& t : s.sipTrunks) {
    std::printf("  %s: user %s, password %s, symmetric NAT %s\n", PrintableText(t.name).c_str(),
                PrintableText(t.user).c_str(), password(t.password).c_str(), t.symmetricNat ? "on" : "off");
  }
  std::printf("trunks towards masters: %zu\n", s.trunksToMaster.size());
  for (const auto& t : s.trunksToMaster) {
    std::printf("  %s: user %s, password %s, master %s:%s, %s, %s\n", PrintableText(t.name).c_str(),
                PrintableText(t.user).c_str(), password(t.password).c_str(), PrintableText(t.masterAddr).c_str(),
                PrintableText(t.masterPort).c_str(), t.enabled ? "enabled" : "disabled",
                t.registered ? "registered" : "not registered");
  }
  std::printf("registered slaves: %zu\n", s.registeredSlaves.size());
  for (const auto& r : s.registeredSlaves) {
    std::printf("  %s (password %s) at %s:%s since %s\n", PrintableText(r.user).c_str(), password(r.password).c_str(),
                PrintableText(r.address).c_str(), PrintableText(r.port).c_str(), UtcTime(r.since).c_str());
  }
  PrintUaText(ReadUaStatus(UaStatusPath()));
}

int RunStatus(const Command& command, const std::vector<std::string>& args) {
  ParsedArgs parsed;
  int status = kExitOk;
  if (!PrepareArgs(command, args, 0, 0, &parsed, &status)) return status;
  // No store yet is a state, not a failure: nothing has been configured.
  struct stat st {};
  const bool haveStore = stat(StorePath().c_str(), &st) == 0;
  StoreSnapshot snapshot;
  if (haveStore) {
    auto store = OpenStoreForRead(command);
    if (!store || !ReadStore(command, store.get(), &snapshot)) return kExitFailure;
  }
  const AgentState agent = ProbeAgent();
  if (parsed.Has("json")) {
    PrintJson(snapshot, agent, ReadUaStatus(UaStatusPath()), parsed.Has("show-passwords"));
  } else {
    PrintText(snapshot, haveStore, agent, parsed.Has("show-passwords"));
  }
  return std::fflush(stdout) == 0 ? AgentExitStatus(agent) : kExitFailure;
}

const option kStatusOptions[] = {
    {"json", no_argument, nullptr, 0}, {"show-passwords", no_argument, nullptr, 0}, {nullptr, 0, nullptr, 0}};

}  // namespace

const Command kStatus = {
    "status", "", "[--json] [--show-passwords]",
    "Shows the roles, the SIP trunks, the trunks towards masters with their\n"
    "enabled and registered state, the registered slaves with the time of their\n"
    "registration, and whether the agent is running (a process takes update\n"
    "messages on its settings socket; the pid file's process is shown when\n"
    "there is one). Passwords show as *** unless --show-passwords is given, in\n"
    "both forms.\n"
    "\n"
    "Exit status, as for systemctl status: 0 the agent is running, 3 it is not,\n"
    "4 that cannot be told (the socket cannot be probed); 1 the store cannot be read.\n"
    "No store yet counts as an empty one.\n"
    "\n"
    "--json prints one JSON object for scripts:\n"
    "  {\"roles\":{\"master\":B,\"slave\":B},\n"
    "   \"sip_trunks\":[{\"name\",\"user\",\"password\",\"symmetric_nat\":B}],\n"
    "   \"trunks_to_master\":[{\"name\",\"user\",\"password\",\"address\",\"port\",\n"
    "                         \"enabled\":B,\"registered\":B}],\n"
    "   \"registered_slaves\":[{\"user\",\"password\",\"address\",\"port\",\"since\":N}],\n"
    "   \"agent_running\":B,\n"
    "   \"ua\":{\"present\":B,\"error\":null or text,\"written\":N,\n"
    "         \"trunks_to_master\":[{\"user\",\"master\",\"registered\":B,\"code\":N,\n"
    "                              \"reason\",\"expires\":N,\"next_attempt\":N}],\n"
    "         \"slaves\":[{\"user\",\"address\",\"port\",\"device\",\"code\":N,\n"
    "                    \"reason\",\"expires\":N}]}}\n"
    "where B is true or false and since, written, expires and next_attempt are in\n"
    "seconds since 1970 (UTC; 0: none). ua is what siptrunk-ua last saw: the last\n"
    "SIP answer per trunk towards a master and per account slaves register on\n"
    "(from siptrunk-ua.status in the runtime directory; present false when there\n"
    "is none, error set when it cannot be read). Bytes that are not UTF-8 appear\n"
    "as \\u00XX.\n"
    "\n"
    "Examples:\n"
    "  siptrunkctl status\n"
    "  siptrunkctl status --json --show-passwords\n",
    RunStatus, kStatusOptions};

}  // namespace ctl
}  // namespace siptrunk
