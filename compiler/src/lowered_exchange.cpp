// Lowering the exchange phases of a schedule: one launch per phase, its slots timed one after the
// other, each tile's rows merged into one program that ends at the phase's last cycle.

#include "zarn_compiler/lowered_exchange.h"

#include <limits>
#include <optional>
#include <set>
#include <utility>

#include "copy_index.h"
#include "exchange_planning.h"
#include "invariant.h"
#include "zarn_compiler/schedule.h"
#include "zarn_exchange/multicast.h"
#include "zarn_exchange/row_program.h"
#include "zarn_exchange/topology.h"
#include "zarn_platform/format.h"
#include "zarn_platform/log.h"

namespace zarn_compiler {

namespace {

/// What the slots of one phase lower to.
struct LoweredSlots {
  std::vector<LoweredExchangeGroup> groups;
  std::map<std::uint16_t, std::vector<std::uint32_t>> tile_rows;
  ExchangeCost cost;
};

/// The exchange phase being lowered and what its slots have built so far.
struct PhaseLowering {
  const detail::CopyIndex& copies;
  std::size_t phase = 0;
  const zarn_exchange::Topology& topology;
  /// One program per tile that takes part, indexed by tile, created at the tile's first row.
  std::vector<std::optional<zarn_exchange::PlanProgramBuilder>> builders;
  /// (tensor, tile) pairs that earlier slots of the phase have written into the tile's staging copy.
  std::set<std::pair<TensorId, std::uint16_t>> delivered;

