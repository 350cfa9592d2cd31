#pragma once
/// Workloads that fill the whole 1472-tile board, shared by the equivalence tests and the benchmarks:
/// the largest encoder layer that compiles and lowers on the board, and hand-built exchange schedules
/// (the all-tile matching, an all-to-all among 64 tiles, seeded random phases). Not part of the
/// compiler library.

#include <cstddef>
#include <cstdint>
#include <span>

#include "zarn_compiler/encoder.h"
#include "zarn_compiler/schedule.h"
#include "zarn_compiler/transfer.h"

namespace zarn_compiler_testing {

/// Tiles of the K1472 board.
inline constexpr std::uint16_t kBoardTiles = 1472;

/// The encoder layer that fills the board: sequence 128, hidden 768, heads 12, feed-forward 3072.
/// Compiled with `board_options` it uses all 1472 tiles and lowers without error (see
/// bench/README.md for why larger layers stop there).
zarn_compiler::EncoderConfig board_encoder_config();

/// The default options with `tile_count` 1472.
zarn_compiler::CompilerOptions board_options();

/// A schedule of one exchange phase (index 0) holding `transfers` on `tile_count` tiles. Every
/// (tensor, source tile) gets a `Home` copy and every (tensor, destination tile) an `ExchangeStaging`
/// phase-0 copy, both live 0..1, unless the tile already has one; a `relay_source` transfer's source
/// tile gets no home copy (it sends what an earlier slot delivers). Copies on one tile get distinct
/// addresses (home copies upward from 0x60000, staging copies upward from 0x50000, in order of
/// creation), so a lookup that picks the wrong copy shows in the lowered rows.
struct BoardTransfer {
  zarn_compiler::Transfer transfer;
  bool relay_source = false;
};
zarn_compiler::Schedule board_exchange_schedule(std::span<const BoardTransfer> transfers,
                                                std::uint16_t tile_count = kBoardTiles);

/// Tile 2i sends tensor i (4 bytes) to tile 2i + 1 for i = 0..735: one slot of 736 groups.
zarn_compiler::Schedule all_tile_matching_schedule();

/// Every tile s of 0..63 sends tensor s (16 bytes) to the 63 others: 64 groups that all conflict.
zarn_compiler::Schedule all_to_all_schedule(std::uint16_t tiles = 64);

/// A seeded random phase on `tile_count` tiles with `group_count` multicast groups of 1 to 8
/// destinations each (4 to 64 bytes), their transfers listed in a shuffled order. Group g sends
/// tensor g from a random source; with `relay_one_in` n > 0, about one group in n instead relays the
/// tensor of an earlier group from one of that group's destinations (the relay's source then holds
/// only the staging copy it receives in this phase). The result passes `validate_transfers`. Without
/// relays it lowers without error for the default sizes (about 14 slots, some 2600 cycles); with
/// relays the colour classes often wait on each other and the lowering fails with "exchange staging
/// dependencies contain a cycle".
zarn_compiler::Schedule random_exchange_schedule(std::uint32_t seed, std::size_t group_count = kBoardTiles,
                                                 std::uint16_t tile_count = kBoardTiles,
                                                 std::uint32_t relay_one_in = 0);

}  // namespace zarn_compiler_testing
