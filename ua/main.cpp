// siptrunk-ua: the reference SIP user agent on the other end of the agent's
// user-agent link. One thread: the su_root event loop runs the SIP stack,
// the link to the agent, the timers and the termination signals.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <sofia-sip/su.h>
#include <sofia-sip/su_log.h>
#include <sofia-sip/su_wait.h>

#include "platform/logger.h"
#include "ua/options.h"
#include "ua/user_agent.h"

namespace {

CSIPTrunkLogger* g_log = nullptr;  // read by the stack's log hook, on the loop's thread

// The stack's own diagnostics go to our log.
void SofiaLog(void*, char const* format, va_list args) __attribute__((format(printf, 2, 0)));
void SofiaLog(void*, char const* format, va_list args) {
  char line[1024];
  std::vsnprintf(line, sizeof line, format, args);
  size_t n = std::strlen(line);
  while (n && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
  if (n && g_log) g_log->TRACE(4, "SIP: %s\n", line);
}

int OnSignal(su_root_magic_t*, su_wait_t* w, su_wakeup_arg_t* arg) {
  signalfd_siginfo info;
  const int fd = w->fd;
  while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
  static_cast<siptrunk::ua::UserAgent*>(arg)->Shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  siptrunk::ua::Options options;
  switch (siptrunk::ua::ParseOptions(argc, argv, &options)) {
    case siptrunk::ua::ParseResult::kExit0: return 0;
    case siptrunk::ua::ParseResult::kExit2: return 2;
    case siptrunk::ua::ParseResult::kRun: break;
  }
  // Termination signals arrive as a readable descriptor in the event loop.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGHUP);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int sigfd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);

  CSIPTrunkLogger log("siptrunk-ua.log");
  g_log = &log;
  log.TRACE(3, "INFO: UA: siptrunk-ua starting\n");
  if (su_init() != 0) {
    log.TRACE(0, "ERROR: UA: su_init failed\n");
    return 1;
  }
  su_log_redirect(nullptr, &SofiaLog, nullptr);
  su_root_t* root = su_root_create(nullptr);
  int rc = 1;
  if (root && sigfd >= 0) {
    su_root_threading(root, 0);  // the stack runs on this thread, not on one of its own
    {
      siptrunk::ua::UserAgent ua(root, options, &log);
      su_wait_t wait[1];
      if (ua.Start() && su_wait_create(wait, sigfd, SU_WAIT_IN) == 0 &&
          su_root_register(root, wait, &OnSignal, &ua, 0) >= 0) {
        su_root_run(root);
        rc = 0;
      } else {
        std::fprintf(stderr, "siptrunk-ua: cannot start; see siptrunk-ua.log\n");
      }
    }
    su_root_destroy(root);
  }
  su_deinit();
  log.TRACE(3, "INFO: UA: siptrunk-ua stopped\n");
  g_log = nullptr;
  if (sigfd >= 0) close(sigfd);
  return rc;
}
