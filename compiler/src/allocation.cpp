#include "zarn_compiler/allocation.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "invariant.h"
#include "zarn_platform/format.h"

namespace zarn_compiler {

namespace {

constexpr std::uint64_t kAddressRange = std::numeric_limits<std::uint32_t>::max();

/// Whether a region [address, address + size) on `tile`, live over the half-open range
/// [live_from, live_until), meets none of `allocations`. The caller guarantees address + size fits.
bool region_is_free(std::span<const Allocation> allocations, std::uint16_t tile, std::uint32_t address,
                    std::uint32_t size, std::size_t live_from, std::size_t live_until) {
  const std::uint32_t end = address + size;
  for (const auto& existing : allocations) {
    if (existing.tile != tile) continue;
    if (live_from >= existing.live_until || existing.live_from >= live_until) continue;
    if (end <= existing.address) continue;
    // A malformed record could end past the address range; saturate instead of wrapping.
    const std::uint64_t existing_end = std::min<std::uint64_t>(
        std::uint64_t{existing.address} + existing.size, kAddressRange);
    if (address >= existing_end) continue;
    return false;
  }
  return true;
}

}  // namespace

CompileResult<std::uint32_t> find_free_region(std::span<const Allocation> allocations, std::uint16_t tile,
                                              std::uint32_t size, std::size_t live_from,
                                              std::size_t live_until, const MemoryConstraint& constraint) {
  const auto [base, limit, alignment, placement] = constraint;
  if (size == 0 || live_from >= live_until || !std::has_single_bit(alignment) || base >= limit ||
      size > limit - base) {
    return memory_error("invalid allocation constraint");
  }
  // Every candidate lies at or below this, so candidate + size never passes `limit`.
  const std::uint32_t last_start = limit - size;

  if (placement == MemoryPlacement::Low) {
    const auto first = align_u32_checked(base, alignment);
    if (!first) return memory_error("allocation address overflow");
    std::uint32_t address = *first;
    while (address <= last_start) {
      if (region_is_free(allocations, tile, address, size, live_from, live_until)) return address;
      if (address > std::numeric_limits<std::uint32_t>::max() - alignment) {
        return memory_error("allocation address overflow");
      }
      address += alignment;
    }
  } else {
    std::uint32_t address = last_start & ~(alignment - 1);
    while (address >= base) {
      if (region_is_free(allocations, tile, address, size, live_from, live_until)) return address;
      if (address < alignment) break;
      address -= alignment;
    }
  }
  return memory_error(zarn_platform::format("no {}-byte region for tile {} in 0x{}..0x{}", size, tile,
                                            zarn_platform::Hex{base}, zarn_platform::Hex{limit}));
}

std::uint32_t align_u32(std::uint32_t value, std::uint32_t alignment) {
  const auto aligned = align_u32_checked(value, alignment);
  if (!aligned) detail::invariant_broken("align_u32 result passes 2^32 - 1");
  return *aligned;
}

std::optional<std::uint32_t> align_u32_checked(std::uint32_t value, std::uint32_t alignment) {
  detail::check_invariant(alignment != 0, "align_u32 with alignment 0");
  const std::uint64_t aligned = (std::uint64_t{value} + alignment - 1) / alignment * alignment;
  if (aligned > kAddressRange) return std::nullopt;
  return static_cast<std::uint32_t>(aligned);
}

}  // namespace zarn_compiler
