#include "ua/options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/link_codec.h"

namespace siptrunk {
namespace ua {

namespace {

const char kUsage[] =
    "usage: siptrunk-ua [OPTIONS]\n"
    "The reference SIP user agent: registrar for the agent's master list, registering\n"
    "client for its slave list, on the other end of the agent's ua.sock.\n"
    "\n"
    "  -l, --listen=ADDR[:PORT]   listen there (repeatable; default 0.0.0.0:5060, every\n"
    "                             local IPv4 address)\n"
    "  -t, --transport=LIST       udp, tcp or udp,tcp (default udp,tcp)\n"
    "  -r, --realm=REALM          digest realm of the registrar (default siptrunk)\n"
    "      --min-expires=S        shorter bindings get 423 (default 60)\n"
    "      --max-expires=S        longer bindings are shortened (default 3600)\n"
    "      --nonce-lifetime=S     a nonce is stale after S seconds (default 300)\n"
    "      --client-expires=S     Expires asked of masters (default 3600)\n"
    "      --retry-min=S          first retry after a failed registration (default 2)\n"
    "      --retry-max=S          retries never wait longer, Retry-After aside (default 300)\n"
    "      --retry-credentials=S  least wait after refused credentials (default 60)\n"
    "      --reconnect-max=MS     longest wait between tries to reach the agent (default 2000)\n"
    "      --max-transactions=N   REGISTERs answered per hold window; beyond: 503 (default 2000)\n"
    "      --max-held=N           requests the stack may hold per hold window; beyond:\n"
    "                             dropped before it reads them (default 3000)\n"
    "      --transaction-hold=MS  how long an answered transaction is kept, 64 x T1\n"
    "                             (default 8000; RFC 3261: 32000)\n"
    "      --socket=PATH          the agent's socket (default $RUNTIME_DIRECTORY/ua.sock);\n"
    "                             siptrunk-ua.status is written beside it\n"
    "      --state-dir=DIR        where siptrunk-ua.db keeps the bindings (default\n"
    "                             $STATE_DIRECTORY)\n"
    "  -h, --help                 this text\n"
    "The log is siptrunk-ua.log under $LOGS_DIRECTORY (mode 0600).\n";

bool Number(const char* name, const char* text, uint32_t low, uint32_t high, uint32_t* out) {
  uint32_t v = 0;
  if (!ParseDecimalU32(text, &v) || v < low || v > high) {
    std::fprintf(stderr, "siptrunk-ua: --%s wants a number from %u to %u, not \"%s\"\n", name, low, high, text);
    return false;
  }
  *out = v;
  return true;
}

}  // namespace

ParseResult ParseOptions(int argc, char** argv, Options* o) {
  enum { kMinExp = 256, kMaxExp, kNonce, kClientExp, kRetryMin, kRetryMax, kRetryCred, kReconnect, kMaxTx,
         kMaxHeld, kHold, kSocket, kStateDir };
  static const option kLong[] = {
      {"listen", required_argument, nullptr, 'l'},     {"transport", required_argument, nullptr, 't'},
      {"realm", required_argument, nullptr, 'r'},      {"min-expires", required_argument, nullptr, kMinExp},
      {"max-expires", required_argument, nullptr, kMaxExp}, {"nonce-lifetime", required_argument, nullptr, kNonce},
      {"client-expires", required_argument, nullptr, kClientExp},
      {"retry-min", required_argument, nullptr, kRetryMin}, {"retry-max", required_argument, nullptr, kRetryMax},
      {"retry-credentials", required_argument, nullptr, kRetryCred},
      {"reconnect-max", required_argument, nullptr, kReconnect},
      {"max-transactions", required_argument, nullptr, kMaxTx},
      {"max-held", required_argument, nullptr, kMaxHeld},
      {"transaction-hold", required_argument, nullptr, kHold}, {"socket", required_argument, nullptr, kSocket},
      {"state-dir", required_argument, nullptr, kStateDir}, {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  uint32_t s = 0;
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "l:t:r:h", kLong, nullptr)) != -1) {
    switch (c) {
      case 'l': o->listen.push_back(optarg); break;
      case 't':
        if (std::strcmp(optarg, "udp") && std::strcmp(optarg, "tcp") && std::strcmp(optarg, "udp,tcp") &&
            std::strcmp(optarg, "tcp,udp")) {
          std::fprintf(stderr, "siptrunk-ua: --transport wants udp, tcp or udp,tcp\n");
          return ParseResult::kExit2;
        }
        o->transport = optarg;
        break;
      case 'r':
        if (!*optarg || std::strpbrk(optarg, "\"\\\r\n")) {
          std::fprintf(stderr, "siptrunk-ua: --realm must be non-empty, without quotes or backslashes\n");
          return ParseResult::kExit2;
        }
        o->realm = optarg;
        break;
      case kMinExp: if (!Number("min-expires", optarg, 1, 86400, &o->limits.minExpires)) return ParseResult::kExit2; break;
      case kMaxExp: if (!Number("max-expires", optarg, 1, 86400, &o->limits.maxExpires)) return ParseResult::kExit2; break;
      case kNonce: if (!Number("nonce-lifetime", optarg, 1, 86400, &o->nonceLifetime)) return ParseResult::kExit2; break;
      case kClientExp: if (!Number("client-expires", optarg, 10, 86400, &o->clientExpires)) return ParseResult::kExit2; break;
      case kRetryMin:
        if (!Number("retry-min", optarg, 1, 3600, &s)) return ParseResult::kExit2;
        o->retry.firstMs = s * 1000;
        break;
      case kRetryMax:
        if (!Number("retry-max", optarg, 1, 86400, &s)) return ParseResult::kExit2;
        o->retry.capMs = s * 1000;
        break;
      case kRetryCred:
        if (!Number("retry-credentials", optarg, 0, 86400, &s)) return ParseResult::kExit2;
        o->retry.credentialsMs = s * 1000;
        break;
      case kReconnect: if (!Number("reconnect-max", optarg, 10, 600000, &o->reconnectMaxMs)) return ParseResult::kExit2; break;
      case kMaxTx: if (!Number("max-transactions", optarg, 1, 1000000, &o->maxTransactions)) return ParseResult::kExit2; break;
      case kMaxHeld: if (!Number("max-held", optarg, 1, 1000000, &o->maxHeld)) return ParseResult::kExit2; break;
      case kHold: if (!Number("transaction-hold", optarg, 500, 64000, &o->holdMs)) return ParseResult::kExit2; break;
      case kSocket: o->socketPath = optarg; break;
      case kStateDir: o->stateDir = optarg; break;
      case 'h': std::fputs(kUsage, stdout); return ParseResult::kExit0;
      default: std::fputs("siptrunk-ua: see --help\n", stderr); return ParseResult::kExit2;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "siptrunk-ua: unexpected argument \"%s\"; see --help\n", argv[optind]);
    return ParseResult::kExit2;
  }
  if (o->limits.minExpires > o->limits.maxExpires) {
    std::fprintf(stderr, "siptrunk-ua: --min-expires is above --max-expires\n");
    return ParseResult::kExit2;
  }
  if (o->limits.defaultExpires > o->limits.maxExpires) o->limits.defaultExpires = o->limits.maxExpires;
  if (o->limits.defaultExpires < o->limits.minExpires) o->limits.defaultExpires = o->limits.minExpires;
  for (const std::string& l : o->listen) {
    if (l.empty() || l.find_first_of(" <>;\"") != std::string::npos) {
      std::fprintf(stderr, "siptrunk-ua: bad --listen \"%s\"\n", l.c_str());
      return ParseResult::kExit2;
    }
  }
  if (o->listen.empty()) o->listen.push_back("0.0.0.0:5060");
  return ParseResult::kRun;
}

}  // namespace ua
}  // namespace siptrunk
