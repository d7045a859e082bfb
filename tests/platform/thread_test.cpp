// Threads and the recursive lock, on real pthreads. A thread marked gone by the
// fault handler releasing its waiter is test_lifecycle.py's.
#include "platform/thread.h"

#include <signal.h>

#include <future>

#include "tests/platform/link_test_support.h"

// A recursive ThreadMutex is locked again on purpose, which clang's lock analysis rejects.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace {

TEST(ThreadTest, WaitGivesTheExitCodeOnlyOnceTheThreadEnds) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  const auto waitForRelease = [](void* arg) { return static_cast<std::shared_future<void>*>(arg)->wait(), ~0ul; };
  const unsigned long handle = Thread::BeginThread(waitForRelease, &released, 0);
  ASSERT_NE(handle, 0u);
  unsigned long code = 0;
  EXPECT_FALSE(Thread::WaitForThread(handle, 0, &code) || Thread::WaitForThread(handle, 30, &code) || code != 0);
  release.set_value();
  // A time limit far beyond what the thread needs: the wait ends when the thread does.
  EXPECT_TRUE(Thread::WaitForThread(handle, 60000, &code) && code == ~0ul);
  EXPECT_EQ(Thread::BeginThread(nullptr, nullptr, 0), 0u);
}

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
  // While held (even once), another thread cannot get it.
  EXPECT_FALSE(Thread::WaitForThread(handle, 50, nullptr));
  table.Unlock();
  EXPECT_FALSE(Thread::WaitForThread(handle, 50, nullptr) || heldInside != -1);
  table.Unlock();
  EXPECT_EQ(ThreadMutex::HeldByCurrentThread(), 0);
  ASSERT_TRUE(Thread::WaitForThread(handle, Thread::kInfinite, nullptr));
  EXPECT_EQ(heldInside, 1);
}

}  // namespace
