#include "zarn_files/work_limits.h"

#include <algorithm>
#include <variant>
#include <vector>

#include "zarn_compiler/layout.h"

namespace zarn_files {
namespace {

/// Steps of the per-tile programs; a tile count beyond the board makes none, since the exchange
/// lowering refuses it before any work.
std::uint64_t program_steps(std::uint64_t tile_count, std::uint64_t exchange_phases, std::uint64_t kernel_commands) {
  if (tile_count > kBoardTiles) return 0;
  return tile_count * exchange_phases + kernel_commands;
}

}  // namespace

Work compile_work(const zarn_compiler::Graph& graph, const zarn_compiler::CompilerOptions& options) {
  if (options.tile_count == 0) return {};
  // Tiles of every tensor's layout; only the count is kept.
  std::vector<std::uint64_t> tiles;
  tiles.reserve(graph.tensors.size());
  for (const auto& tensor : graph.tensors) {
    tiles.push_back(zarn_compiler::choose_layout(tensor, options.tile_count).tiles.size());
  }
  std::uint64_t home_regions = 0;
  for (const std::uint64_t count : tiles) home_regions += count;
  // Layouts are prefixes of the tile range, so an operand on m tiles feeding an output on n tiles
  // moves exactly when m < n, with n - m transfers.
  std::uint64_t kernel_commands = 0;
  std::uint64_t transfers = 0;
  std::uint64_t exchange_phases = 0;
  for (const auto& op : graph.ops) {
    if (op.output >= tiles.size()) continue;
    const std::uint64_t output_tiles = tiles[op.output];
    kernel_commands += output_tiles;
    std::uint64_t op_transfers = 0;
    for (const auto input : op.inputs) {
      if (input < tiles.size() && tiles[input] < output_tiles) op_transfers += output_tiles - tiles[input];
    }
    transfers += op_transfers;
    exchange_phases += op_transfers > 0 ? 1u : 0u;
  }
  return Work{.schedule = home_regions + 2 * transfers + kernel_commands,
              .commands = kernel_commands + 2 * transfers + options.tile_count,
              .exchanges = 2 * transfers,
              .programs = program_steps(options.tile_count, exchange_phases, kernel_commands)};
}

Work lowering_work(const zarn_compiler::Schedule& schedule) {
  std::uint64_t transfers = 0;
  std::uint64_t kernel_commands = 0;
  std::uint64_t exchange_phases = 0;
  for (const auto& phase : schedule.phases) {
    if (const auto* exchange = std::get_if<zarn_compiler::Phase::Exchange>(&phase.value)) {
      transfers += exchange->transfers.size();
      exchange_phases += exchange->transfers.empty() ? 0u : 1u;
    } else {
      kernel_commands += std::get<zarn_compiler::Phase::Compute>(phase.value).commands.size();
    }
  }
  return Work{.schedule = schedule.allocations.size() + transfers + kernel_commands,
              .commands = kernel_commands + 2 * transfers + schedule.tile_count,
              .exchanges = 2 * transfers,
              .programs = program_steps(schedule.tile_count, exchange_phases, kernel_commands)};
}

}  // namespace zarn_files
