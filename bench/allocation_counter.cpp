#include "allocation_counter.h"

#include <cstdlib>
#include <new>

namespace zarn_bench {
namespace {

// The benchmarks run on one thread; the counters are plain integers.
HeapCounts counts;

// Every block carries its size in a header, so delete knows what it frees. The header keeps the
// block at the alignment malloc gives (16 bytes).
constexpr std::size_t kHeader = 16;

void* counted_allocate(std::size_t size) {
  void* block = std::malloc(size + kHeader);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  counts.live += size;
  if (counts.live > counts.peak) counts.peak = counts.live;
  return static_cast<char*>(block) + kHeader;
}

void counted_free(void* pointer) noexcept {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - kHeader;
  counts.live -= *static_cast<std::size_t*>(block);
  std::free(block);
}

}  // namespace

HeapCounts heap_counts() { return counts; }

void reset_heap_peak() { counts.peak = counts.live; }

}  // namespace zarn_bench

void* operator new(std::size_t size) { return zarn_bench::counted_allocate(size); }
void* operator new[](std::size_t size) { return zarn_bench::counted_allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return zarn_bench::counted_allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return zarn_bench::counted_allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* pointer) noexcept { zarn_bench::counted_free(pointer); }
void operator delete[](void* pointer) noexcept { zarn_bench::counted_free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { zarn_bench::counted_free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { zarn_bench::counted_free(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { zarn_bench::counted_free(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { zarn_bench::counted_free(pointer); }
