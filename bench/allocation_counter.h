#pragma once
// Heap accounting for the memory figures: the benchmark executable replaces the global operator new
// and delete with versions that count the bytes requested and freed.

#include <cstddef>

namespace zarn_bench {

struct HeapCounts {
  /// Bytes requested by live allocations.
  std::size_t live = 0;
  /// The largest `live` since the last `reset_heap_peak`.
  std::size_t peak = 0;
};

HeapCounts heap_counts();

/// Starts a new peak measurement from the current live bytes.
void reset_heap_peak();

}  // namespace zarn_bench
