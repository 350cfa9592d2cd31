#include "zarn_compiler/memory_plan.h"

#include <algorithm>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "invariant.h"
#include "transfer_targets.h"
#include "zarn_platform/format.h"
#include "zarn_platform/overloaded.h"

namespace zarn_compiler {

namespace {

constexpr std::uint64_t kAddressRange = std::numeric_limits<std::uint32_t>::max();
/// Staging regions are aligned like every layout's per-tile storage.
constexpr std::uint32_t kStagingAlignment = 16;

/// Closed home lifetime of every tensor, indexed by tensor id.
struct HomeLifetimes {
  std::vector<std::size_t> live_from;
  std::vector<std::size_t> live_until;
};

HomeLifetimes home_lifetimes(const Graph& graph, std::span<const Phase> phases) {
  using zarn_platform::overloaded;
  const std::size_t tensor_count = graph.tensors.size();
  std::vector<std::optional<std::size_t>> produced(tensor_count);
  std::vector<std::size_t> consumed(tensor_count, 0);
  for (std::size_t index = 0; index < phases.size(); ++index) {
    std::visit(overloaded{
                   [&](const Phase::Compute& compute) {
                     detail::check_invariant(compute.op < graph.ops.size(), "compute phase names no operation");
                     const Op& op = graph.ops[compute.op];
                     detail::check_invariant(op.output < tensor_count, "operation output names no tensor");
                     produced[op.output] = index;
                     for (const TensorId input : op.inputs) {
                       detail::check_invariant(input < tensor_count, "operand names no tensor");
                       consumed[input] = std::max(consumed[input], index);
                     }
                   },
                   [&](const Phase::Exchange& exchange) {
                     for (const auto& transfer : exchange.transfers) {
                       detail::check_invariant(transfer.tensor < tensor_count, "transfer names no tensor");
                       consumed[transfer.tensor] = std::max(consumed[transfer.tensor], index);
                     }
                   },
               },
               phases[index].value);
  }

  std::vector<bool> is_output(tensor_count, false);
  for (const TensorId output : graph.outputs) {
    detail::check_invariant(output < tensor_count, "graph output names no tensor");
    is_output[output] = true;
  }

  HomeLifetimes lifetimes{std::vector<std::size_t>(tensor_count), std::vector<std::size_t>(tensor_count)};
  for (std::size_t tensor = 0; tensor < tensor_count; ++tensor) {
    const std::size_t from = produced[tensor].value_or(0);
    std::size_t until = consumed[tensor];
    if (is_output[tensor]) {
      // Graph outputs stay reserved one past the last phase, to the end of the program.
      until = phases.size();
    } else if (produced[tensor] && until < from) {
      // Written but read by no later phase: the region is still written in its producing phase, so
      // it must not overlap anything live there. Left as is, the lifetime would run backwards.
      until = from;
    }
    lifetimes.live_from[tensor] = from;
    lifetimes.live_until[tensor] = until;
  }
  return lifetimes;
}

/// Why no start was found for a region.
enum class PlacementFailure : std::uint8_t {
  /// A candidate region would end past 2^32 - 1.
  AddressOverflow,
  /// The lowest free start makes the region end above the window's limit.
  OutsideWindow,
};

/// The regions placed so far, per tile, each tile's list ordered by start address.
///
/// The plan's first fit is the lowest start that is the window base itself or a multiple of the
/// alignment above it whose span meets no region of the tile with an overlapping lifetime. That start
/// does not depend on the order in which colliding regions are examined, so walking the tile's
/// regions once in address order finds it: the candidate only ever moves up, past a region it meets,
/// and once a region starts at or above the candidate's end, every later one does too. A placement
/// therefore reads each region of its tile below the result at most once, instead of rescanning the
/// tile's list after every move.
class TileRegionIndex {
 public:
  /// `capacity[t]` is the most regions tile t will receive; all tiles share one flat list, each
  /// owning a slice that long.
  explicit TileRegionIndex(std::span<const std::size_t> capacity) : starts_(capacity.size() + 1, 0), sizes_(capacity.size(), 0) {
    for (std::size_t tile = 0; tile < capacity.size(); ++tile) starts_[tile + 1] = starts_[tile] + capacity[tile];
    regions_.resize(starts_.back());
  }

