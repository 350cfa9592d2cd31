#pragma once
/// Occupied SRAM regions of a tile and the stand-alone constrained region allocator.
///
/// An `Allocation` is one contiguous region [address, address + size) of one tile's SRAM, in use
/// during a span of phases. `find_free_region` answers where a new region could go under explicit
/// bounds; it records nothing. The schedule's own SRAM plan (memory_plan.h) uses the same records.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"

namespace zarn_compiler {

/// What a region holds: the tensor's resident share on the tile, or a receive buffer for one
/// exchange phase.
struct AllocationKind {
  /// The tensor's share under its layout.
  struct Home {
    friend bool operator==(const Home&, const Home&) = default;
  };
  /// Receives the data that arrives on this tile in exchange phase `phase`.
  struct ExchangeStaging {
    std::size_t phase = 0;
    friend bool operator==(const ExchangeStaging&, const ExchangeStaging&) = default;
  };

  std::variant<Home, ExchangeStaging> value;

  friend bool operator==(const AllocationKind&, const AllocationKind&) = default;
};

/// One occupied SRAM region of one tile with its lifetime in phase indexes.
///
/// `find_free_region` reads the lifetime as half-open (in use at live_from <= p < live_until); the
/// schedule's SRAM plan reads it as closed (both ends in use).
struct Allocation {
  TensorId tensor = 0;
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  std::size_t live_from = 0;
  std::size_t live_until = 0;
  AllocationKind kind;

  friend bool operator==(const Allocation&, const Allocation&) = default;
};

/// Search direction of `find_free_region`: lowest or highest fitting address.
enum class MemoryPlacement : std::uint8_t { Low = 0, High = 1 };

/// Bounds of one `find_free_region` request.
struct MemoryConstraint {
  /// Lowest address at which the region may start.
  std::uint32_t base = 0;
  /// Exclusive upper bound: the region must end at or below it.
  std::uint32_t limit = 0;
  /// Every returned address is a multiple of it; a power of two.
  std::uint32_t alignment = 0;
  MemoryPlacement placement = MemoryPlacement::Low;

  friend bool operator==(const MemoryConstraint&, const MemoryConstraint&) = default;
};

/// Finds the lowest (`Low`) or highest (`High`) multiple of `constraint.alignment` between `base` and
/// `limit - size` at which a region of `size` bytes on `tile`, live over the half-open lifetime
/// [live_from, live_until), meets no allocation of the same tile whose lifetime overlaps it.
/// Allocations of other tiles never block; kinds play no part.
///
/// Fails (Memory) with "invalid allocation constraint" (zero size, empty lifetime, alignment not a
/// power of two, empty window, size larger than the window), "allocation address overflow" (a `Low`
/// candidate would pass 2^32 - 1) or "no {size}-byte region for tile {tile} in 0x{base}..0x{limit}".
CompileResult<std::uint32_t> find_free_region(std::span<const Allocation> allocations, std::uint16_t tile,
                                              std::uint32_t size, std::size_t live_from,
                                              std::size_t live_until, const MemoryConstraint& constraint);

/// The smallest multiple of `alignment` not below `value` (any non-zero alignment, not only powers of
/// two). The caller guarantees a non-zero alignment and a result that fits in 32 bits; a violation
/// stops the program.
std::uint32_t align_u32(std::uint32_t value, std::uint32_t alignment);

/// `align_u32` for values near the top of the address range: nothing when the aligned value would pass
/// 2^32 - 1. The alignment must be non-zero.
std::optional<std::uint32_t> align_u32_checked(std::uint32_t value, std::uint32_t alignment);

}  // namespace zarn_compiler
