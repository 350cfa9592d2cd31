#pragma once
/// An index of a schedule's allocations by (tensor, tile), internal to the compiler library.
///
/// Every lookup of the exchange lowering and the per-tile programs names the first allocation, in
/// list order, of one tensor on one tile that has some property. Scanning the whole list for each
/// lookup makes those stages cost (lookups x allocations); the index gives the allocations of one
/// (tensor, tile) directly, still in list order, so the first match is the same allocation.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zarn_compiler/allocation.h"
#include "zarn_compiler/graph.h"

namespace zarn_compiler::detail {

class CopyIndex {
 public:
  /// Buckets the allocations by tile (a counting sort), then orders each tile's bucket by tensor,
  /// keeping list order among the allocations of one tensor. `allocations` must outlive the index.
  explicit CopyIndex(std::span<const Allocation> allocations);

  /// The first allocation of `tensor` on `tile`, in list order, that `matches` accepts, or null.
  template <typename Predicate>
  const Allocation* first(TensorId tensor, std::uint16_t tile, Predicate matches) const {
    for (const Entry& entry : entries_of(tensor, tile)) {
      const Allocation& allocation = allocations_[entry.index];
      if (matches(allocation)) return &allocation;
    }
    return nullptr;
  }

 private:
  struct Entry {
    TensorId tensor = 0;
    /// Position in the allocation list.
    std::size_t index = 0;
  };

  std::span<const Entry> entries_of(TensorId tensor, std::uint16_t tile) const {
    if (std::size_t{tile} + 1 >= tile_starts_.size()) return {};
    const auto begin = entries_.begin() + static_cast<std::ptrdiff_t>(tile_starts_[tile]);
    const auto end = entries_.begin() + static_cast<std::ptrdiff_t>(tile_starts_[std::size_t{tile} + 1]);
    const auto [first, last] = std::equal_range(
        begin, end, tensor, Less{});
    return {first, last};
  }

  struct Less {
    bool operator()(const Entry& entry, TensorId tensor) const { return entry.tensor < tensor; }
    bool operator()(TensorId tensor, const Entry& entry) const { return tensor < entry.tensor; }
  };

  std::span<const Allocation> allocations_;
  /// Grouped by tile, each tile's entries ordered by (tensor, index).
  std::vector<Entry> entries_;
  /// Entry t is where tile t's entries begin; one more entry marks the end.
  std::vector<std::size_t> tile_starts_;
};

}  // namespace zarn_compiler::detail
