// Threads on pthreads, with a per-thread "ended" semaphore so that a waiter
// can be released by a thread that will never return (a fault handler calls
// MarkCurrentThreadGone on it).
#include "platform/thread.h"

#include <errno.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdint>

namespace {

// One begun thread. Owned by the handle: freed by a successful WaitForThread
// (or leaked on purpose when the thread was marked gone and can never be
// joined: the process is about to end then).
struct ThreadRecord {
  pthread_t thread{};
  Thread::Proc proc = nullptr;
  void* arg = nullptr;
  unsigned long result = 0;
  std::atomic<bool> returned{false};
  std::atomic<bool> ended{false};  // returned, or marked gone
  sem_t endedSignal;               // posted once when `ended` first becomes true
};

// The record of the calling thread, for MarkCurrentThreadGone. A plain
// pointer in initial-exec TLS of the executable: reading it in a signal
// handler allocates nothing.
thread_local ThreadRecord* t_currentRecord = nullptr;
thread_local int t_heldMutexes = 0;

void MarkEnded(ThreadRecord* record) {
  bool expected = false;
  if (record->ended.compare_exchange_strong(expected, true)) sem_post(&record->endedSignal);
}

void* Trampoline(void* raw) {
  auto* record = static_cast<ThreadRecord*>(raw);
  t_currentRecord = record;
  record->result = record->proc(record->arg);
  record->returned.store(true);
  MarkEnded(record);
  return nullptr;
}

bool SemWaitMs(sem_t* sem, unsigned long timeoutMs) {
  if (timeoutMs == Thread::kInfinite) {
    while (sem_wait(sem) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (sem_timedwait(sem, &deadline) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

void Thread::TerminationSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGQUIT);
}

unsigned long Thread::BeginThread(Proc proc, void* arg, unsigned long flags) {
  if (proc == nullptr || flags != 0) return 0;
  auto* record = new ThreadRecord;
  record->proc = proc;
  record->arg = arg;
  if (sem_init(&record->endedSignal, 0, 0) != 0) {
    delete record;
    return 0;
  }
  // The new thread inherits this mask: termination signals stay with the
  // process entry's thread.
  sigset_t blocked, previous;
  TerminationSignals(&blocked);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  const int rc = pthread_create(&record->thread, nullptr, Trampoline, record);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    sem_destroy(&record->endedSignal);
    delete record;
    return 0;
  }
  static_assert(sizeof(unsigned long) >= sizeof(uintptr_t), "a handle holds a pointer");
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(record));
}

bool Thread::WaitForThread(unsigned long handle, unsigned long timeoutMs, unsigned long* exitCode) {
  if (handle == 0) return false;
  auto* record = reinterpret_cast<ThreadRecord*>(static_cast<uintptr_t>(handle));
  if (!SemWaitMs(&record->endedSignal, timeoutMs)) return false;
  if (!record->returned.load()) return true;  // marked gone: it cannot be joined
  pthread_join(record->thread, nullptr);
  if (exitCode != nullptr) *exitCode = record->result;
  sem_destroy(&record->endedSignal);
  delete record;
  return true;
}

void Thread::Sleep(unsigned long ms) {
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void Thread::MarkCurrentThreadGone() {
  ThreadRecord* record = t_currentRecord;
  if (record != nullptr) MarkEnded(record);
}

ThreadMutex::ThreadMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&m_mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

ThreadMutex::~ThreadMutex() { pthread_mutex_destroy(&m_mutex); }

void ThreadMutex::Lock() {
  pthread_mutex_lock(&m_mutex);
  ++t_heldMutexes;
}

void ThreadMutex::Unlock() {
  --t_heldMutexes;
  pthread_mutex_unlock(&m_mutex);
}

int ThreadMutex::HeldByCurrentThread() { return t_heldMutexes; }
