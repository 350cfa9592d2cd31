#include "copy_index.h"

namespace zarn_compiler::detail {

CopyIndex::CopyIndex(std::span<const Allocation> allocations) : allocations_(allocations) {
  std::size_t tiles = 0;
  for (const Allocation& allocation : allocations) tiles = std::max(tiles, std::size_t{allocation.tile} + 1);
  tile_starts_.assign(tiles + 1, 0);
  for (const Allocation& allocation : allocations) ++tile_starts_[std::size_t{allocation.tile} + 1];
  for (std::size_t tile = 0; tile < tiles; ++tile) tile_starts_[tile + 1] += tile_starts_[tile];

  // Filling in list order leaves every tile's bucket in list order; sorting it by (tensor, index)
  // keeps that order within each tensor.
  entries_.resize(allocations.size());
  std::vector<std::size_t> next(tile_starts_.begin(), tile_starts_.end() - 1);
  for (std::size_t index = 0; index < allocations.size(); ++index) {
    entries_[next[allocations[index].tile]++] = Entry{.tensor = allocations[index].tensor, .index = index};
  }
  for (std::size_t tile = 0; tile < tiles; ++tile) {
    const auto begin = entries_.begin() + static_cast<std::ptrdiff_t>(tile_starts_[tile]);
    const auto end = entries_.begin() + static_cast<std::ptrdiff_t>(tile_starts_[tile + 1]);
    std::sort(begin, end, [](const Entry& left, const Entry& right) {
      return left.tensor != right.tensor ? left.tensor < right.tensor : left.index < right.index;
    });
  }
}

}  // namespace zarn_compiler::detail
