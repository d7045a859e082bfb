// Threads and the recursive lock the agent uses.
//
// Thread handles are opaque numbers (0 means "no thread"). Every thread begun
// here blocks the asynchronous termination signals (SIGTERM, SIGINT, SIGHUP,
// SIGQUIT), so that a process-directed termination signal is delivered to the
// process entry's thread and never to a listen thread, which the teardown
// waits for.
#pragma once

#include <pthread.h>
#include <signal.h>

#include "platform/thread_annotations.h"

class Thread {
 public:
  using Proc = unsigned long (*)(void*);
  static constexpr unsigned long kInfinite = 0xFFFFFFFFul;

  // The asynchronous termination signals: SIGTERM, SIGINT, SIGHUP, SIGQUIT.
  static void TerminationSignals(sigset_t* set);

  // Starts proc(arg) on a new thread. `flags` is reserved and must be 0.
  // Returns the handle, or 0 when the thread could not be created.
  static unsigned long BeginThread(Proc proc, void* arg, unsigned long flags);

  // Waits until the thread has ended (or was marked gone, see below), at most
  // timeoutMs milliseconds (kInfinite: no limit). Stores the thread's result
  // in *exitCode when it is non-null and the thread returned. True when the
  // thread has ended; the handle is released then and must not be used again.
  static bool WaitForThread(unsigned long handle, unsigned long timeoutMs, unsigned long* exitCode);

  // Sleeps for ms milliseconds; a signal does not cut the sleep short.
  static void Sleep(unsigned long ms);

  // Async-signal-safe. Called by a fault handler running on a thread begun
  // here: that thread will never return, so anyone waiting for it in
  // WaitForThread is released at once. No effect on other threads.
  static void MarkCurrentThreadGone();
};

// A recursive lock: the holder may lock again and releases it after as many
// unlocks. Each thread counts how many ThreadMutex locks it holds, so that
// code which must never run under an agent lock can check it.
class CAPABILITY("mutex") ThreadMutex {
 public:
  ThreadMutex();
  ~ThreadMutex();
  ThreadMutex(const ThreadMutex&) = delete;
  ThreadMutex& operator=(const ThreadMutex&) = delete;

  void Lock() ACQUIRE();
  void Unlock() RELEASE();

  // Number of ThreadMutex locks (counting re-entries) the calling thread holds.
  static int HeldByCurrentThread();

 private:
  pthread_mutex_t m_mutex;
};

// Holds a ThreadMutex for one scope.
class SCOPED_CAPABILITY ThreadMutexLock {
 public:
  explicit ThreadMutexLock(ThreadMutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
  ~ThreadMutexLock() RELEASE() { m_mutex.Unlock(); }
  ThreadMutexLock(const ThreadMutexLock&) = delete;
  ThreadMutexLock& operator=(const ThreadMutexLock&) = delete;

 private:
  ThreadMutex& m_mutex;
};
