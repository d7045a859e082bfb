#include "platform/system.h"

#include <pthread.h>
#include <signal.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/thread.h"

namespace siptrunk {

std::string HostName() {
  char name[1024] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  return std::string(name);  // the buffer keeps a final NUL even when the name was cut
}

void SignalSelf(int signalNumber) { kill(getpid(), signalNumber); }

int WaitSeconds(unsigned long seconds) {
  timeval timeout{static_cast<time_t>(seconds), 0};
  return select(0, nullptr, nullptr, nullptr, &timeout);
}

int WaitSecondsAdmittingTermination(unsigned long seconds) {
  sigset_t during, termination;
  pthread_sigmask(SIG_SETMASK, nullptr, &during);
  Thread::TerminationSignals(&termination);
  for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
    if (sigismember(&termination, signalNumber) == 1) sigdelset(&during, signalNumber);
  }
  const timespec timeout{static_cast<time_t>(seconds), 0};
  return pselect(0, nullptr, nullptr, nullptr, &timeout, &during);
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

void ExitProcess(int status) { std::exit(status); }

}  // namespace siptrunk
