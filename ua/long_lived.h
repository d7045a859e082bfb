// Memory for the registrar's long-lived state (bindings, last answers),
// kept out of malloc's heap.
//
// Why: a burst of REGISTERs fills the heap with the stack's per-transaction
// memory (about 10 KB each, held for the transaction hold), which is all
// freed again a few seconds later. A binding allocated from the same heap
// during the burst lands among those transactions, and one small live chunk
// keeps its whole page resident: 1,000 bindings made in a burst kept about
// 20 MB of freed heap in memory. Allocated from pages of their own (taken
// with mmap), they leave the heap free to be given back (UserAgent's tick
// calls malloc_trim once the hold window after a burst has passed).
//
// LongLivedPool is not thread-safe: each owner uses its own from its own
// thread (here the event-loop thread).
#pragma once

#include <cstddef>
#include <memory_resource>

namespace siptrunk {
namespace ua {

// Whole pages from the kernel, one mapping per request; for a pool's chunks.
class MmapResource : public std::pmr::memory_resource {
 public:
  static MmapResource* Get();

 private:
  void* do_allocate(size_t bytes, size_t alignment) override;
  void do_deallocate(void* p, size_t bytes, size_t alignment) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

// A pool of small blocks whose chunks come from MmapResource.
class LongLivedPool : public std::pmr::unsynchronized_pool_resource {
 public:
  LongLivedPool();
};

}  // namespace ua
}  // namespace siptrunk
