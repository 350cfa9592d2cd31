#pragma once
/// Exchange scheduling: the transfers of one exchange phase planned as multicast groups in
/// conflict-free slots, and every exchange phase of a schedule lowered into one launch of timed
/// per-tile exchange programs (`Schedule::lower_exchanges`, declared in schedule.h).
///
/// Planning one phase (`plan_exchange_epochs`):
/// 1. Transfers of the same tensor from the same tile with the same size coalesce into one
///    `PendingGroup` (a multicast), in order of first appearance; destinations ascending.
/// 2. Groups that would use a tile in two roles at once conflict (`exchange_groups_conflict`). The
///    conflict graph is coloured greedily, most-constrained group first (saturation, then degree,
///    then smaller source tile, then smaller tensor, then the later group).
/// 3. The colour classes run in the order in which the source copy of every group exists when its
///    class runs: the lowest remaining colour whose sources are all present goes next. A copy is
///    present when it is a visible copy of the phase (a home copy, or a staging copy of an earlier
///    phase still live) or was delivered by an earlier slot of the same phase (a relay).
///
/// Lowering one phase: every slot starts one cycle after the latest row of all earlier slots ends,
/// so a tile that received in an earlier slot can send in a later one within the same launch. Each
/// tile's rows merge into one program, and every program of the launch is padded to end at the
/// phase's last cycle (`ExchangeCost::estimated_cycles`).

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "zarn_compiler/allocation.h"
#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"
#include "zarn_compiler/transfer.h"
#include "zarn_exchange/instruction_words.h"

namespace zarn_compiler {

/// One multicast group under construction: one tile sends one copy of a tensor to a set of tiles.
struct PendingGroup {
  std::uint16_t source = 0;
  TensorId tensor = 0;
  /// The same for every destination.
  std::uint32_t bytes = 0;
  /// After grouping: strictly ascending, never empty.
  std::vector<std::uint16_t> destinations;

  friend bool operator==(const PendingGroup&, const PendingGroup&) = default;
};

/// True when two multicasts cannot run at once: the same source tile; the source of one among the
/// destinations of the other (a tile cannot send and receive at once); or a shared destination (a
/// tile cannot receive two multicasts at once). Checked in that order. Symmetric.
bool exchange_groups_conflict(std::uint16_t left_source, std::span<const std::uint16_t> left_destinations,
                              std::uint16_t right_source, std::span<const std::uint16_t> right_destinations);

/// Coalesces fan-out: each transfer joins the first group with its source tile, tensor and byte
/// count, or opens a new one; then every group's destinations are sorted and de-duplicated.
std::vector<PendingGroup> group_transfers(std::span<const Transfer> transfers);

/// The conflict graph: entry i lists, ascending, every j != i whose group conflicts with group i.
std::vector<std::vector<std::size_t>> exchange_conflict_graph(std::span<const PendingGroup> groups);

/// The greedy colouring of a conflict graph.
struct ExchangeColoring {
  /// Colour of every group, indexed by group index.
  std::vector<std::size_t> colors;
  /// Group indexes in the order in which they were coloured.
  std::vector<std::size_t> order;
  /// 1 + the largest colour; 0 without groups. The colours used are exactly 0 to color_count - 1.
  std::size_t color_count = 0;

