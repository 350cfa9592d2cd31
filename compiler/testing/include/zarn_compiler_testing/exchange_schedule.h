#pragma once
/// Hand-built schedules for exercising the exchange lowering, shared by the compiler's unit tests and
/// the self-check scenarios. Not part of the compiler library.

#include <cstddef>
#include <span>

#include "zarn_compiler/schedule.h"
#include "zarn_compiler/transfer.h"

namespace zarn_compiler_testing {

/// Where the fixtures place copies: home copies in the data window, staging copies in the exchange
/// window (inside the receive window).
inline constexpr std::uint32_t kFixtureHomeAddress = 0x62000;
inline constexpr std::uint32_t kFixtureStagingAddress = 0x52000;

/// A schedule of one exchange phase (index 0) holding `transfers`, with no layouts, an empty
/// `peak_sram` and `tile_count` 16. Walking the transfers in order, each adds a `Home` copy of its
/// tensor on its source tile (at 0x62000, the transfer's bytes, live 0..1) unless that tile already
/// has one, then an `ExchangeStaging` phase-0 copy on its destination tile (at 0x52000, same size and
/// lifetime) unless that tile already has one.
zarn_compiler::Schedule exchange_schedule(std::span<const zarn_compiler::Transfer> transfers);

/// The relay: tensor 0, 256 bytes, from tile 3 to tile 1 and then from tile 1 to tile 2, in one
/// phase. Tile 1 holds no copy of tensor 0 but the staging copy of this phase at 0x50400.
zarn_compiler::Schedule relay_schedule();

/// Two exchange phases: phase 0 sends tensor 0 (64 bytes) from tile 0 to tile 1, phase 1 from tile
/// 1 to tile 2. Home copy on tile 0 (0x62000, live 0..2); staging copy of phase 0 on tile 1 (0x52000,
/// live 0..`tile1_live_until`); staging copy of phase 1 on tile 2 (0x53000, live 1..2). With
/// `tile1_live_until` 2, tile 1's copy is still live when phase 1 starts and is its source.
zarn_compiler::Schedule live_staging_schedule(std::size_t tile1_live_until = 2);

}  // namespace zarn_compiler_testing
