#pragma once
/// The tile SRAM plan: a home region for every tensor on every tile of its layout (data window) and a
/// staging region for every transfer destination (exchange window), each with a lifetime in phase
/// indexes. Regions whose lifetimes do not overlap may share addresses.
///
/// Lifetimes here are closed ranges: a region is in use at every phase p with
/// live_from <= p <= live_until. So a tensor last read in phase k and a tensor written in phase k
/// never share storage, and an operation's operands never alias its result.

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string_view>
#include <vector>

#include "zarn_compiler/allocation.h"
#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"
#include "zarn_compiler/layout.h"
#include "zarn_compiler/schedule.h"

namespace zarn_compiler {

/// Per tile, the indexes (into the allocation list) of the allocations made on it so far, in creation
/// order. Only looked up by tile, never iterated.
using TileAllocations = std::map<std::uint16_t, std::vector<std::size_t>>;

/// One region to place with `allocate_region`.
struct RegionRequest {
  TensorId tensor = 0;
  std::uint16_t tile = 0;
  std::uint32_t size = 0;
  /// Closed lifetime: in use from `live_from` through `live_until`.
  std::size_t live_from = 0;
  std::size_t live_until = 0;
  std::uint32_t alignment = 16;
  AllocationKind kind;
  /// The window: the region starts at or above `base` and ends at or below `limit`.
  std::uint32_t base = 0;
  std::uint32_t limit = 0;
  /// Names the request in messages.
  std::string_view label;
};

/// Places every home region (by tensor, then by tile in layout order), then every staging region (by
/// exchange phase, then by transfer; one per tensor, destination tile and phase, sized by the first
/// such transfer), and returns them in that order.
///
/// Home region of tensor t: `align_u32(local_bytes(t), alignment)` bytes, live from the phase that
/// produces t (0 for inputs and weights) to the last phase that reads it; graph outputs stay live to
/// one past the last phase, and a produced tensor that nothing reads later is live only in its
/// producing phase. Staging region of exchange phase p: the transfer's bytes aligned to 16, live over
/// p and p + 1.
///
/// `layouts` holds one layout per tensor and `phases` names only operations and tensors of `graph`, as
/// `compile` builds them. Fails (Memory) with "address overflow", "tile {} exceeds data limit
/// allocating {}", or "{label}: {bytes} bytes per tile exceed the 32-bit address range".
CompileResult<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                                   std::span<const Phase> phases, const CompilerOptions& options);

/// First fit by moving past collisions: the lowest start that is `base` itself or a multiple of
/// `alignment` above it whose span meets no allocation of the tile with an overlapping lifetime (any
/// kind). Appends the new allocation to `allocations` and its index to `by_tile`, or fails (Memory)
/// with "address overflow" (a candidate would end past 2^32 - 1) or "tile {tile} exceeds data limit
/// allocating {label}" (the lowest free start ends above `limit`) and appends nothing.
CompileResult<void> allocate_region(std::vector<Allocation>& allocations, TileAllocations& by_tile,
                                    const RegionRequest& request);

/// True when the closed ranges [a_start, a_end] and [b_start, b_end] share at least one phase.
bool lifetimes_overlap(std::size_t a_start, std::size_t a_end, std::size_t b_start, std::size_t b_end);

}  // namespace zarn_compiler
