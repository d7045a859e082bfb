// Threads and the recursive lock, on real pthreads. Waiting for threads (also one marked gone by the fault
// handler) is test_lifecycle.py's and the unit tests' (they run the real thread.cpp).
#include "platform/thread.h"

#include <signal.h>

#include "tests/platform/link_test_support.h"

// A recursive ThreadMutex is locked again on purpose, which clang's lock analysis rejects.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace {

// Only the entry waits for termination signals; faults are handled where they happen.
TEST(ThreadTest, BegunThreadsBlockTerminationSignalsAndTheCallerKeepsItsMask) {
  sigset_t report{}, after;
  const auto reportMask = [](void* mask) {
    return static_cast<unsigned long>(pthread_sigmask(SIG_BLOCK, nullptr, static_cast<sigset_t*>(mask)));
  };
  const unsigned long handle = Thread::BeginThread(reportMask, &report, 0);
  ASSERT_TRUE(handle != 0 && Thread::WaitForThread(handle, Thread::kInfinite, nullptr));
  pthread_sigmask(SIG_BLOCK, nullptr, &after);
  std::string masks;  // "<blocked in the thread><blocked in the caller>" per signal
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGSEGV}) {
    masks += std::to_string(sigismember(&report, sig)) + std::to_string(sigismember(&after, sig)) + " ";
  }
  EXPECT_EQ(masks, "10 10 10 10 00 ");
}

TEST(ThreadMutexTest, RecursiveAndCountedPerThread) {
  static ThreadMutex table, other;
  table.Lock();
  table.Lock();  // the holder may lock again
  {
    ThreadMutexLock scoped(other);
    EXPECT_EQ(ThreadMutex::HeldByCurrentThread(), 3);
  }
  static std::atomic<int> heldInside{-1};
  const auto lockOnce = [](void*) {
    const int before = ThreadMutex::HeldByCurrentThread();  // counts are per thread
    ThreadMutexLock lock(table);
    heldInside = before * 10 + ThreadMutex::HeldByCurrentThread();
    return 0ul;
  };
  const unsigned long handle = Thread::BeginThread(lockOnce, nullptr, 0);
  ASSERT_NE(handle, 0u);
  table.Unlock();  // still held once: another thread cannot get it
  EXPECT_FALSE(Thread::WaitForThread(handle, 50, nullptr) || heldInside != -1);
  table.Unlock();
  EXPECT_TRUE(ThreadMutex::HeldByCurrentThread() == 0 && Thread::WaitForThread(handle, Thread::kInfinite, nullptr) &&
              heldInside == 1);
}

}  // namespace
