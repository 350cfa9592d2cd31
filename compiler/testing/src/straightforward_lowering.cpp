// Exchange planning, exchange lowering and per-tile programs, straightforward: every lookup scans the
// allocation list, the conflict graph compares every pair of groups, every colouring round rescans
// every key, and the per-tile programs walk every phase once per tile.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <utility>

#include "zarn_compiler/transfer.h"
#include "zarn_compiler_testing/straightforward.h"
#include "zarn_exchange/multicast.h"
#include "zarn_exchange/row_program.h"
#include "zarn_platform/format.h"
#include "zarn_platform/log.h"

namespace zarn_compiler_testing::straightforward {

using namespace zarn_compiler;

namespace {

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "straightforward reference: %s\n", what);
  std::abort();
}

struct ColoringKey {
  std::size_t saturation = 0;
  std::size_t degree = 0;
  std::uint16_t source = 0;
  TensorId tensor = 0;
};

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

bool is_home(const Allocation& allocation) { return std::holds_alternative<AllocationKind::Home>(allocation.kind.value); }

template <typename Predicate>
const Allocation* first_copy(std::span<const Allocation> allocations, TensorId tensor, std::uint16_t tile,
                             Predicate matches) {
  for (const auto& allocation : allocations) {
    if (allocation.tensor == tensor && allocation.tile == tile && matches(allocation)) return &allocation;
  }
  return nullptr;
}

struct LoweredSlots {
  std::vector<LoweredExchangeGroup> groups;
  std::map<std::uint16_t, std::vector<std::uint32_t>> tile_rows;
  ExchangeCost cost;
};

struct PhaseLowering {
  std::span<const Allocation> allocations;
  std::size_t phase = 0;
  const zarn_exchange::Topology& topology;
  std::map<std::uint16_t, zarn_exchange::PlanProgramBuilder> builders;
  std::set<std::pair<TensorId, std::uint16_t>> delivered;
};

CompileResult<std::pair<LoweredExchangeGroup, std::uint32_t>> lower_group(PendingGroup&& group,
                                                                          std::uint32_t schedule_offset,
                                                                          PhaseLowering& lowering) {
  if (group.bytes == 0 || group.bytes % 4 != 0) {
    return graph_error(zarn_platform::format("tensor {} exchange size is not whole words", group.tensor));
  }
  const std::uint32_t words = group.bytes / 4;
  const auto source_address = straightforward::resolve_source_address(lowering.allocations, group.tensor, group.source, lowering.phase,
                                                     lowering.delivered.contains({group.tensor, group.source}));
  if (!source_address) return std::unexpected(source_address.error());
  const auto destination_addresses =
      straightforward::resolve_destination_addresses(lowering.allocations, group.tensor, group.destinations, lowering.phase);
  if (!destination_addresses) return std::unexpected(destination_addresses.error());

  auto plan = lowering.topology.multicast(group.source, group.destinations, words, schedule_offset);
  if (!plan) return exchange_error(plan.error());
  if (auto patched = zarn_exchange::patch_sender_address(plan->sender, *source_address); !patched) {
    return exchange_error(patched.error());
  }
  for (std::size_t index = 0; index < plan->receivers.size(); ++index) {
    auto patched =
        zarn_exchange::patch_multicast_receiver_address(plan->receivers[index], (*destination_addresses)[index]);
    if (!patched) return exchange_error(patched.error());
  }
  if (auto appended = lowering.builders[group.source].append_scheduled_row(plan->sender); !appended) {
    return exchange_error(appended.error());
  }
  for (std::size_t index = 0; index < plan->receivers.size(); ++index) {
    auto appended = lowering.builders[group.destinations[index]].append_scheduled_row(plan->receivers[index]);
    if (!appended) return exchange_error(appended.error());
  }
  auto group_cycles = zarn_exchange::plan_event_cycles(plan->sender);
  if (!group_cycles) return exchange_error(group_cycles.error());
  for (const auto& row : plan->receivers) {
    const auto row_cycles = zarn_exchange::plan_event_cycles(row);
    if (!row_cycles) return exchange_error(row_cycles.error());
    *group_cycles = std::max(*group_cycles, *row_cycles);
  }
  LoweredExchangeGroup lowered{.source_tile = group.source,
                               .destination_tiles = std::move(group.destinations),
                               .tensor = group.tensor,
                               .bytes = group.bytes,
                               .addressing = ExchangeAddressing::Absolute,
                               .sender = plan->sender,
                               .receivers = std::move(plan->receivers)};
  return std::pair{std::move(lowered), *group_cycles};
}

