#include "ua/long_lived.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace siptrunk {
namespace ua {

namespace {
size_t PageRounded(size_t bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// Chunks of up to 64 blocks: the first ones stay small (an idle UA with a
// few bindings keeps a page or two), later ones fill several pages.
std::pmr::pool_options Options() {
  std::pmr::pool_options o;
  o.max_blocks_per_chunk = 64;
  o.largest_required_pool_block = 512;  // larger blocks go to the kernel directly
  return o;
}
}  // namespace

MmapResource* MmapResource::Get() {
  static MmapResource instance;
  return &instance;
}

void* MmapResource::do_allocate(size_t bytes, size_t alignment) {
  if (alignment > static_cast<size_t>(sysconf(_SC_PAGESIZE))) throw std::bad_alloc();
  void* p = mmap(nullptr, PageRounded(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

void MmapResource::do_deallocate(void* p, size_t bytes, size_t) { munmap(p, PageRounded(bytes)); }

LongLivedPool::LongLivedPool() : std::pmr::unsynchronized_pool_resource(Options(), MmapResource::Get()) {}

}  // namespace ua
}  // namespace siptrunk
