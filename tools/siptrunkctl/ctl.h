// siptrunkctl: the settings client. Each command edits the store and then
// tells the agent through its settings link (queue 117).
//
// The program is single-threaded; nothing here is shared between threads.
#pragma once

#include <getopt.h>

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/store_admin.h"

namespace siptrunk {
namespace ctl {

// Exit statuses, documented in docs/tools.md and the manual page. `status`
// follows systemctl status instead: 0 running, 3 not running, 4 unknown.
enum ExitStatus {
  kExitOk = 0,
  kExitFailure = 1,     // the store could not be read or written, a socket failed
  kExitUsage = 2,       // bad arguments
  kExitAgentDown = 3,   // the store edit is kept, but no agent took the message
  kExitUnknown = 4,     // status: whether the agent runs cannot be told
};

constexpr int kSettingsQueue = 117;

struct Command;
using Handler = int (*)(const Command& command, const std::vector<std::string>& args);

// One command: its words ("trunk", "add"), a synopsis of its arguments, the
// full help text, its long options (a getopt_long table ended by a zeroed
// entry, or nullptr for none; --help and -h are added to every command) and
// the handler, which gets the arguments after the words.
struct Command {
  const char* group;
  const char* name;  // "" for a command of one word
  const char* synopsis;
  const char* help;
  Handler run;
  const option* options;
};

// The options of the commands that take a password. The password never comes
// from the command line (every user sees that in ps): it is asked on the
// terminal, or read from standard input or from a file descriptor.
#define SIPTRUNKCTL_PASSWORD_OPTIONS \
  {"password-stdin", no_argument, nullptr, 0}, {"password-fd", required_argument, nullptr, 0}

// The command table, in the order of the program's help.
const std::vector<const Command*>& AllCommands();

// "siptrunkctl trunk add", for messages.
std::string CommandName(const Command& command);
void PrintCommandHelp(const Command& command);
// Prints "siptrunkctl <cmd>: <message>" and a hint to --help; returns kExitUsage.
int UsageError(const Command& command, const std::string& message);

// The arguments of one command after getopt_long: the options given (by long
// name, with their value or "") and the positional words. Options may come
// anywhere among the words; "--" ends them, so that a word may start with a
// dash ("trunk add -- -name USER").
struct ParsedArgs {
  bool help = false;
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
  bool Has(const char* name) const { return options.count(name) != 0; }
};
// False with *error for an unknown option or a missing or surplus value.
bool ParseArgs(const Command& command, const std::vector<std::string>& args, ParsedArgs* parsed,
               std::string* error);

// Parses the arguments of a command and checks the number of positional
// words. False with *status set when the command is already done: help
// printed (kExitOk) or a usage error reported.
bool PrepareArgs(const Command& command, const std::vector<std::string>& args, size_t minWords, size_t maxWords,
                 ParsedArgs* parsed, int* status);

// The password of a command that sets one, from the source its options name:
// --password-stdin (one line of standard input), --password-fd N (one line of
// descriptor N) or, without either, asked on the terminal that standard input
// is, without echo. `what` names it in the prompt. False with *status set
// (kExitUsage: no source or a bad one; kExitFailure: reading failed).
bool ReadPassword(const Command& command, const ParsedArgs& parsed, const std::string& what, std::string* password,
                  int* status);
// Longest password taken, in bytes.
constexpr size_t kMaxPasswordBytes = 1024;

// 'name' with non-printable bytes shown as \xNN, for messages.
std::string Quoted(const std::string& name);

// Argument checks. Each returns false and says why in *error, naming `what`.
bool CheckName(const std::string& what, const std::string& value, std::string* error);
bool CheckIPv4(const std::string& what, const std::string& value, std::string* error);
bool CheckPort(const std::string& what, const std::string& value, std::string* error);
bool ParseCount(const std::string& what, const std::string& value, unsigned long* count, std::string* error);

// The store. OpenStoreForEdit creates it when missing; OpenStoreForRead
// refuses a missing file. Both print the reason on failure.
std::unique_ptr<StoreAdmin> OpenStoreForEdit(const Command& command);
std::unique_ptr<StoreAdmin> OpenStoreForRead(const Command& command);
// Prints "siptrunkctl <cmd>: <what>: <error>"; returns kExitFailure.
int StoreFailure(const Command& command, const std::string& what, const std::string& error);
// Reads the store; prints the reason and returns false on failure.
bool ReadStore(const Command& command, StoreAdmin* store, StoreSnapshot* snapshot);

// "delete NAME..." of one kind of row: every name is checked first (an unknown
// one deletes nothing), each deletion is its own transaction, and one update
// message of `messageType` names the rows that were deleted.
struct DeleteKind {
  const char* rowDescription;  // e.g. "SIP trunk", for "there is no SIP trunk named ..."
  const char* messageType;     // "6" or "9"
  bool (*exists)(const StoreSnapshot& snapshot, const std::string& name);
  bool (StoreAdmin::*remove)(const std::string& name, std::string* error);
};
int RunDeleteNames(const Command& command, const std::vector<std::string>& args, const DeleteKind& kind);

// Sends one update message to the agent. Returns kExitOk, kExitAgentDown
// (with the message that the store edit waits for the agent's next load when
// `afterStoreEdit`) or kExitFailure.
int SendToAgent(const Command& command, const std::list<std::string>& items, bool afterStoreEdit);

// Whether something takes datagrams on the socket at `path`: kLive when a
// connect succeeds, kNoListener when the file is missing or nobody has it
// bound, kProbeError otherwise (with *why, e.g. permission denied).
enum class SocketProbe { kLive, kNoListener, kProbeError };
SocketProbe ProbeDatagramSocket(const std::string& path, std::string* why);
// The process id in the agent's pid file, or 0 when there is none or it
// names no living process (a zombie, ended but not yet reaped, counts as gone).
long LivePidFromFile(const std::string& path);
// Whether process `pid` exists and has not ended (zombies have).
bool ProcessLives(long pid);

}  // namespace ctl
}  // namespace siptrunk
