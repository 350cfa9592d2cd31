#pragma once
/// Per-tile programs: what one tile executes, step by step, with every SRAM address resolved.
///
/// `Schedule::lower_tile_programs` (declared in schedule.h) lowers the exchange phases itself and
/// gives every tile, in phase order, one exchange step per epoch of every exchange phase (the idle
/// exchange row where the tile takes no part) and one compute step per kernel command it runs. A
/// compute step reads an operand from the staging region that the preceding exchange phase filled on
/// the tile (the staging region whose lifetime ends at this compute phase), otherwise from the tile's
/// home region of the operand; it writes its result to the home region of its output.

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"
#include "zarn_compiler/layout.h"
#include "zarn_compiler/lowered_exchange.h"

namespace zarn_compiler {

struct Schedule;

/// One kernel command of a compute phase with its SRAM addresses on the tile.
struct LoweredComputeCommand {
  OpId op = 0;
  /// The output tensor's home region on the tile.
  std::uint32_t output_address = 0;
  /// One per operand, in the kernel command's operand order (an operand listed twice has two).
  std::vector<std::uint32_t> input_addresses;
  SpecializationKey specialization;

  friend bool operator==(const LoweredComputeCommand&, const LoweredComputeCommand&) = default;
};

/// One step of a tile's program.
struct LoweredTileStep {
  /// In exchange phase `phase`, during epoch `epoch` of its lowered form, the tile runs `row`.
  struct Exchange {
    std::size_t phase = 0;
    std::size_t epoch = 0;
    std::vector<std::uint32_t> row;
    friend bool operator==(const Exchange&, const Exchange&) = default;
  };
  /// The tile runs this compute command.
  struct Compute {
    LoweredComputeCommand command;
    friend bool operator==(const Compute&, const Compute&) = default;
  };

  std::variant<Exchange, Compute> value;

  friend bool operator==(const LoweredTileStep&, const LoweredTileStep&) = default;
};

/// The program of one logical tile: its steps in execution order.
struct LoweredTileProgram {
  std::uint16_t tile = 0;
  std::vector<LoweredTileStep> steps;

  friend bool operator==(const LoweredTileProgram&, const LoweredTileProgram&) = default;
};

/// The per-tile programs of `schedule` (one per tile 0 to tile_count - 1) from its already lowered
/// exchange phases; `Schedule::lower_tile_programs` is `lower_exchanges` followed by this. Fails
/// (Graph) with "missing lowered exchange phase {}" for an exchange phase that `lowered_phases` has no
/// entry for, and (Memory) with "missing home allocation for tensor {} on tile {}" for an address it
/// cannot resolve. Emits nothing.
CompileResult<std::vector<LoweredTileProgram>> assemble_tile_programs(
    const Schedule& schedule, std::span<const LoweredExchangePhase> lowered_phases);

}  // namespace zarn_compiler
