// Planning one exchange phase: multicast groups, their conflict graph, the colouring into
// conflict-free classes and the order of the classes (slots) in which every source copy exists.

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

#include "invariant.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_platform/format.h"

namespace zarn_compiler {

namespace {

bool contains(std::span<const std::uint16_t> tiles, std::uint16_t tile) {
  return std::find(tiles.begin(), tiles.end(), tile) != tiles.end();
}

/// A group's key in the colouring order; `is_chosen_over` says which of two keys wins.
struct ColoringKey {
  std::size_t saturation = 0;
  std::size_t degree = 0;
  std::uint16_t source = 0;
  TensorId tensor = 0;
};

/// True when `candidate` (with the higher group index) is preferred over `best`: more saturated, then
/// more neighbours, then the smaller source tile, then the smaller tensor; on a full tie the higher
/// index (the candidate) wins.
bool is_chosen_over(const ColoringKey& candidate, const ColoringKey& best) {
  if (candidate.saturation != best.saturation) return candidate.saturation > best.saturation;
  if (candidate.degree != best.degree) return candidate.degree > best.degree;
  if (candidate.source != best.source) return candidate.source < best.source;
  if (candidate.tensor != best.tensor) return candidate.tensor < best.tensor;
  return true;
}

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
  std::vector<PendingGroup> groups;
  for (const auto& transfer : transfers) {
    const auto group = std::find_if(groups.begin(), groups.end(), [&](const PendingGroup& candidate) {
      return candidate.source == transfer.source_tile && candidate.tensor == transfer.tensor &&
             candidate.bytes == transfer.bytes;
    });
    if (group != groups.end()) {
      group->destinations.push_back(transfer.destination_tile);
      continue;
    }
    groups.push_back(PendingGroup{.source = transfer.source_tile,
                                  .tensor = transfer.tensor,
                                  .bytes = transfer.bytes,
                                  .destinations = {transfer.destination_tile}});
  }
  for (auto& group : groups) {
    std::sort(group.destinations.begin(), group.destinations.end());
    group.destinations.erase(std::unique(group.destinations.begin(), group.destinations.end()),
                             group.destinations.end());
  }
  return groups;
}

std::vector<std::vector<std::size_t>> exchange_conflict_graph(std::span<const PendingGroup> groups) {
  std::vector<std::vector<std::size_t>> adjacency(groups.size());
  for (std::size_t i = 0; i < groups.size(); ++i) {
    for (std::size_t j = 0; j < groups.size(); ++j) {
      if (i == j) continue;
      if (exchange_groups_conflict(groups[i].source, groups[i].destinations, groups[j].source,
                                   groups[j].destinations)) {
        adjacency[i].push_back(j);
      }
    }
  }
  return adjacency;
}

CompileResult<ExchangeColoring> color_exchange_groups(std::span<const PendingGroup> groups,
                                                      std::span<const std::vector<std::size_t>> adjacency) {
  detail::check_invariant(adjacency.size() == groups.size(), "conflict graph does not match the groups");
  std::vector<bool> colored(groups.size(), false);
  // The distinct colours among each group's coloured neighbours: its saturation is the set's size,
  // and when the group is chosen the set is exactly the colours it may not take.
  std::vector<std::set<std::size_t>> neighbour_colors(groups.size());
  ExchangeColoring coloring;
  coloring.colors.assign(groups.size(), 0);
  coloring.order.reserve(groups.size());

  for (std::size_t round = 0; round < groups.size(); ++round) {
    std::size_t chosen = groups.size();
    ColoringKey chosen_key;
    for (std::size_t index = 0; index < groups.size(); ++index) {
      if (colored[index]) continue;
      const ColoringKey key{.saturation = neighbour_colors[index].size(),
                            .degree = adjacency[index].size(),
                            .source = groups[index].source,
                            .tensor = groups[index].tensor};
      if (chosen == groups.size() || is_chosen_over(key, chosen_key)) {
        chosen = index;
        chosen_key = key;
      }
    }
    if (chosen == groups.size()) return graph_error("exchange coloring failed");

    const auto& unavailable = neighbour_colors[chosen];
    std::size_t color = 0;
    while (unavailable.contains(color)) {
      if (color == std::numeric_limits<std::size_t>::max()) return graph_error("exchange color overflow");
      ++color;
    }
    coloring.colors[chosen] = color;
    colored[chosen] = true;
    coloring.order.push_back(chosen);
    coloring.color_count = std::max(coloring.color_count, color + 1);
    for (const std::size_t neighbour : adjacency[chosen]) {
      if (!colored[neighbour]) neighbour_colors[neighbour].insert(color);
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
  const auto adjacency = exchange_conflict_graph(groups);
  auto coloring = color_exchange_groups(groups, adjacency);
  if (!coloring) return std::unexpected(std::move(coloring.error()));
  if (coloring->order.size() != groups.size()) return graph_error("uncolored exchange group");

  std::vector<std::vector<PendingGroup>> colored_groups(coloring->color_count);
  for (std::size_t index = 0; index < groups.size(); ++index) {
    colored_groups[coloring->colors[index]].push_back(std::move(groups[index]));
  }

  std::set<CopyKey> available;
  for (const auto& allocation : allocations) {
    if (is_visible_copy(allocation, phase)) available.emplace(allocation.tensor, allocation.tile);
  }
  const auto sources_present = [&](const std::vector<PendingGroup>& slot) {
    return std::all_of(slot.begin(), slot.end(), [&](const PendingGroup& group) {
      return available.contains(CopyKey{group.tensor, group.source});
    });
  };

  // Invariant: `colored_groups` keeps the remaining classes in colour order, so the lowest remaining
  // colour whose sources are all present runs next.
  std::vector<std::vector<PendingGroup>> epoch_groups;
  epoch_groups.reserve(colored_groups.size());
  while (!colored_groups.empty()) {
    const auto ready = std::find_if(colored_groups.begin(), colored_groups.end(), sources_present);
    if (ready == colored_groups.end()) return graph_error("exchange staging dependencies contain a cycle");
    for (const auto& group : *ready) {
      for (const std::uint16_t destination : group.destinations) available.emplace(group.tensor, destination);
    }
    epoch_groups.push_back(std::move(*ready));
    colored_groups.erase(ready);
  }
  return epoch_groups;
}

CompileResult<std::uint32_t> resolve_source_address(std::span<const Allocation> allocations, TensorId tensor,
                                                    std::uint16_t source, std::size_t phase, bool delivered_in_phase) {
  // This phase's staging buffer holds the tensor only once an earlier slot has written it.
  const Allocation* copy = nullptr;
  if (delivered_in_phase) {
    copy = first_copy(allocations, tensor, source, [&](const Allocation& a) { return is_staging_of(a, phase); });
  }
  if (copy == nullptr) {
    copy =
        first_copy(allocations, tensor, source, [&](const Allocation& a) { return is_live_earlier_staging(a, phase); });
  }
  if (copy == nullptr) copy = first_copy(allocations, tensor, source, is_home);
  if (copy == nullptr) {
    return memory_error(zarn_platform::format("missing source allocation for tensor {} on tile {}", tensor, source));
  }
  return copy->address;
}

CompileResult<std::vector<std::uint32_t>> resolve_destination_addresses(std::span<const Allocation> allocations,
                                                                        TensorId tensor,
                                                                        std::span<const std::uint16_t> destinations,
                                                                        std::size_t phase) {
  std::vector<std::uint32_t> addresses;
  addresses.reserve(destinations.size());
  for (const std::uint16_t destination : destinations) {
    const Allocation* copy =
        first_copy(allocations, tensor, destination, [&](const Allocation& a) { return is_staging_of(a, phase); });
    if (copy == nullptr) {
      return memory_error(
          zarn_platform::format("missing staging allocation for tensor {} on tile {}", tensor, destination));
    }
    addresses.push_back(copy->address);
  }
  return addresses;
}

}  // namespace zarn_compiler
