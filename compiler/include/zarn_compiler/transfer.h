#pragma once
/// Exchange transfers: the copies of operand shares that must reach an operation's computing tiles
/// before it runs, and the check every transfer list passes before it is scheduled or lowered.

#include <cstdint>
#include <span>
#include <vector>

#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"
#include "zarn_compiler/layout.h"

namespace zarn_compiler {

/// One tile's share of a tensor copied to another tile during an exchange phase.
struct Transfer {
  std::uint16_t source_tile = 0;
  std::uint16_t destination_tile = 0;
  TensorId tensor = 0;
  /// The sending tile's share of the tensor.
  std::uint32_t bytes = 0;

  friend bool operator==(const Transfer&, const Transfer&) = default;
};

/// The transfers that must precede `op`'s compute phase, in operand order and then in the order of
/// the output layout's tiles. An operand on the output's tiles with the output's sharding needs none;
/// otherwise output tile d at position i receives from the operand tile at position i modulo the
/// operand's tile count, unless that is d itself. An operand listed twice is handled twice.
///
/// `layouts` holds one layout per tensor, indexed by tensor id. Fails (Memory) only when a moving
/// operand's per-tile share does not fit in 32 bits (see `local_bytes_u32`).
CompileResult<std::vector<Transfer>> operation_transfers(const Op& op, const Graph& graph,
                                                          std::span<const Layout> layouts);

/// Fails (Graph) at the first transfer in list order that has equal source and destination tiles or
/// 0 bytes ("invalid exchange transfer"), or that sends a tensor to a destination tile the list
/// already sends it to ("multiple sends target one tensor region in an epoch").
CompileResult<void> validate_transfers(std::span<const Transfer> transfers);

}  // namespace zarn_compiler