  std::expected<std::uint32_t, PlacementFailure> lowest_free_start(const RegionRequest& request) const {
    std::uint64_t address = request.base;
    if (address + request.size > kAddressRange) return std::unexpected(PlacementFailure::AddressOverflow);
    for (const PlacedRegion& region : placed(request.tile)) {
      // Invariant: every region passed so far whose lifetime overlaps ends at or below `address`.
      if (region.address >= address + request.size) break;
      if (region.end <= address) continue;
      if (!lifetimes_overlap(request.live_from, request.live_until, region.live_from, region.live_until)) continue;
      address = (std::uint64_t{region.end} + request.alignment - 1) / request.alignment * request.alignment;
      if (address > kAddressRange || address + request.size > kAddressRange) {
        return std::unexpected(PlacementFailure::AddressOverflow);
      }
    }
    if (address + request.size > request.limit) return std::unexpected(PlacementFailure::OutsideWindow);
    return static_cast<std::uint32_t>(address);
  }

  void insert(const Allocation& allocation) {
    const std::size_t tile = allocation.tile;
    detail::check_invariant(tile < sizes_.size() && starts_[tile] + sizes_[tile] < starts_[tile + 1],
                            "more regions on a tile than counted");
    const auto slice = placed(allocation.tile);
    const auto position =
        std::upper_bound(slice.begin(), slice.end(), allocation.address,
                         [](std::uint32_t address, const PlacedRegion& region) { return address < region.address; });
    const auto end = regions_.begin() + static_cast<std::ptrdiff_t>(starts_[tile] + sizes_[tile]);
    const auto at = regions_.begin() + static_cast<std::ptrdiff_t>(starts_[tile] + static_cast<std::size_t>(position - slice.begin()));
    std::copy_backward(at, end, end + 1);
    *at = PlacedRegion{.address = allocation.address,
                       .end = allocation.address + allocation.size,
                       .live_from = allocation.live_from,
                       .live_until = allocation.live_until};
    ++sizes_[tile];
  }

 private:
  /// What the collision test reads of a placed region; `end` fits because placement checked it.
  struct PlacedRegion {
    std::uint32_t address = 0;
    std::uint32_t end = 0;
    std::size_t live_from = 0;
    std::size_t live_until = 0;
  };

  std::span<const PlacedRegion> placed(std::uint16_t tile) const {
    if (tile >= sizes_.size()) return {};
    return {regions_.data() + starts_[tile], sizes_[tile]};
  }

