#pragma once
/// The records of a compilation: the options a caller passes in, the phases of the bulk-synchronous
/// program, the finished `Schedule`, and the encoded tile commands a schedule renders per tile.
///
/// A `Schedule` owns its layouts, phases and allocations. Every later stage reads it without changing
/// it; its methods return fresh values owned by the caller.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <variant>
#include <vector>

#include "zarn_compiler/allocation.h"
#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"
#include "zarn_compiler/layout.h"
#include "zarn_compiler/transfer.h"

namespace zarn_exchange {
struct Topology;  // zarn_exchange/topology.h
}

namespace zarn_compiler {

struct LoweredExchangePhase;  // zarn_compiler/lowered_exchange.h
struct LoweredTileProgram;    // zarn_compiler/tile_program.h

/// The tile count and the two SRAM windows of a compilation. The exchange window holds staging
/// regions and lies below the data window, which holds home regions.
struct CompilerOptions {
  /// Logical tiles 0 to tile_count - 1 are available.
  std::uint16_t tile_count = 64;
  /// First byte of the exchange window.
  std::uint32_t exchange_base = 0x50000;
  /// End (exclusive) of the exchange window.
  std::uint32_t exchange_limit = 0x58000;
  /// First byte of the data window.
  std::uint32_t data_base = 0x58000;
  /// End (exclusive) of the data window.
  std::uint32_t data_limit = 0xE0000;

  /// Lowest and highest address an exchange window may use: a receiver row writes only inside
  /// [0x50000, 0x58000).
  static constexpr std::uint32_t kLowestExchangeBase = 0x50000;
  static constexpr std::uint32_t kHighestExchangeLimit = 0x58000;

  /// True when `tile_count` is not 0, the exchange window is non-empty and lies within the receive
  /// range, and the data window is non-empty and starts at or above the exchange window's end.
  bool is_valid() const;

  friend bool operator==(const CompilerOptions&, const CompilerOptions&) = default;
};

/// One step of the program: an exchange that moves operand shares, or the compute of one operation.
struct Phase {
  struct Exchange {
    /// In derivation order; never empty in a compiled schedule.
    std::vector<Transfer> transfers;
    friend bool operator==(const Exchange&, const Exchange&) = default;
  };
  struct Compute {
    OpId op = 0;
    /// One per tile of the operation's output layout, in that layout's tile order.
    std::vector<KernelCommand> commands;
    friend bool operator==(const Compute&, const Compute&) = default;
  };

  std::variant<Exchange, Compute> value;

  friend bool operator==(const Phase&, const Phase&) = default;
};

/// One encoded tile command: eight 32-bit words, word 0 the opcode (1 transfer, 2 compute, 255 end).
struct EncodedTileCommand {
  static constexpr std::uint32_t kTransfer = 1;
  static constexpr std::uint32_t kCompute = 2;
  static constexpr std::uint32_t kEnd = 0xFF;

  std::array<std::uint32_t, 8> words{};

  /// The 32 bytes of the command: word k in bytes 4k to 4k + 3, least significant byte first.
  std::array<std::uint8_t, 32> to_le_bytes() const;

  friend bool operator==(const EncodedTileCommand&, const EncodedTileCommand&) = default;
};

/// The compiler's result. Equal when all five fields are equal (`peak_sram` entry by entry).
struct Schedule {
  /// One per tensor; entry i describes tensor i.
  std::vector<Layout> layouts;
  /// The program, in execution order; a phase is named by its index here.
  std::vector<Phase> phases;
  /// Every tensor copy on every tile: home regions, then staging regions.
  std::vector<Allocation> allocations;
  std::uint16_t tile_count = 0;
  /// Per tile with at least one allocation, its largest allocation end counted from the lower window
  /// base.
  std::map<std::uint16_t, std::uint32_t> peak_sram;

  /// The tile's command stream, in phase order: a transfer command for every transfer it sends or
  /// receives, a compute command for every kernel command it runs, and one end command last.
  /// Fails (Graph) with "tile {} is out of range" when `tile` is not below `tile_count`, and with
  /// "{what} {value} does not fit in a 32-bit command word" for a phase, operation, tensor or operand
  /// count of 2^32 or more (which only a schedule assembled by hand can hold).
  CompileResult<std::vector<EncodedTileCommand>> tile_commands(std::uint16_t tile) const;

  /// The command streams of every tile 0 to `tile_count` - 1: entry t equals `tile_commands(t)`, and
  /// a failure is the one `tile_commands` gives for the lowest failing tile. One walk over the phases
  /// for all tiles, where calling `tile_commands` per tile walks them once per tile.
  CompileResult<std::vector<std::vector<EncodedTileCommand>>> all_tile_commands() const;

  /// Every exchange phase lowered into one launch of per-tile exchange programs, in phase order; see
  /// zarn_compiler/lowered_exchange.h. Fails (Graph) with "exchange topology has too few tiles" when
  /// `topology` has fewer tiles than `tile_count`, then with the first failure of a phase's transfer
  /// check, slot planning, copy resolution or the exchange library (Exchange, unchanged). On success
  /// emits the INFO event "lowered exchange schedule" (fields `phases`, `launches`).
  CompileResult<std::vector<LoweredExchangePhase>> lower_exchanges(const zarn_exchange::Topology& topology) const;

  /// One program per tile 0 to `tile_count` - 1, from `lower_exchanges` (whose event it emits too);
  /// see zarn_compiler/tile_program.h. On success emits the INFO event "lowered per-tile programs"
  /// (field `tiles`).
  CompileResult<std::vector<LoweredTileProgram>> lower_tile_programs(const zarn_exchange::Topology& topology) const;

  /// Address of the first `Home` allocation of `tensor` on `tile`. Fails (Memory) with "missing home
  /// allocation for tensor {} on tile {}".
  CompileResult<std::uint32_t> home_address(TensorId tensor, std::uint16_t tile) const;

  /// Where compute phase `compute_phase` reads operand `tensor` on `tile`: the first staging region of
  /// it on the tile whose lifetime ends at that phase (delivered by the exchange just before),
  /// otherwise `home_address`.
  CompileResult<std::uint32_t> compute_input_address(TensorId tensor, std::uint16_t tile,
                                                     std::size_t compute_phase) const;

  friend bool operator==(const Schedule&, const Schedule&) = default;
};

}  // namespace zarn_compiler
