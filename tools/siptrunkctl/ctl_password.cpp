// Where a password comes from. Never the command line: every user of the
// machine can read a process's arguments (ps, /proc/PID/cmdline). Instead, as
// `docker login` and `nmcli --ask` do: asked on the terminal without echo,
// one line of standard input (--password-stdin), or one line of an inherited
// descriptor (--password-fd N, for scripts that keep standard input).
//
// Single-threaded. While echo is off, the handlers of the terminating signals
// put the terminal back before the signal takes its default course.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/siptrunkctl/ctl.h"

namespace siptrunk {
namespace ctl {
namespace {

constexpr int kEchoSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The terminal's settings from before echo was switched off; read by the
// signal handler, so written only while those signals cannot arrive here yet.
struct termios g_savedTerminal;
volatile sig_atomic_t g_terminalFd = -1;

void RestoreTerminalAndRaise(int signo) {
  if (g_terminalFd >= 0) tcsetattr(g_terminalFd, TCSAFLUSH, &g_savedTerminal);
  signal(signo, SIG_DFL);
  raise(signo);
}

enum class LineResult { kOk, kTooLong, kNul, kError };

// One line from fd, without its line end; end of input ends the line too. Byte
// by byte, so that nothing past the line is taken from a shared descriptor.
LineResult ReadLine(int fd, std::string* line, int* err) {
  line->clear();
  for (;;) {
    char c = 0;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = errno;
      return LineResult::kError;
    }
    if (n == 0 || c == '\n') break;
    if (c == '\0') return LineResult::kNul;
    if (line->size() >= kMaxPasswordBytes) return LineResult::kTooLong;
    line->push_back(c);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return LineResult::kOk;
}

// Asks on the terminal `fd` with echo off; the terminal is put back whatever happens.
LineResult AskOnTerminal(int fd, const std::string& prompt, std::string* line, int* err) {
  if (tcgetattr(fd, &g_savedTerminal) != 0) {
    *err = errno;
    return LineResult::kError;
  }
  struct sigaction restore {}, previous[sizeof kEchoSignals / sizeof kEchoSignals[0]];
  restore.sa_handler = RestoreTerminalAndRaise;
  sigemptyset(&restore.sa_mask);
  g_terminalFd = fd;
  for (size_t i = 0; i < sizeof kEchoSignals / sizeof kEchoSignals[0]; ++i) {
    sigaction(kEchoSignals[i], &restore, &previous[i]);
  }
  struct termios quiet = g_savedTerminal;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  quiet.c_lflag |= ECHONL;  // the line end still shows
  LineResult result = LineResult::kError;
  // Echo goes off before the prompt shows: what is typed after it never echoes.
  if (tcsetattr(fd, TCSAFLUSH, &quiet) != 0) {
    *err = errno;
  } else {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    result = ReadLine(fd, line, err);
    tcsetattr(fd, TCSAFLUSH, &g_savedTerminal);
  }
  g_terminalFd = -1;
  for (size_t i = 0; i < sizeof kEchoSignals / sizeof kEchoSignals[0]; ++i) {
    sigaction(kEchoSignals[i], &previous[i], nullptr);
  }
  return result;
}

}  // namespace

bool ReadPassword(const Command& command, const ParsedArgs& parsed, const std::string& what, std::string* password,
                  int* status) {
  const bool fromStdin = parsed.Has("password-stdin");
  const bool fromFd = parsed.Has("password-fd");
  if (fromStdin && fromFd) {
    *status = UsageError(command, "give only one of --password-stdin and --password-fd");
    return false;
  }
  int fd = STDIN_FILENO;
  std::string source = "standard input";
  if (fromFd) {
    const std::string& text = parsed.options.at("password-fd");
    unsigned long number = 0;
    std::string error;
    // Descriptor 0 is allowed (it is standard input); ParseCount refuses 0, so test it apart.
    if (text != "0" && (!ParseCount("the descriptor", text, &number, &error) || number > 1000000)) {
      *status = UsageError(command, "--password-fd takes a descriptor number, not '" + text + "'");
      return false;
    }
    fd = static_cast<int>(number);
    source = "descriptor " + text;
    if (fcntl(fd, F_GETFD) < 0) {
      *status = UsageError(command, "--password-fd " + text + ": the descriptor is not open");
      return false;
    }
  }
  const bool ask = !fromStdin && !fromFd;
  if (ask && !isatty(STDIN_FILENO)) {
    *status = UsageError(command,
                         "standard input is not a terminal to ask for the password on; "
                         "give it with --password-stdin or --password-fd N");
    return false;
  }
  int err = 0;
  const LineResult result =
      ask ? AskOnTerminal(STDIN_FILENO, what + ": ", password, &err) : ReadLine(fd, password, &err);
  const std::string name = CommandName(command);
  switch (result) {
    case LineResult::kOk:
      return true;
    case LineResult::kTooLong:
      *status = UsageError(command, "the password is longer than " + std::to_string(kMaxPasswordBytes) + " bytes");
      return false;
    case LineResult::kNul:
      *status = UsageError(command, "the password holds a NUL byte");
      return false;
    case LineResult::kError:
      break;
  }
  std::fprintf(stderr, "%s: cannot read the password from %s: %s\n", name.c_str(),
               ask ? "the terminal" : source.c_str(), std::strerror(err));
  *status = kExitFailure;
  return false;
}

}  // namespace ctl
}  // namespace siptrunk
