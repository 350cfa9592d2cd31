// Planning one exchange phase: multicast groups, their conflict graph, the colouring into
// conflict-free classes and the order of the classes (slots) in which every source copy exists.
//
// Every step costs time in proportion to what it reads and writes (up to a logarithm): grouping
// orders the transfers by tile and key, the conflict graph is gathered tile by tile, the colouring
// keeps the uncoloured groups in bitsets by saturation and static rank, and the slot order counts
// each class's missing sources down as deliveries arrive. The results are those of the
// straightforward rules (every pair of groups compared, every key recomputed each round, the
// classes searched from the front each time), which the equivalence tests hold them to.

#include <algorithm>
#include <bit>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "exchange_planning.h"
#include "invariant.h"
#include "tile_buckets.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_platform/format.h"

namespace zarn_compiler {

namespace {

bool contains(std::span<const std::uint16_t> tiles, std::uint16_t tile) {
  return std::find(tiles.begin(), tiles.end(), tile) != tiles.end();
}

/// The colouring order of the groups without their saturation, which is the only part of a group's
/// key that changes: more neighbours first, then the smaller source tile, then the smaller tensor,
/// and on a full tie the higher group index. Returns rank[i], the position of group i in that order.
std::vector<std::size_t> static_ranks(std::span<const PendingGroup> groups,
                                      std::span<const std::vector<std::size_t>> adjacency) {
  std::vector<std::size_t> order(groups.size());
  for (std::size_t index = 0; index < order.size(); ++index) order[index] = index;
  std::sort(order.begin(), order.end(), [&](std::size_t left, std::size_t right) {
    return std::tuple(adjacency[right].size(), groups[left].source, groups[left].tensor, right) <
           std::tuple(adjacency[left].size(), groups[right].source, groups[right].tensor, left);
  });
  std::vector<std::size_t> rank(groups.size());
  for (std::size_t position = 0; position < order.size(); ++position) rank[order[position]] = position;
  return rank;
}

/// The uncoloured groups by saturation: one set of static ranks per saturation level, each a
/// bitset with a summary word per 64 words, so that finding the next group (the lowest rank at the
/// highest non-empty level) and moving a group up one level cost a few word operations. A level's
/// bits are allocated when a group first reaches it; the levels reached are at most one more than
/// the largest number of colours around any group.
class SaturationBuckets {
 public:
  explicit SaturationBuckets(std::size_t ranks) : words_per_level_((ranks + 63) / 64) {}

  void insert(std::size_t level, std::size_t rank) {
    if (level >= levels_.size()) levels_.resize(level + 1);
    Level& bucket = levels_[level];
    if (bucket.words.empty()) {
      bucket.words.assign(words_per_level_, 0);
      bucket.summary.assign((words_per_level_ + 63) / 64, 0);
    }
    bucket.words[rank / 64] |= std::uint64_t{1} << (rank % 64);
    bucket.summary[rank / 4096] |= std::uint64_t{1} << (rank / 64 % 64);
    ++bucket.count;
    top_ = std::max(top_, level);
  }

  void erase(std::size_t level, std::size_t rank) {
    Level& bucket = levels_[level];
    auto& word = bucket.words[rank / 64];
    word &= ~(std::uint64_t{1} << (rank % 64));
    if (word == 0) bucket.summary[rank / 4096] &= ~(std::uint64_t{1} << (rank / 64 % 64));
    --bucket.count;
  }

  /// The (level, rank) of the lowest rank at the highest non-empty level, or nothing when empty.
  std::optional<std::pair<std::size_t, std::size_t>> best() {
    while (top_ > 0 && (top_ >= levels_.size() || levels_[top_].count == 0)) --top_;
    if (levels_.empty() || levels_[top_].count == 0) return std::nullopt;
    const Level& bucket = levels_[top_];
    std::size_t block = 0;
    while (bucket.summary[block] == 0) ++block;
    const std::size_t word = block * 64 + static_cast<std::size_t>(std::countr_zero(bucket.summary[block]));
    const std::size_t rank = word * 64 + static_cast<std::size_t>(std::countr_zero(bucket.words[word]));
    return std::pair{top_, rank};
  }

