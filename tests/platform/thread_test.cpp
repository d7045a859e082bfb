// Threads and the recursive lock, on real pthreads.
#include "platform/thread.h"

#include <signal.h>

#include <future>

#include "tests/platform/link_test_support.h"

// A recursive ThreadMutex is locked again on purpose, which clang's lock analysis rejects.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace {

unsigned long ReturnArgument(void* arg) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(arg)); }


TEST(ThreadTest, WaitGivesTheExitCodeOnceTheThreadEndsAndBadArgumentsAreRefused) {
  for (unsigned long expected : {0ul, 4ul, 0xFFFFFFFFul}) {
    const unsigned long handle = Thread::BeginThread(ReturnArgument, reinterpret_cast<void*>(expected), 0);
    unsigned long code = 12345;
    ASSERT_TRUE(handle != 0 && Thread::WaitForThread(handle, Thread::kInfinite, &code));
    EXPECT_EQ(code, expected);
  }
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  const auto waitForRelease = [](void* arg) { return static_cast<std::shared_future<void>*>(arg)->wait(), 7ul; };
  const unsigned long handle = Thread::BeginThread(waitForRelease, &released, 0);
  ASSERT_NE(handle, 0u);
  unsigned long code = 0;
  EXPECT_FALSE(Thread::WaitForThread(handle, 0, &code) || Thread::WaitForThread(handle, 30, &code) || code != 0)
      << "no exit code before the thread ended";
  release.set_value();
  // A time limit far beyond what the thread needs: the wait ends when the thread does.
  EXPECT_TRUE(Thread::WaitForThread(handle, 60000, &code) && code == 7u);

  EXPECT_EQ(Thread::BeginThread(nullptr, nullptr, 0), 0u);
  EXPECT_EQ(Thread::BeginThread(ReturnArgument, nullptr, 1), 0u) << "no flags are defined";
  code = 5;
  EXPECT_FALSE(Thread::WaitForThread(0, 10, &code) || code != 5u);
}

// A thread marked gone by the fault handler releasing its waiter is test_lifecycle.py's.

TEST(ThreadTest, BegunThreadsBlockTerminationSignalsAndTheCallerKeepsItsMask) {
  sigset_t before, after;
  pthread_sigmask(SIG_BLOCK, nullptr, &before);
  ASSERT_FALSE(sigismember(&before, SIGTERM));

  sigset_t report{};
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

struct Contender {
  ThreadMutex* mutex;
  std::atomic<bool> acquired{false};
  int heldInside = -1;
};

unsigned long LockOnce(void* arg) {
  auto* c = static_cast<Contender*>(arg);
  EXPECT_EQ(ThreadMutex::HeldByCurrentThread(), 0) << "counts are per thread";
  c->mutex->Lock();
  c->acquired = true;
  c->heldInside = ThreadMutex::HeldByCurrentThread();
  c->mutex->Unlock();
  return 0;
}

TEST(ThreadMutexTest, RecursiveAndCountedPerThread) {
  ThreadMutex table, other;
  EXPECT_EQ(ThreadMutex::HeldByCurrentThread(), 0);
  table.Lock();
  table.Lock();  // the holder may lock again
  EXPECT_EQ(ThreadMutex::HeldByCurrentThread(), 2);
  {
    ThreadMutexLock scoped(other);
    EXPECT_EQ(ThreadMutex::HeldByCurrentThread(), 3);
  }
  EXPECT_EQ(ThreadMutex::HeldByCurrentThread(), 2);

  Contender contender;
  contender.mutex = &table;
  const unsigned long handle = Thread::BeginThread(LockOnce, &contender, 0);
  ASSERT_NE(handle, 0u);
  // While held (even once), another thread cannot get it.
  EXPECT_FALSE(Thread::WaitForThread(handle, 50, nullptr));
  table.Unlock();
  EXPECT_FALSE(Thread::WaitForThread(handle, 50, nullptr) || contender.acquired);
  table.Unlock();
  EXPECT_EQ(ThreadMutex::HeldByCurrentThread(), 0);
  ASSERT_TRUE(Thread::WaitForThread(handle, Thread::kInfinite, nullptr));
  EXPECT_TRUE(contender.acquired && contender.heldInside == 1);
}

}  // namespace
