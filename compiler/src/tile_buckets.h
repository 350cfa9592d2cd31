#pragma once
/// Ordering lists of records by tile, internal to the compiler library. Tiles are 16-bit, so a
/// counting sort puts a list in tile order in linear time, keeping list order within each tile; the
/// few records of one tile are then sorted by whatever else the caller needs.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zarn_compiler::detail {

/// `entries` in ascending order of `tile_of(entry)` (a 16-bit tile), in list order within a tile.
/// A short list naming high tiles is sorted instead, so the cost never exceeds n log n in the list.
template <typename Entry, typename TileOf>
std::vector<Entry> bucket_by_tile(const std::vector<Entry>& entries, TileOf tile_of) {
  std::size_t tiles = 0;
  for (const Entry& entry : entries) tiles = std::max(tiles, std::size_t{tile_of(entry)} + 1);
  if (tiles > 4 * entries.size() + 64) {
    std::vector<Entry> ordered = entries;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [&](const Entry& left, const Entry& right) { return tile_of(left) < tile_of(right); });
    return ordered;
  }
  std::vector<std::size_t> next(tiles + 1, 0);
  for (const Entry& entry : entries) ++next[std::size_t{tile_of(entry)} + 1];
  for (std::size_t tile = 0; tile < tiles; ++tile) next[tile + 1] += next[tile];
  std::vector<Entry> ordered(entries.size());
  for (const Entry& entry : entries) ordered[next[tile_of(entry)]++] = entry;
  return ordered;
}

/// Sorts every run of entries with the same `tile_of` in `entries` (grouped by tile) with `less`.
template <typename Entry, typename TileOf, typename Less>
void sort_within_tiles(std::vector<Entry>& entries, TileOf tile_of, Less less) {
  for (std::size_t begin = 0; begin < entries.size();) {
    std::size_t end = begin + 1;
    while (end < entries.size() && tile_of(entries[end]) == tile_of(entries[begin])) ++end;
    if (end - begin > 1) {
      std::sort(entries.begin() + static_cast<std::ptrdiff_t>(begin), entries.begin() + static_cast<std::ptrdiff_t>(end),
                less);
    }
    begin = end;
  }
}

}  // namespace zarn_compiler::detail