 private:
  struct Level {
    std::vector<std::uint64_t> words;
    /// Bit w of summary word w / 64 is set when words[w] is not zero.
    std::vector<std::uint64_t> summary;
    std::size_t count = 0;
  };

  std::size_t words_per_level_;
  std::vector<Level> levels_;
  std::size_t top_ = 0;
};

using CopyKey = std::pair<TensorId, std::uint16_t>;

bool is_staging_of(const Allocation& allocation, std::size_t phase) {
  const auto* staging = std::get_if<AllocationKind::ExchangeStaging>(&allocation.kind.value);
  return staging != nullptr && staging->phase == phase;
}

bool is_live_earlier_staging(const Allocation& allocation, std::size_t phase) {
  const auto* staging = std::get_if<AllocationKind::ExchangeStaging>(&allocation.kind.value);
  return staging != nullptr && staging->phase < phase && allocation.live_from <= phase && phase < allocation.live_until;
}

bool is_home(const Allocation& allocation) {
  return std::holds_alternative<AllocationKind::Home>(allocation.kind.value);
}

/// The first allocation of `tensor` on `tile` (in list order) that `matches` accepts.
template <typename Predicate>
const Allocation* first_copy(std::span<const Allocation> allocations, TensorId tensor, std::uint16_t tile,
                             Predicate matches) {
  for (const auto& allocation : allocations) {
    if (allocation.tensor == tensor && allocation.tile == tile && matches(allocation)) return &allocation;
  }
  return nullptr;
}

/// Orders the colour classes so that every group's source copy exists when its class runs. The
/// next class is the lowest remaining colour whose groups' (tensor, source) copies all exist: visible
/// at the start of the phase (`is_visible`) or delivered by a class that already ran. Instead of
/// searching the remaining classes from the front each time, every class counts the sources it still
/// misses, and a delivery counts down the classes waiting for it.
template <typename IsVisible>
CompileResult<std::vector<std::vector<PendingGroup>>> order_slots(std::vector<std::vector<PendingGroup>>&& classes,
                                                                  IsVisible is_visible) {
  std::vector<std::size_t> missing(classes.size(), 0);
  std::map<CopyKey, std::vector<std::size_t>> waiting;
  std::set<std::size_t> ready;
  for (std::size_t color = 0; color < classes.size(); ++color) {
    for (const auto& group : classes[color]) {
      if (is_visible(group.tensor, group.source)) continue;
      ++missing[color];
      waiting[CopyKey{group.tensor, group.source}].push_back(color);
    }
    if (missing[color] == 0) ready.insert(color);
  }

  std::vector<std::vector<PendingGroup>> epoch_groups;
  epoch_groups.reserve(classes.size());
  std::vector<bool> ran(classes.size(), false);
  for (std::size_t slot = 0; slot < classes.size(); ++slot) {
    if (ready.empty()) return graph_error("exchange staging dependencies contain a cycle");
    const std::size_t color = *ready.begin();
    ready.erase(ready.begin());
    ran[color] = true;
    for (const auto& group : classes[color]) {
      for (const std::uint16_t destination : group.destinations) {
        // Only copies that did not exist yet have classes waiting for them.
        const auto waiters = waiting.find(CopyKey{group.tensor, destination});
        if (waiters == waiting.end()) continue;
        for (const std::size_t waiter : waiters->second) {
          if (--missing[waiter] == 0 && !ran[waiter]) ready.insert(waiter);
        }
        waiting.erase(waiters);
      }
    }
    epoch_groups.push_back(std::move(classes[color]));
  }
  return epoch_groups;
}

/// Grouping, conflict graph, colouring and colour classes of one phase, then the slot order.
template <typename IsVisible>
CompileResult<std::vector<std::vector<PendingGroup>>> plan_epochs(std::vector<PendingGroup>&& groups,
                                                                  IsVisible is_visible) {
  const auto adjacency = exchange_conflict_graph(groups);
  auto coloring = color_exchange_groups(groups, adjacency);
  if (!coloring) return std::unexpected(std::move(coloring.error()));
  if (coloring->order.size() != groups.size()) return graph_error("uncolored exchange group");

  std::vector<std::vector<PendingGroup>> colored_groups(coloring->color_count);
  for (std::size_t index = 0; index < groups.size(); ++index) {
    colored_groups[coloring->colors[index]].push_back(std::move(groups[index]));
  }
  return order_slots(std::move(colored_groups), is_visible);
}

/// Source copy resolution through `find(tensor, tile, predicate)`, the first matching allocation.
template <typename Find>
CompileResult<std::uint32_t> resolve_source(Find find, TensorId tensor, std::uint16_t source, std::size_t phase,
                                            bool delivered_in_phase) {
  // This phase's staging buffer holds the tensor only once an earlier slot has written it.
  const Allocation* copy = nullptr;
  if (delivered_in_phase) copy = find(tensor, source, [&](const Allocation& a) { return is_staging_of(a, phase); });
  if (copy == nullptr) copy = find(tensor, source, [&](const Allocation& a) { return is_live_earlier_staging(a, phase); });
  if (copy == nullptr) copy = find(tensor, source, is_home);
  if (copy == nullptr) {
    return memory_error(zarn_platform::format("missing source allocation for tensor {} on tile {}", tensor, source));
  }
  return copy->address;
}

template <typename Find>
CompileResult<std::vector<std::uint32_t>> resolve_destinations(Find find, TensorId tensor,
                                                               std::span<const std::uint16_t> destinations,
                                                               std::size_t phase) {
  std::vector<std::uint32_t> addresses;
  addresses.reserve(destinations.size());
  for (const std::uint16_t destination : destinations) {
    const Allocation* copy = find(tensor, destination, [&](const Allocation& a) { return is_staging_of(a, phase); });
    if (copy == nullptr) {
      return memory_error(
          zarn_platform::format("missing staging allocation for tensor {} on tile {}", tensor, destination));
    }
    addresses.push_back(copy->address);
  }
  return addresses;
}

auto list_finder(std::span<const Allocation> allocations) {
  return [allocations](TensorId tensor, std::uint16_t tile, auto matches) {
    return first_copy(allocations, tensor, tile, matches);
  };
}

auto index_finder(const detail::CopyIndex& copies) {
  return [&copies](TensorId tensor, std::uint16_t tile, auto matches) { return copies.first(tensor, tile, matches); };
}

}  // namespace

bool exchange_groups_conflict(std::uint16_t left_source, std::span<const std::uint16_t> left_destinations,
                              std::uint16_t right_source, std::span<const std::uint16_t> right_destinations) {
  if (left_source == right_source) return true;
  if (contains(left_destinations, right_source)) return true;
  if (contains(right_destinations, left_source)) return true;
  return std::any_of(left_destinations.begin(), left_destinations.end(),
                     [&](std::uint16_t tile) { return contains(right_destinations, tile); });
}

std::vector<PendingGroup> group_transfers(std::span<const Transfer> transfers) {
  // Sorting the transfers by (source, tensor, bytes, position) brings each group's transfers
  // together, the first of each run being the one that opens the group; the groups are then put in
  // the order of those first transfers.
  struct Keyed {
    std::uint16_t source = 0;
    TensorId tensor = 0;
    std::uint32_t bytes = 0;
    std::size_t position = 0;
    std::uint16_t destination = 0;

    bool same_group(const Keyed& other) const {
      return source == other.source && tensor == other.tensor && bytes == other.bytes;
    }
  };
  std::vector<Keyed> keyed;
  keyed.reserve(transfers.size());
  for (std::size_t position = 0; position < transfers.size(); ++position) {
    const Transfer& transfer = transfers[position];
    keyed.push_back({transfer.source_tile, transfer.tensor, transfer.bytes, position, transfer.destination_tile});
  }
  // By source tile first (a counting sort, which keeps list order), then each tile's few transfers
  // by (tensor, bytes, position).
  keyed = detail::bucket_by_tile(keyed, [](const Keyed& entry) { return entry.source; });
  detail::sort_within_tiles(keyed, [](const Keyed& entry) { return entry.source; },
                    [](const Keyed& left, const Keyed& right) {
                      return std::tie(left.tensor, left.bytes, left.position) <
                             std::tie(right.tensor, right.bytes, right.position);
                    });

  /// A group's run in `keyed`; its first entry is the transfer that opened the group.
  struct Run {
    std::size_t begin = 0;
    std::size_t end = 0;
  };
  std::vector<Run> runs;
  for (std::size_t begin = 0; begin < keyed.size();) {
    std::size_t end = begin + 1;
    while (end < keyed.size() && keyed[end].same_group(keyed[begin])) ++end;
    runs.push_back(Run{begin, end});
    begin = end;
  }
  std::sort(runs.begin(), runs.end(),
            [&](const Run& left, const Run& right) { return keyed[left.begin].position < keyed[right.begin].position; });

  std::vector<PendingGroup> groups;
  groups.reserve(runs.size());
  for (const Run& run : runs) {
    const Keyed& opening = keyed[run.begin];
    PendingGroup group{.source = opening.source, .tensor = opening.tensor, .bytes = opening.bytes, .destinations = {}};
    group.destinations.reserve(run.end - run.begin);
    for (std::size_t entry = run.begin; entry < run.end; ++entry) group.destinations.push_back(keyed[entry].destination);
    std::sort(group.destinations.begin(), group.destinations.end());
    group.destinations.erase(std::unique(group.destinations.begin(), group.destinations.end()),
                             group.destinations.end());
    groups.push_back(std::move(group));
  }
  return groups;
}

std::vector<std::vector<std::size_t>> exchange_conflict_graph(std::span<const PendingGroup> groups) {
  // Two groups conflict exactly when they use a common tile, in any roles: the same source, the
  // source of one among the other's destinations, or a common destination. So the neighbours of a
  // group are the other groups on its tiles, gathered from each tile's list of the groups using it
  // (one flat list, tile by tile, each tile's groups ascending).
  std::size_t tile_count = 0;
  for (const auto& group : groups) {
    tile_count = std::max(tile_count, std::size_t{group.source} + 1);
    for (const std::uint16_t tile : group.destinations) tile_count = std::max(tile_count, std::size_t{tile} + 1);
  }
  std::vector<std::size_t> tile_starts(tile_count + 1, 0);
  // last_group[t] == i + 1 once group i is counted (or filed) on tile t: a tile counts once per group.
  std::vector<std::size_t> last_group(tile_count, 0);
  const auto for_each_tile = [&](std::size_t index, auto visit) {
    const auto once = [&](std::uint16_t tile) {
      if (last_group[tile] == index + 1) return;
      last_group[tile] = index + 1;
      visit(tile);
    };
    once(groups[index].source);
    for (const std::uint16_t tile : groups[index].destinations) once(tile);
  };
  for (std::size_t index = 0; index < groups.size(); ++index) {
    for_each_tile(index, [&](std::uint16_t tile) { ++tile_starts[std::size_t{tile} + 1]; });
  }
  for (std::size_t tile = 0; tile < tile_count; ++tile) tile_starts[tile + 1] += tile_starts[tile];
  std::vector<std::size_t> groups_on_tiles(tile_starts[tile_count]);
  std::vector<std::size_t> next(tile_starts.begin(), tile_starts.end() - 1);
  std::fill(last_group.begin(), last_group.end(), 0);
  for (std::size_t index = 0; index < groups.size(); ++index) {
    for_each_tile(index, [&](std::uint16_t tile) { groups_on_tiles[next[tile]++] = index; });
  }

  // Visits every neighbour of group `index` once. seen[j] == stamp once j was visited for this call.
  std::vector<std::size_t> seen(groups.size(), 0);
  std::size_t stamp = 0;
  const auto for_each_neighbour = [&](std::size_t index, auto visit) {
    ++stamp;
    const auto gather = [&](std::uint16_t tile) {
      for (std::size_t entry = tile_starts[tile]; entry < tile_starts[std::size_t{tile} + 1]; ++entry) {
        const std::size_t other = groups_on_tiles[entry];
        if (other == index || seen[other] == stamp) continue;
        seen[other] = stamp;
        visit(other);
      }
    };
    gather(groups[index].source);
    for (const std::uint16_t tile : groups[index].destinations) gather(tile);
  };

  // The relation is symmetric, so handing every group i, in ascending order, to each of its
  // neighbours' lists leaves every list ascending without sorting it. A first pass counts the
  // neighbours, so that every list is allocated once.
  std::vector<std::size_t> degrees(groups.size(), 0);
  for (std::size_t index = 0; index < groups.size(); ++index) {
    for_each_neighbour(index, [&](std::size_t) { ++degrees[index]; });
  }
  std::vector<std::vector<std::size_t>> adjacency(groups.size());
  for (std::size_t index = 0; index < groups.size(); ++index) adjacency[index].reserve(degrees[index]);
  for (std::size_t index = 0; index < groups.size(); ++index) {
    for_each_neighbour(index, [&](std::size_t other) { adjacency[other].push_back(index); });
  }
  return adjacency;
}

CompileResult<ExchangeColoring> color_exchange_groups(std::span<const PendingGroup> groups,
                                                      std::span<const std::vector<std::size_t>> adjacency) {
  detail::check_invariant(adjacency.size() == groups.size(), "conflict graph does not match the groups");
  std::vector<bool> colored(groups.size(), false);
  // The distinct colours among each group's coloured neighbours, ascending: its saturation is the
  // list's length, and when the group is chosen the list is exactly the colours it may not take. A
  // group gets a colour from each group that lists it as a neighbour, at most, so all lists share
  // one flat buffer, each group owning a slice as long as the number of times it is listed.
  std::vector<std::size_t> color_starts(groups.size() + 1, 0);
  for (const auto& neighbours : adjacency) {
    for (const std::size_t neighbour : neighbours) {
      detail::check_invariant(neighbour < groups.size(), "conflict graph names no group");
      ++color_starts[neighbour + 1];
    }
  }
  for (std::size_t index = 0; index < groups.size(); ++index) color_starts[index + 1] += color_starts[index];
  std::vector<std::size_t> color_buffer(color_starts.back());
  std::vector<std::size_t> color_counts(groups.size(), 0);
  const auto neighbour_colors = [&](std::size_t index) {
    return std::span<std::size_t>(color_buffer.data() + color_starts[index], color_counts[index]);
  };
  // The group with the greatest key is the most saturated one, ties broken by the static rank.
  const std::vector<std::size_t> rank = static_ranks(groups, adjacency);
  std::vector<std::size_t> group_of_rank(groups.size());
  SaturationBuckets uncolored(groups.size());
  for (std::size_t index = 0; index < groups.size(); ++index) {
    group_of_rank[rank[index]] = index;
    uncolored.insert(0, rank[index]);
  }

  ExchangeColoring coloring;
  coloring.colors.assign(groups.size(), 0);
  coloring.order.reserve(groups.size());
  for (std::size_t round = 0; round < groups.size(); ++round) {
    const auto best = uncolored.best();
    if (!best) return graph_error("exchange coloring failed");
    uncolored.erase(best->first, best->second);
    const std::size_t chosen = group_of_rank[best->second];

    std::size_t color = 0;
    for (const std::size_t unavailable : neighbour_colors(chosen)) {
      if (unavailable != color) break;
      if (color == std::numeric_limits<std::size_t>::max()) return graph_error("exchange color overflow");
      ++color;
    }
    coloring.colors[chosen] = color;
    colored[chosen] = true;
    coloring.order.push_back(chosen);
    coloring.color_count = std::max(coloring.color_count, color + 1);
    for (const std::size_t neighbour : adjacency[chosen]) {
      if (colored[neighbour]) continue;
      const auto colors = neighbour_colors(neighbour);
      const auto position = std::lower_bound(colors.begin(), colors.end(), color);
      if (position != colors.end() && *position == color) continue;
      // A new neighbour colour raises the group's saturation by one level. The slice has room: each
      // colour in it came from a different group listing this one.
      const std::size_t saturation = colors.size();
      detail::check_invariant(color_starts[neighbour] + saturation < color_starts[neighbour + 1],
                              "more neighbour colours than groups listing the group");
      std::copy_backward(position, colors.end(), colors.end() + 1);
      *position = color;
      ++color_counts[neighbour];
      uncolored.erase(saturation, rank[neighbour]);
      uncolored.insert(saturation + 1, rank[neighbour]);
    }
  }
  return coloring;
}

bool is_visible_copy(const Allocation& allocation, std::size_t phase) {
  return is_home(allocation) || is_live_earlier_staging(allocation, phase);
}

CompileResult<std::vector<std::vector<PendingGroup>>> plan_exchange_epochs(std::span<const Transfer> transfers,
                                                                           std::span<const Allocation> allocations,
                                                                           std::size_t phase) {
  std::vector<PendingGroup> groups = group_transfers(transfers);
  // One pass over the allocations finds which of the groups' sources have a visible copy.
  std::vector<CopyKey> sources;
  sources.reserve(groups.size());
  for (const auto& group : groups) sources.emplace_back(group.tensor, group.source);
  std::sort(sources.begin(), sources.end());
  sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
  std::vector<bool> visible(sources.size(), false);
  for (const auto& allocation : allocations) {
    if (!is_visible_copy(allocation, phase)) continue;
    const auto found = std::lower_bound(sources.begin(), sources.end(), CopyKey{allocation.tensor, allocation.tile});
    if (found != sources.end() && *found == CopyKey{allocation.tensor, allocation.tile}) {
      visible[static_cast<std::size_t>(found - sources.begin())] = true;
    }
  }
  return plan_epochs(std::move(groups), [&](TensorId tensor, std::uint16_t tile) {
    const auto found = std::lower_bound(sources.begin(), sources.end(), CopyKey{tensor, tile});
    return visible[static_cast<std::size_t>(found - sources.begin())];
  });
}

CompileResult<std::uint32_t> resolve_source_address(std::span<const Allocation> allocations, TensorId tensor,
                                                    std::uint16_t source, std::size_t phase, bool delivered_in_phase) {
  return resolve_source(list_finder(allocations), tensor, source, phase, delivered_in_phase);
}

CompileResult<std::vector<std::uint32_t>> resolve_destination_addresses(std::span<const Allocation> allocations,
                                                                        TensorId tensor,
                                                                        std::span<const std::uint16_t> destinations,
                                                                        std::size_t phase) {
  return resolve_destinations(list_finder(allocations), tensor, destinations, phase);
}

namespace detail {

CompileResult<std::vector<std::vector<PendingGroup>>> plan_exchange_epochs(std::span<const Transfer> transfers,
                                                                           const CopyIndex& copies, std::size_t phase) {
  return plan_epochs(group_transfers(transfers), [&](TensorId tensor, std::uint16_t tile) {
    return copies.first(tensor, tile, [&](const Allocation& a) { return is_visible_copy(a, phase); }) != nullptr;
  });
}

CompileResult<std::uint32_t> resolve_source_address(const CopyIndex& copies, TensorId tensor, std::uint16_t source,
                                                    std::size_t phase, bool delivered_in_phase) {
  return resolve_source(index_finder(copies), tensor, source, phase, delivered_in_phase);
}

CompileResult<std::vector<std::uint32_t>> resolve_destination_addresses(const CopyIndex& copies, TensorId tensor,
                                                                        std::span<const std::uint16_t> destinations,
                                                                        std::size_t phase) {
  return resolve_destinations(index_finder(copies), tensor, destinations, phase);
}

}  // namespace detail

}  // namespace zarn_compiler