  /// Tile t's regions, ascending by address, are regions_[starts_[t]] .. regions_[starts_[t] + sizes_[t] - 1].
  std::vector<std::size_t> starts_;
  std::vector<std::size_t> sizes_;
  std::vector<PlacedRegion> regions_;
};

/// Places one region of the plan, with the same result and failures as `allocate_region`. The label
/// is made only for a failure message.
template <typename MakeLabel>
CompileResult<void> place_region(std::vector<Allocation>& allocations, TileRegionIndex& index,
                                 const RegionRequest& request, MakeLabel make_label) {
  const auto start = index.lowest_free_start(request);
  if (!start) {
    if (start.error() == PlacementFailure::AddressOverflow) return memory_error("address overflow");
    return memory_error(zarn_platform::format("tile {} exceeds data limit allocating {}", request.tile, make_label()));
  }
  allocations.push_back(Allocation{.tensor = request.tensor,
                                   .tile = request.tile,
                                   .address = *start,
                                   .size = request.size,
                                   .live_from = request.live_from,
                                   .live_until = request.live_until,
                                   .kind = request.kind});
  index.insert(allocations.back());
  return {};
}

std::string staging_label(TensorId tensor) { return zarn_platform::format("tensor {} exchange staging", tensor); }

}  // namespace

bool lifetimes_overlap(std::size_t a_start, std::size_t a_end, std::size_t b_start, std::size_t b_end) {
  return a_start <= b_end && b_start <= a_end;
}

CompileResult<void> allocate_region(std::vector<Allocation>& allocations, TileAllocations& by_tile,
                                    const RegionRequest& request) {
  detail::check_invariant(request.alignment != 0, "region alignment 0");
  const auto tile_entry = by_tile.find(request.tile);
  const std::span<const std::size_t> tile_allocations =
      tile_entry != by_tile.end() ? std::span<const std::size_t>(tile_entry->second) : std::span<const std::size_t>();

  // The first candidate is the window base itself, aligned or not; every later one is the aligned end
  // of a region it collided with, so each move strictly raises the address.
  std::uint64_t address = request.base;
  while (true) {
    const std::uint64_t end = address + request.size;
    if (end > kAddressRange) return memory_error("address overflow");

    const Allocation* collision = nullptr;
    for (const std::size_t index : tile_allocations) {
      const Allocation& existing = allocations[index];
      if (!lifetimes_overlap(request.live_from, request.live_until, existing.live_from, existing.live_until)) {
        continue;
      }
      if (address < std::uint64_t{existing.address} + existing.size && existing.address < end) {
        collision = &existing;
        break;
      }
    }
    if (collision == nullptr) {
      if (end > request.limit) {
        return memory_error(
            zarn_platform::format("tile {} exceeds data limit allocating {}", request.tile, request.label));
      }
      break;
    }
    const std::uint64_t collision_end = std::uint64_t{collision->address} + collision->size;
    address = (collision_end + request.alignment - 1) / request.alignment * request.alignment;
    if (address > kAddressRange) return memory_error("address overflow");
  }

  allocations.push_back(Allocation{.tensor = request.tensor,
                                   .tile = request.tile,
                                   .address = static_cast<std::uint32_t>(address),
                                   .size = request.size,
                                   .live_from = request.live_from,
                                   .live_until = request.live_until,
                                   .kind = request.kind});
  by_tile[request.tile].push_back(allocations.size() - 1);
  return {};
}

CompileResult<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                                   std::span<const Phase> phases, const CompilerOptions& options) {
  detail::check_invariant(layouts.size() == graph.tensors.size(), "one layout per tensor");
  const HomeLifetimes lifetimes = home_lifetimes(graph, phases);

  // Every tile's regions: one per layout holding the tile, and at most one per transfer to it.
  std::vector<std::size_t> capacity;
  const auto count_region = [&](std::uint16_t tile) {
    if (tile >= capacity.size()) capacity.resize(std::size_t{tile} + 1, 0);
    ++capacity[tile];
  };
  for (const Layout& layout : layouts) {
    for (const std::uint16_t tile : layout.tiles) count_region(tile);
  }
  for (const Phase& phase : phases) {
    if (const auto* exchange = std::get_if<Phase::Exchange>(&phase.value)) {
      for (const Transfer& transfer : exchange->transfers) count_region(transfer.destination_tile);
    }
  }
  std::size_t region_count = 0;
  for (const std::size_t regions : capacity) region_count += regions;
  std::vector<Allocation> allocations;
  allocations.reserve(region_count);
  TileRegionIndex index(capacity);

  for (const Tensor& tensor : graph.tensors) {
    const Layout& layout = layouts[tensor.id];
    detail::check_invariant(layout.alignment != 0, "layout alignment 0");
    const auto share = local_bytes_u32(tensor, layout);
    if (!share) return std::unexpected(share.error());
    const auto size = align_u32_checked(*share, layout.alignment);
    if (!size) return memory_error(per_tile_size_message(tensor.name, *share));
    for (const std::uint16_t tile : layout.tiles) {
      const auto placed = place_region(allocations, index,
                                       RegionRequest{.tensor = tensor.id,
                                                     .tile = tile,
                                                     .size = *size,
                                                     .live_from = lifetimes.live_from[tensor.id],
                                                     .live_until = lifetimes.live_until[tensor.id],
                                                     .alignment = layout.alignment,
                                                     .kind = {AllocationKind::Home{}},
                                                     .base = options.data_base,
                                                     .limit = options.data_limit,
                                                     .label = tensor.name},
                                       [&] { return std::string(tensor.name); });
      if (!placed) return std::unexpected(placed.error());
    }
  }

  for (std::size_t phase = 0; phase < phases.size(); ++phase) {
    const auto* exchange = std::get_if<Phase::Exchange>(&phases[phase].value);
    if (exchange == nullptr) continue;
    // Only this phase's staging regions can match: they are all made in this loop, one for the
    // first transfer of every (tensor, destination tile).
    const std::vector<bool> repeated = detail::repeated_targets(exchange->transfers);
    for (std::size_t position = 0; position < exchange->transfers.size(); ++position) {
      const Transfer& transfer = exchange->transfers[position];
      if (repeated[position]) continue;
      const auto size = align_u32_checked(transfer.bytes, kStagingAlignment);
      if (!size) return memory_error(per_tile_size_message(staging_label(transfer.tensor), transfer.bytes));
      const auto placed = place_region(allocations, index,
                                       RegionRequest{.tensor = transfer.tensor,
                                                     .tile = transfer.destination_tile,
                                                     .size = *size,
                                                     .live_from = phase,
                                                     .live_until = phase + 1,
                                                     .alignment = kStagingAlignment,
                                                     .kind = {AllocationKind::ExchangeStaging{phase}},
                                                     .base = options.exchange_base,
                                                     .limit = options.exchange_limit,
                                                     .label = {}},
                                       [&] { return staging_label(transfer.tensor); });
      if (!placed) return std::unexpected(placed.error());
    }
  }
  return allocations;
}

}  // namespace zarn_compiler
