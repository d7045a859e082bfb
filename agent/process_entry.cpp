#include "agent/process_entry.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

#include "agent/siptrunk_agent.h"
#include "platform/thread.h"

std::atomic<CSIPTrunkAgent*> pSTAgent{nullptr};

namespace {

// The handled signals, at their index in the saved-action table.
constexpr int kHandledSignals[] = {SIGTERM, SIGILL, SIGSEGV, SIGABRT, SIGFPE, SIGHUP, SIGINT, SIGQUIT, SIGBUS};
constexpr int kHandledCount = sizeof kHandledSignals / sizeof kHandledSignals[0];
constexpr int kIgnoredSignals[] = {SIGPIPE, SIGSYS, SIGTTIN, SIGTTOU, SIGTSTP, SIGXCPU, SIGXFSZ};

struct sigaction g_handledAction;
struct sigaction g_ignoreAction;
struct sigaction g_savedActions[kHandledCount];  // written before any handler can run

// Teardown hand-off. g_teardownClaimed makes the teardown happen at most once,
// whichever signals arrive on whichever threads.
std::atomic<bool> g_teardownClaimed{false};
int g_requestPipe[2] = {-1, -1};  // handler -> teardown thread: the signal number
int g_donePipe[2] = {-1, -1};     // teardown thread -> handler: finished

int SavedActionIndex(int signalNumber) {
  for (int i = 0; i < kHandledCount; ++i) {
    if (kHandledSignals[i] == signalNumber) return i;
  }
  return -1;
}

bool IsFaultSignal(int signalNumber) {
  return signalNumber == SIGILL || signalNumber == SIGSEGV || signalNumber == SIGABRT ||
         signalNumber == SIGFPE || signalNumber == SIGBUS;
}

void DeleteAgent() {
  CSIPTrunkAgent* agent = pSTAgent.load();
  if (agent == nullptr) return;
  delete agent;
  pSTAgent.store(nullptr);
}

// Blocks every signal and waits for the one teardown request.
void* TeardownThread(void*) {
  int signalNumber = 0;
  ssize_t got;
  do {
    got = read(g_requestPipe[0], &signalNumber, sizeof signalNumber);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof signalNumber)) return nullptr;
  DeleteAgent();
  const char done = 1;
  ssize_t ignored = write(g_donePipe[1], &done, 1);
  (void)ignored;
  return nullptr;
}

bool BeginTeardownThread() {
  if (pipe2(g_requestPipe, O_CLOEXEC) != 0 || pipe2(g_donePipe, O_CLOEXEC) != 0) return false;
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  const int rc = pthread_create(&thread, nullptr, TeardownThread, nullptr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) return false;
  pthread_detach(thread);
  return true;
}

// Async-signal-safe: waits for the teardown thread's report, at most boundMs.
void AwaitTeardown(int boundMs) {
  pollfd done{g_donePipe[0], POLLIN, 0};
  while (poll(&done, 1, boundMs) < 0 && errno == EINTR) {
  }
}

// Async-signal-safe: puts the previous action back and raises the signal with
// it in force. Should that action not end the process (ignored, or a handler
// that returns), the process ends all the same: the agent is gone.
[[noreturn]] void EndBySignal(int signalNumber, int index) {
  sigaction(signalNumber, &g_savedActions[index], nullptr);
  raise(signalNumber);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signalNumber);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  _exit(128 + signalNumber);
}

void InstallDispositions() {
  sigfillset(&g_handledAction.sa_mask);
  g_handledAction.sa_handler = ResourceCleaner;
  g_handledAction.sa_flags = 0;
  for (int i = 0; i < kHandledCount; ++i) sigaction(kHandledSignals[i], &g_handledAction, &g_savedActions[i]);

  sigfillset(&g_ignoreAction.sa_mask);
  g_ignoreAction.sa_handler = SIG_IGN;
  g_ignoreAction.sa_flags = 0;
  for (int signalNumber : kIgnoredSignals) sigaction(signalNumber, &g_ignoreAction, nullptr);
}

}  // namespace

void ResourceCleaner(int signalNumber) {
  if (signalNumber > 15) return;
  const int index = SavedActionIndex(signalNumber);
  if (index < 0) return;

  bool expected = false;
  if (!g_teardownClaimed.compare_exchange_strong(expected, true)) {
    // A teardown has begun for an earlier signal, which will end the process.
    // A termination signal adds nothing; a fault must not return to the
    // faulting instruction, so it ends the process at once.
    if (IsFaultSignal(signalNumber)) EndBySignal(signalNumber, index);
    return;  // nothing here touched errno
  }

  // This thread will not go back to what it was doing: should it be a listen
  // thread, the teardown must not wait for it.
  Thread::MarkCurrentThreadGone();
  ssize_t ignored = write(g_requestPipe[1], &signalNumber, sizeof signalNumber);
  (void)ignored;
  // A termination signal is taken only on the entry's thread at a point where
  // it holds no lock (every other thread blocks it): the teardown cannot wait
  // on this thread, and is waited for as long as it takes. A fault may have
  // struck a lock holder: its wait is bounded.
  AwaitTeardown(IsFaultSignal(signalNumber) ? kTeardownBoundMs : -1);
  EndBySignal(signalNumber, index);
}

int RunSipTrunkAgent() {
  // The mask is set whatever was inherited: the termination signals are
  // blocked (taken only where the entry waits, see below), everything else is
  // open. Threads begun from here on inherit this mask.
  sigset_t termination;
  Thread::TerminationSignals(&termination);
  pthread_sigmask(SIG_SETMASK, &termination, nullptr);
  if (!BeginTeardownThread()) {
    std::fprintf(stderr, "siptrunk-agent: cannot begin the teardown thread\n");
    return 1;
  }
  InstallDispositions();

  try {
    pSTAgent.store(new CSIPTrunkAgent());
    pSTAgent.load()->Start();  // takes termination signals while it waits for the user agent
    sigset_t none;
    sigemptyset(&none);
    for (;;) sigsuspend(&none);  // the idle loop: holds no lock; a handled signal never returns here
  } catch (const std::exception& e) {
    // stdio, not iostream: iostream would pull the whole locale machinery
    // (about 0.7 MB) into the device's static binary for this one line.
    std::printf("%s\n", e.what());
    std::fflush(stdout);
    bool expected = false;
    if (g_teardownClaimed.compare_exchange_strong(expected, true)) DeleteAgent();
  }
  return 1;  // an exception ended the agent: a failure
}