  zarn_exchange::PlanProgramBuilder& builder(std::uint16_t tile) {
    if (tile >= builders.size()) builders.resize(std::size_t{tile} + 1);
    auto& entry = builders[tile];
    if (!entry) entry.emplace();
    return *entry;
  }
};

/// Lowers one group at `schedule_offset`: resolves and patches its copies' addresses, appends its rows
/// to the tiles' builders and returns the lowered group with the cycle at which its last row ends.
CompileResult<std::pair<LoweredExchangeGroup, std::uint32_t>> lower_group(PendingGroup&& group,
                                                                          std::uint32_t schedule_offset,
                                                                          PhaseLowering& lowering) {
  const std::size_t phase = lowering.phase;
  if (group.bytes == 0 || group.bytes % 4 != 0) {
    return graph_error(zarn_platform::format("tensor {} exchange size is not whole words", group.tensor));
  }
  const std::uint32_t words = group.bytes / 4;
  const auto source_address =
      detail::resolve_source_address(lowering.copies, group.tensor, group.source, phase,
                                     lowering.delivered.contains({group.tensor, group.source}));
  if (!source_address) return std::unexpected(source_address.error());
  const auto destination_addresses =
      detail::resolve_destination_addresses(lowering.copies, group.tensor, group.destinations, phase);
  if (!destination_addresses) return std::unexpected(destination_addresses.error());

  auto plan = lowering.topology.multicast(group.source, group.destinations, words, schedule_offset);
  if (!plan) return exchange_error(plan.error());
  detail::check_invariant(plan->receivers.size() == group.destinations.size(), "one receiver row per destination");
  if (auto patched = zarn_exchange::patch_sender_address(plan->sender, *source_address); !patched) {
    return exchange_error(patched.error());
  }
  for (std::size_t index = 0; index < plan->receivers.size(); ++index) {
    auto patched =
        zarn_exchange::patch_multicast_receiver_address(plan->receivers[index], (*destination_addresses)[index]);
    if (!patched) return exchange_error(patched.error());
  }

  if (auto appended = lowering.builder(group.source).append_scheduled_row(plan->sender); !appended) {
    return exchange_error(appended.error());
  }
  for (std::size_t index = 0; index < plan->receivers.size(); ++index) {
    auto appended = lowering.builder(group.destinations[index]).append_scheduled_row(plan->receivers[index]);
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

/// Lowers the slots of exchange phase `phase` into one launch. Every slot starts one cycle after the
/// latest row of all earlier slots ends (`horizon` + 1), so a tile's rows of different slots never
/// overlap and a tile that received in one slot can send the copy on in a later one.
CompileResult<LoweredSlots> lower_slots(std::vector<std::vector<PendingGroup>>&& epoch_groups,
                                        const detail::CopyIndex& copies, std::size_t phase,
                                        const zarn_exchange::Topology& topology) {
  LoweredSlots lowered;
  PhaseLowering lowering{.copies = copies, .phase = phase, .topology = topology, .builders = {}, .delivered = {}};
  lowered.cost.launches = epoch_groups.empty() ? 0 : 1;
  std::uint32_t horizon = 0;

  for (auto& slot : epoch_groups) {
    std::uint32_t schedule_offset = 0;
    if (horizon != 0) {
      detail::check_invariant(horizon < std::numeric_limits<std::uint32_t>::max(), "slot start cycle overflow");
      schedule_offset = horizon + 1;
    }
    std::uint32_t slot_horizon = horizon;
    const std::size_t first_group_of_slot = lowered.groups.size();
    for (auto& group : slot) {
      auto result = lower_group(std::move(group), schedule_offset, lowering);
      if (!result) return std::unexpected(std::move(result.error()));
      auto& [lowered_group, group_cycles] = *result;
      slot_horizon = std::max(slot_horizon, group_cycles);
      const std::uint64_t words = lowered_group.bytes / 4;
      detail::check_invariant(lowered.cost.payload_words <= std::numeric_limits<std::uint64_t>::max() - words,
                              "payload word count overflow");
      lowered.cost.payload_words += words;
      lowered.groups.push_back(std::move(lowered_group));
    }
    horizon = slot_horizon;
    // From the next slot on, the destinations of this slot hold the copies it delivered.
    for (std::size_t index = first_group_of_slot; index < lowered.groups.size(); ++index) {
      for (const std::uint16_t destination : lowered.groups[index].destination_tiles) {
        lowering.delivered.emplace(lowered.groups[index].tensor, destination);
      }
    }
  }

  lowered.cost.estimated_cycles = horizon;
  // Ascending by tile, so every program goes to the end of the map.
  for (std::size_t tile = 0; tile < lowering.builders.size(); ++tile) {
    auto& builder = lowering.builders[tile];
    if (!builder) continue;
    auto program = std::move(*builder).finish(horizon);
    if (!program) return exchange_error(program.error());
    lowered.tile_rows.emplace_hint(lowered.tile_rows.end(), static_cast<std::uint16_t>(tile), std::move(*program));
  }
  return lowered;
}

}  // namespace

std::vector<std::uint32_t> LoweredExchangeEpoch::row_for(std::uint16_t tile) const {
  if (const auto program = tile_rows.find(tile); program != tile_rows.end()) return program->second;
  return {IDLE_EXCHANGE_ROW.begin(), IDLE_EXCHANGE_ROW.end()};
}

CompileResult<std::vector<LoweredExchangePhase>> Schedule::lower_exchanges(
    const zarn_exchange::Topology& topology) const {
  if (topology.tile_count() < tile_count) return graph_error("exchange topology has too few tiles");

  std::vector<LoweredExchangePhase> lowered_phases;
  std::uint64_t launches = 0;
  const detail::CopyIndex copies(allocations);
  for (std::size_t index = 0; index < phases.size(); ++index) {
    const auto* exchange = std::get_if<Phase::Exchange>(&phases[index].value);
    if (exchange == nullptr) continue;
    if (auto valid = validate_transfers(exchange->transfers); !valid) return std::unexpected(valid.error());
    auto epoch_groups = detail::plan_exchange_epochs(exchange->transfers, copies, index);
    if (!epoch_groups) return std::unexpected(std::move(epoch_groups.error()));
    auto slots = lower_slots(std::move(*epoch_groups), copies, index, topology);
    if (!slots) return std::unexpected(std::move(slots.error()));

    LoweredExchangePhase lowered{.phase = index, .epochs = {}, .cost = slots->cost};
    if (!slots->groups.empty()) {
      lowered.epochs.push_back(LoweredExchangeEpoch{
          .groups = std::move(slots->groups), .tile_rows = std::move(slots->tile_rows), .cost = slots->cost});
    }
    launches += lowered.cost.launches;
    lowered_phases.push_back(std::move(lowered));
  }

  detail::check_invariant(launches <= std::numeric_limits<std::uint32_t>::max(), "launch count overflow");
  zarn_platform::emit(zarn_platform::LogLevel::Info, "zarn_compiler", "lowered exchange schedule",
                      {{"phases", std::uint64_t{lowered_phases.size()}}, {"launches", launches}});
  return lowered_phases;
}

}  // namespace zarn_compiler