  friend bool operator==(const ExchangeColoring&, const ExchangeColoring&) = default;
};

/// Colours `groups` (with `adjacency` from `exchange_conflict_graph`) most-constrained first: the
/// uncoloured group with the most distinct neighbour colours, then the most neighbours, then the
/// smaller source tile, then the smaller tensor, then the higher group index; each gets the smallest
/// colour none of its coloured neighbours has. Fails (Graph) only through its guards ("exchange
/// coloring failed", "exchange color overflow"), which no input reaches.
CompileResult<ExchangeColoring> color_exchange_groups(std::span<const PendingGroup> groups,
                                                      std::span<const std::vector<std::size_t>> adjacency);

/// True when `allocation` is a copy of its tensor on its tile that exists when exchange phase
/// `phase` starts: a home copy, or a staging copy of an earlier phase q < phase with
/// live_from <= phase < live_until. A staging copy of `phase` itself is the buffer the phase writes.
bool is_visible_copy(const Allocation& allocation, std::size_t phase);

/// The slots of exchange phase `phase` in execution order, each a non-empty list of groups in
/// group-index order: the colour classes ordered so that every group's (tensor, source) copy is a
/// visible copy among `allocations` or is delivered by an earlier slot. `transfers` must have passed
/// `validate_transfers`. Fails (Graph) with "exchange staging dependencies contain a cycle" when no
/// remaining class has all its sources, and with the colouring guards ("uncolored exchange group").
CompileResult<std::vector<std::vector<PendingGroup>>> plan_exchange_epochs(std::span<const Transfer> transfers,
                                                                           std::span<const Allocation> allocations,
                                                                           std::size_t phase);

/// Address of the copy that `source` sends `tensor` from in exchange phase `phase`: when an earlier
/// slot of the phase delivered the tensor to the tile (`delivered_in_phase`), the first staging copy
/// of this phase on the tile (a relay within the launch); otherwise, or when there is none, the first
/// staging copy of an earlier phase live at `phase`, else the first home copy. A staging copy of
/// this phase that no earlier slot has written yet is never read. Fails (Memory) with "missing source
/// allocation for tensor {} on tile {}".
CompileResult<std::uint32_t> resolve_source_address(std::span<const Allocation> allocations, TensorId tensor,
                                                    std::uint16_t source, std::size_t phase, bool delivered_in_phase);

/// Addresses of the staging copies of `phase` that receive `tensor` on each tile of `destinations`,
/// in that order. Fails (Memory) with "missing staging allocation for tensor {} on tile {}" for the
/// first destination without one.
CompileResult<std::vector<std::uint32_t>> resolve_destination_addresses(std::span<const Allocation> allocations,
                                                                        TensorId tensor,
                                                                        std::span<const std::uint16_t> destinations,
                                                                        std::size_t phase);

/// How a lowered group addresses SRAM; the lowering produces only `Absolute`.
enum class ExchangeAddressing : std::uint8_t { Relative = 0, Absolute = 1 };

/// Cost of one exchange phase; all zero by default.
struct ExchangeCost {
  /// 1 when the phase has at least one group, else 0.
  std::uint32_t launches = 0;
  /// Length of the launch: the cycle at which the last row of the phase ends.
  std::uint64_t estimated_cycles = 0;
  /// Words sent, summed over groups; a group counts once whatever its number of destinations.
  std::uint64_t payload_words = 0;

  friend bool operator==(const ExchangeCost&, const ExchangeCost&) = default;
};

/// One multicast as lowered, with its rows' SRAM addresses patched in.
struct LoweredExchangeGroup {
  std::uint16_t source_tile = 0;
  /// Strictly ascending.
  std::vector<std::uint16_t> destination_tiles;
  TensorId tensor = 0;
  /// Bytes sent to each destination.
  std::uint32_t bytes = 0;
  ExchangeAddressing addressing = ExchangeAddressing::Absolute;
  zarn_exchange::ExchangeRow sender{};
  /// One row per destination, in the order of `destination_tiles`.
  std::vector<zarn_exchange::ExchangeRow> receivers;

  friend bool operator==(const LoweredExchangeGroup&, const LoweredExchangeGroup&) = default;
};

/// The row a tile runs in an epoch in which it neither sends nor receives. Nothing in it is timed,
/// and it does not begin with EXCHANGE_ROW_ENTRY.
inline constexpr zarn_exchange::ExchangeRow IDLE_EXCHANGE_ROW{
    0x40C00000, 0x41800001, zarn_exchange::EXCHANGE_ROW_RETURN, 0, 0, 0, 0, 0, 0};

/// One launch of an exchange phase.
struct LoweredExchangeEpoch {
  /// Every group of the phase, slot by slot, within a slot in the slot's group order.
  std::vector<LoweredExchangeGroup> groups;
  /// The finished program of every tile that sends or receives in the phase: one entry word first,
  /// one return word last, lasting exactly `cost.estimated_cycles`. Other tiles have no entry.
  std::map<std::uint16_t, std::vector<std::uint32_t>> tile_rows;
  /// The same value as the phase's cost.
  ExchangeCost cost;

  /// A copy of the tile's program, or IDLE_EXCHANGE_ROW when the tile takes no part.
  std::vector<std::uint32_t> row_for(std::uint16_t tile) const;

  friend bool operator==(const LoweredExchangeEpoch&, const LoweredExchangeEpoch&) = default;
};

/// One exchange phase of a schedule, lowered.
struct LoweredExchangePhase {
  /// Index of the exchange phase in the schedule's `phases`.
  std::size_t phase = 0;
  /// Exactly one epoch when the phase has a group; empty when it has none.
  std::vector<LoweredExchangeEpoch> epochs;
  ExchangeCost cost;

  friend bool operator==(const LoweredExchangePhase&, const LoweredExchangePhase&) = default;
};

}  // namespace zarn_compiler
