#pragma once
/// Tile topology of the K1472 board: the mapping from logical tiles (what callers speak of) to
/// physical tiles (what the exchange fabric and the instruction words speak of), and the timing model
/// of a pair of physical tiles that the multicast planner uses.
///
/// Physical tile number, as composed by the K1472 mapping:
///   bit 0      parity of the logical tile's block
///   bit 1      lane (bit 0 of the logical tile)
///   bits 2..5  block / 2 — the raw column; bit 5 is the half of the board
///   bits 6..10 row on the board (0..22) — the group
/// The timing functions read bits 2..5 as the raw column, bits 6..10 as the group and bits 0..1 as
/// the lane.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zarn_exchange/error.h"

namespace zarn_exchange {

struct MulticastPlan;  // zarn_exchange/multicast.h

/// Number of tiles of the K1472 board.
inline constexpr std::size_t K1472_TILE_COUNT = 1472;

/// The logical-to-physical tile mapping of one board. Immutable after construction; share it by
/// read-only reference.
struct Topology {
  /// Entry i is the physical tile of logical tile i; the length is the board's tile count.
  std::vector<std::uint16_t> logical_to_physical;

  /// The K1472 board: entry i is `k1472_logical_to_physical(i)` for i = 0..1471, a bijection of
  /// 0..1471 onto itself.
  static Topology k1472();

  /// The board's tile count (1472 for K1472).
  std::size_t tile_count() const { return logical_to_physical.size(); }

  /// The physical tile of `logical`, or Tile(logical) when `logical` is not below the tile count.
  ExchangeResult<std::uint16_t> physical(std::uint16_t logical) const;

  /// The sender row and one receiver row per receiver that move `count` words from `sender_logical`
  /// to every tile of `receiver_logical`; see zarn_exchange/multicast.h, which defines the result.
  ExchangeResult<MulticastPlan> multicast(std::uint16_t sender_logical, std::span<const std::uint16_t> receiver_logical,
                                          std::uint32_t count, std::uint32_t schedule_offset) const;

  friend bool operator==(const Topology&, const Topology&) = default;
};

/// Physical tile of a K1472 logical tile. No checks; meaningful for 0..1471. Pairs of logical tiles
/// share a row and column; 23 pairs fill one block column, odd blocks run the rows back from 22 to 0
/// in the neighbouring column (a serpentine), and every second block moves four columns on.
constexpr std::uint16_t k1472_logical_to_physical(std::uint16_t logical) {
  // No intermediate exceeds 16 bits for any 16-bit argument.
  const unsigned pair = logical >> 1u;
  const unsigned lane = logical & 1u;
  const unsigned block = pair / 23;
  unsigned row = pair % 23;
  if ((block & 1u) != 0) row = 22 - row;
  const unsigned column = (block >> 1u) * 4 + (block & 1u);
  return static_cast<std::uint16_t>(row * 64 + column + lane * 2);
}

/// Route displacement from `source` to `destination` (physical tiles), the signed column distance
/// of the route scaled by six plus a lane- and half-dependent entry offset. Lies in -47..47 for
/// every pair of K1472 tiles (and for any arguments, since only the low six bits are read).
constexpr std::int32_t route_displacement(std::uint32_t source, std::uint32_t destination) {
  const auto source_raw = static_cast<std::int32_t>((source >> 2) & 15u);
  const auto destination_raw = static_cast<std::int32_t>((destination >> 2) & 15u);
  // Raw columns 8..15 are the far half, counted back: they map to columns 7..0.
  const std::int32_t source_column = source_raw > 7 ? (source_raw ^ 15) : source_raw;
  const std::int32_t destination_column = destination_raw > 7 ? (destination_raw ^ 15) : destination_raw;
  const std::int32_t source_mux = source_column + ((source_raw >> 3) ^ static_cast<std::int32_t>(source & 1u));
  const std::int32_t base = (destination_column - source_mux) * 6;
  const auto destination_lane = static_cast<std::int32_t>(destination & 3u);
  const std::int32_t destination_half = destination_raw >> 3;
  if (destination_lane > 1) {
    return destination_half == static_cast<std::int32_t>(destination & 1u) ? base + 2 : base + 4;
  }
  return destination_half == destination_lane ? base + 1 : base + 5;
}

/// Cycle offset from the sender's send to the cycle at which the word reaches the mux of the
/// receiving tile `destination` (both physical). Negative values place the receiver's event before
/// the send. Lies in -78..112 for every ordered pair of distinct K1472 tiles; not symmetric.
constexpr std::int32_t time_to_mux(std::uint32_t source, std::uint32_t destination) {
  const auto source_raw = static_cast<std::int32_t>((source >> 2) & 15u);
  const auto destination_raw = static_cast<std::int32_t>((destination >> 2) & 15u);
  const auto source_low = static_cast<std::int32_t>((source >> 2) & 7u);
  const std::int32_t displacement = route_displacement(source, destination);
  const std::int32_t source_edge = source_raw > 7 ? ((source_raw * 4) ^ 0x3c) : source_raw * 4;
  const std::int32_t destination_edge = destination_raw > 7 ? ((destination_raw * 4) ^ 0x3c) : destination_raw * 4;
  const auto local = static_cast<std::int32_t>(((source >> 2) & 8u) | ((source >> 3) & 3u));
  // The crossing term subtracts the raw destination column, not its edge.
  const std::int32_t crossing = local - destination_raw + ((source_low >> 1) ^ 3);
  const bool same_region = (source & 0x20u) == (destination & 0x20u);
  const std::int32_t turn = same_region ? source_low + 1 : 16 - source_low;
  const std::int32_t group_delta =
      (static_cast<std::int32_t>((source >> 6) & 31u) - static_cast<std::int32_t>((destination >> 6) & 31u)) * 2;
  const std::int32_t distance = displacement < 0 ? -displacement : displacement;
  return crossing + source_edge + turn - destination_edge + group_delta + distance - 34;
}

}  // namespace zarn_exchange