CompileResult<LoweredSlots> lower_slots(std::vector<std::vector<PendingGroup>>&& epoch_groups,
                                        std::span<const Allocation> allocations, std::size_t phase,
                                        const zarn_exchange::Topology& topology) {
  LoweredSlots lowered;
  PhaseLowering lowering{
      .allocations = allocations, .phase = phase, .topology = topology, .builders = {}, .delivered = {}};
  lowered.cost.launches = epoch_groups.empty() ? 0 : 1;
  std::uint32_t horizon = 0;
  for (auto& slot : epoch_groups) {
    std::uint32_t schedule_offset = 0;
    if (horizon != 0) {
      require(horizon < std::numeric_limits<std::uint32_t>::max(), "slot start cycle overflow");
      schedule_offset = horizon + 1;
    }
    std::uint32_t slot_horizon = horizon;
    const std::size_t first_group_of_slot = lowered.groups.size();
    for (auto& group : slot) {
      auto result = lower_group(std::move(group), schedule_offset, lowering);
      if (!result) return std::unexpected(std::move(result.error()));
      auto& [lowered_group, group_cycles] = *result;
      slot_horizon = std::max(slot_horizon, group_cycles);
      lowered.cost.payload_words += lowered_group.bytes / 4;
      lowered.groups.push_back(std::move(lowered_group));
    }
    horizon = slot_horizon;
    for (std::size_t index = first_group_of_slot; index < lowered.groups.size(); ++index) {
      for (const std::uint16_t destination : lowered.groups[index].destination_tiles) {
        lowering.delivered.emplace(lowered.groups[index].tensor, destination);
      }
    }
  }
  lowered.cost.estimated_cycles = horizon;
  for (auto& [tile, builder] : lowering.builders) {
    auto program = std::move(builder).finish(horizon);
    if (!program) return exchange_error(program.error());
    lowered.tile_rows.emplace(tile, std::move(*program));
  }
  return lowered;
}

CompileResult<LoweredComputeCommand> lower_command(const Schedule& schedule, OpId op, const KernelCommand& command,
                                                   std::size_t compute_phase) {
  const auto output_address = straightforward::home_address(schedule, command.output, command.tile);
  if (!output_address) return std::unexpected(output_address.error());
  std::vector<std::uint32_t> input_addresses;
  for (const TensorId input : command.inputs) {
    const auto address = straightforward::compute_input_address(schedule, input, command.tile, compute_phase);
    if (!address) return std::unexpected(address.error());
    input_addresses.push_back(*address);
  }
  return LoweredComputeCommand{.op = op,
                               .output_address = *output_address,
                               .input_addresses = std::move(input_addresses),
                               .specialization = command.specialization};
}

}  // namespace

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
      if (zarn_compiler::exchange_groups_conflict(groups[i].source, groups[i].destinations, groups[j].source,
                                                  groups[j].destinations)) {
        adjacency[i].push_back(j);
      }
    }
  }
  return adjacency;
}

