#pragma once
/// Straightforward versions of the compiler stages that the library implements with indexes: each
/// follows the documented rules literally (scan the whole allocation list for every lookup, compare
/// every pair of groups, rescan every key in every colouring round, walk every phase once per tile).
/// They are the references of the equivalence tests, which require the library's results to be equal
/// to these, and the baselines of the benchmarks. Not part of the compiler library.

#include <cstdint>
#include <span>
#include <vector>

#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"
#include "zarn_compiler/layout.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/schedule.h"
#include "zarn_compiler/tile_program.h"
#include "zarn_exchange/topology.h"

namespace zarn_compiler_testing::straightforward {

/// The transfer check with a set of the (destination tile, tensor) pairs seen so far.
zarn_compiler::CompileResult<void> validate_transfers(std::span<const zarn_compiler::Transfer> transfers);

/// The SRAM plan by the rules as written: every region placed with `allocate_region` (a rescan of
/// the tile's regions in creation order after every move), and the one-staging-region-per-phase test
/// scanning the whole allocation list for every transfer.
zarn_compiler::CompileResult<std::vector<zarn_compiler::Allocation>> plan_memory(
    const zarn_compiler::Graph& graph, std::span<const zarn_compiler::Layout> layouts,
    std::span<const zarn_compiler::Phase> phases, const zarn_compiler::CompilerOptions& options);

/// `compile` with the straightforward SRAM plan and the peak map filled allocation by allocation.
zarn_compiler::CompileResult<zarn_compiler::Schedule> compile(const zarn_compiler::Graph& graph,
                                                              const zarn_compiler::CompilerOptions& options);

/// `Schedule::tile_commands` for every tile 0 to tile_count - 1: one walk over all phases per tile.
zarn_compiler::CompileResult<std::vector<std::vector<zarn_compiler::EncodedTileCommand>>> all_tile_commands(
    const zarn_compiler::Schedule& schedule);

/// Grouping with a search of the groups made so far for every transfer.
std::vector<zarn_compiler::PendingGroup> group_transfers(std::span<const zarn_compiler::Transfer> transfers);

/// The conflict graph from `exchange_groups_conflict` on every ordered pair of groups.
std::vector<std::vector<std::size_t>> exchange_conflict_graph(std::span<const zarn_compiler::PendingGroup> groups);

/// The colouring that recomputes the key of every uncoloured group in every round.
zarn_compiler::CompileResult<zarn_compiler::ExchangeColoring> color_exchange_groups(
    std::span<const zarn_compiler::PendingGroup> groups, std::span<const std::vector<std::size_t>> adjacency);

/// Slot planning from the pieces above, with the visible copies collected from the whole allocation
/// list and the first ready class searched from the front every time.
zarn_compiler::CompileResult<std::vector<std::vector<zarn_compiler::PendingGroup>>> plan_exchange_epochs(
    std::span<const zarn_compiler::Transfer> transfers, std::span<const zarn_compiler::Allocation> allocations,
    std::size_t phase);

/// Copy resolution scanning the whole allocation list for every lookup.
zarn_compiler::CompileResult<std::uint32_t> resolve_source_address(std::span<const zarn_compiler::Allocation> allocations,
                                                                   zarn_compiler::TensorId tensor, std::uint16_t source,
                                                                   std::size_t phase, bool delivered_in_phase);
zarn_compiler::CompileResult<std::vector<std::uint32_t>> resolve_destination_addresses(
    std::span<const zarn_compiler::Allocation> allocations, zarn_compiler::TensorId tensor,
    std::span<const std::uint16_t> destinations, std::size_t phase);

/// `Schedule::lower_exchanges` built from the straightforward pieces above.
zarn_compiler::CompileResult<std::vector<zarn_compiler::LoweredExchangePhase>> lower_exchanges(
    const zarn_compiler::Schedule& schedule, const zarn_exchange::Topology& topology);

/// `Schedule::home_address` and `Schedule::compute_input_address` scanning the allocation list.
zarn_compiler::CompileResult<std::uint32_t> home_address(const zarn_compiler::Schedule& schedule,
                                                         zarn_compiler::TensorId tensor, std::uint16_t tile);
zarn_compiler::CompileResult<std::uint32_t> compute_input_address(const zarn_compiler::Schedule& schedule,
                                                                  zarn_compiler::TensorId tensor, std::uint16_t tile,
                                                                  std::size_t compute_phase);

/// `assemble_tile_programs` walking every phase once per tile, with the scanning address lookups.
zarn_compiler::CompileResult<std::vector<zarn_compiler::LoweredTileProgram>> assemble_tile_programs(
    const zarn_compiler::Schedule& schedule, std::span<const zarn_compiler::LoweredExchangePhase> lowered_phases);

/// `Schedule::lower_tile_programs`: the straightforward `lower_exchanges`, then the straightforward
/// `assemble_tile_programs`.
zarn_compiler::CompileResult<std::vector<zarn_compiler::LoweredTileProgram>> lower_tile_programs(
    const zarn_compiler::Schedule& schedule, const zarn_exchange::Topology& topology);

}  // namespace zarn_compiler_testing::straightforward