CompileResult<ExchangeColoring> color_exchange_groups(std::span<const PendingGroup> groups,
                                                      std::span<const std::vector<std::size_t>> adjacency) {
  std::vector<bool> colored(groups.size(), false);
  std::vector<std::set<std::size_t>> neighbour_colors(groups.size());
  ExchangeColoring coloring;
  coloring.colors.assign(groups.size(), 0);
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
    while (unavailable.contains(color)) ++color;
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

CompileResult<std::vector<std::vector<PendingGroup>>> plan_exchange_epochs(std::span<const Transfer> transfers,
                                                                           std::span<const Allocation> allocations,
                                                                           std::size_t phase) {
  std::vector<PendingGroup> groups = straightforward::group_transfers(transfers);
  const auto adjacency = straightforward::exchange_conflict_graph(groups);
  auto coloring = straightforward::color_exchange_groups(groups, adjacency);
  if (!coloring) return std::unexpected(std::move(coloring.error()));
  if (coloring->order.size() != groups.size()) return graph_error("uncolored exchange group");

  std::vector<std::vector<PendingGroup>> colored_groups(coloring->color_count);
  for (std::size_t index = 0; index < groups.size(); ++index) {
    colored_groups[coloring->colors[index]].push_back(std::move(groups[index]));
  }
  std::set<CopyKey> available;
  for (const auto& allocation : allocations) {
    if (is_home(allocation) || is_live_earlier_staging(allocation, phase)) {
      available.emplace(allocation.tensor, allocation.tile);
    }
  }
  const auto sources_present = [&](const std::vector<PendingGroup>& slot) {
    return std::all_of(slot.begin(), slot.end(), [&](const PendingGroup& group) {
      return available.contains(CopyKey{group.tensor, group.source});
    });
  };
  std::vector<std::vector<PendingGroup>> epoch_groups;
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

CompileResult<std::vector<LoweredExchangePhase>> lower_exchanges(const Schedule& schedule,
                                                                 const zarn_exchange::Topology& topology) {
  if (topology.tile_count() < schedule.tile_count) return graph_error("exchange topology has too few tiles");
  std::vector<LoweredExchangePhase> lowered_phases;
  std::uint64_t launches = 0;
  for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
    const auto* exchange = std::get_if<Phase::Exchange>(&schedule.phases[index].value);
    if (exchange == nullptr) continue;
    if (auto valid = straightforward::validate_transfers(exchange->transfers); !valid) return std::unexpected(valid.error());
    auto epoch_groups = straightforward::plan_exchange_epochs(exchange->transfers, schedule.allocations, index);
    if (!epoch_groups) return std::unexpected(std::move(epoch_groups.error()));
    auto slots = lower_slots(std::move(*epoch_groups), schedule.allocations, index, topology);
    if (!slots) return std::unexpected(std::move(slots.error()));
    LoweredExchangePhase lowered{.phase = index, .epochs = {}, .cost = slots->cost};
    if (!slots->groups.empty()) {
      lowered.epochs.push_back(LoweredExchangeEpoch{
          .groups = std::move(slots->groups), .tile_rows = std::move(slots->tile_rows), .cost = slots->cost});
    }
    launches += lowered.cost.launches;
    lowered_phases.push_back(std::move(lowered));
  }
  zarn_platform::emit(zarn_platform::LogLevel::Info, "zarn_compiler", "lowered exchange schedule",
                      {{"phases", std::uint64_t{lowered_phases.size()}}, {"launches", launches}});
  return lowered_phases;
}

CompileResult<std::uint32_t> home_address(const Schedule& schedule, TensorId tensor, std::uint16_t tile) {
  for (const auto& allocation : schedule.allocations) {
    if (allocation.tensor == tensor && allocation.tile == tile && is_home(allocation)) return allocation.address;
  }
  return memory_error(zarn_platform::format("missing home allocation for tensor {} on tile {}", tensor, tile));
}

CompileResult<std::uint32_t> compute_input_address(const Schedule& schedule, TensorId tensor, std::uint16_t tile,
                                                   std::size_t compute_phase) {
  for (const auto& allocation : schedule.allocations) {
    if (allocation.tensor == tensor && allocation.tile == tile &&
        std::holds_alternative<AllocationKind::ExchangeStaging>(allocation.kind.value) &&
        allocation.live_until == compute_phase) {
      return allocation.address;
    }
  }
  return straightforward::home_address(schedule, tensor, tile);
}

CompileResult<std::vector<LoweredTileProgram>> assemble_tile_programs(
    const Schedule& schedule, std::span<const LoweredExchangePhase> lowered_phases) {
  std::map<std::size_t, const LoweredExchangePhase*> lowered_by_phase;
  for (const auto& lowered : lowered_phases) lowered_by_phase.emplace(lowered.phase, &lowered);
  std::vector<LoweredTileProgram> programs;
  for (std::uint16_t tile = 0; tile < schedule.tile_count; ++tile) {
    LoweredTileProgram program{.tile = tile, .steps = {}};
    for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
      const auto& phase = schedule.phases[index].value;
      if (std::holds_alternative<Phase::Exchange>(phase)) {
        const auto lowered = lowered_by_phase.find(index);
        if (lowered == lowered_by_phase.end()) {
          return graph_error(zarn_platform::format("missing lowered exchange phase {}", index));
        }
        const auto& epochs = lowered->second->epochs;
        for (std::size_t epoch = 0; epoch < epochs.size(); ++epoch) {
          program.steps.push_back(LoweredTileStep{
              LoweredTileStep::Exchange{.phase = index, .epoch = epoch, .row = epochs[epoch].row_for(tile)}});
        }
        continue;
      }
      const auto& compute = std::get<Phase::Compute>(phase);
      for (const auto& command : compute.commands) {
        if (command.tile != tile) continue;
        auto lowered = lower_command(schedule, compute.op, command, index);
        if (!lowered) return std::unexpected(std::move(lowered.error()));
        program.steps.push_back(LoweredTileStep{LoweredTileStep::Compute{std::move(*lowered)}});
      }
    }
    programs.push_back(std::move(program));
  }
  return programs;
}

CompileResult<std::vector<LoweredTileProgram>> lower_tile_programs(const Schedule& schedule,
                                                                   const zarn_exchange::Topology& topology) {
  const auto lowered_phases = straightforward::lower_exchanges(schedule, topology);
  if (!lowered_phases) return std::unexpected(lowered_phases.error());
  auto programs = straightforward::assemble_tile_programs(schedule, *lowered_phases);
  if (!programs) return programs;
  zarn_platform::emit(zarn_platform::LogLevel::Info, "zarn_compiler", "lowered per-tile programs",
                      {{"tiles", std::uint64_t{programs->size()}}});
  return programs;
}

}  // namespace zarn_compiler_testing::straightforward
