#include "zarn_compiler/memory_plan.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "invariant.h"
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

/// Whether the allocations from `first` on already hold the staging region of (tensor, tile) for
/// exchange phase `phase`. Every staging region of that phase was appended from `first` on.
bool has_staging_region(std::span<const Allocation> allocations, std::size_t first, TensorId tensor,
                        std::uint16_t tile, std::size_t phase) {
  const AllocationKind kind{AllocationKind::ExchangeStaging{phase}};
  for (std::size_t index = first; index < allocations.size(); ++index) {
    const auto& allocation = allocations[index];
    if (allocation.tensor == tensor && allocation.tile == tile && allocation.kind == kind) return true;
  }
  return false;
}

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

  std::vector<Allocation> allocations;
  TileAllocations by_tile;

  for (const Tensor& tensor : graph.tensors) {
    const Layout& layout = layouts[tensor.id];
    detail::check_invariant(layout.alignment != 0, "layout alignment 0");
    const auto share = local_bytes_u32(tensor, layout);
    if (!share) return std::unexpected(share.error());
    const auto size = align_u32_checked(*share, layout.alignment);
    if (!size) return memory_error(per_tile_size_message(tensor.name, *share));
    for (const std::uint16_t tile : layout.tiles) {
      const auto placed = allocate_region(allocations, by_tile,
                                          RegionRequest{.tensor = tensor.id,
                                                        .tile = tile,
                                                        .size = *size,
                                                        .live_from = lifetimes.live_from[tensor.id],
                                                        .live_until = lifetimes.live_until[tensor.id],
                                                        .alignment = layout.alignment,
                                                        .kind = {AllocationKind::Home{}},
                                                        .base = options.data_base,
                                                        .limit = options.data_limit,
                                                        .label = tensor.name});
      if (!placed) return std::unexpected(placed.error());
    }
  }

  for (std::size_t index = 0; index < phases.size(); ++index) {
    const auto* exchange = std::get_if<Phase::Exchange>(&phases[index].value);
    if (exchange == nullptr) continue;
    const std::size_t first_of_phase = allocations.size();
    for (const Transfer& transfer : exchange->transfers) {
      if (has_staging_region(allocations, first_of_phase, transfer.tensor, transfer.destination_tile, index)) {
        continue;
      }
      const std::string label = zarn_platform::format("tensor {} exchange staging", transfer.tensor);
      const auto size = align_u32_checked(transfer.bytes, kStagingAlignment);
      if (!size) return memory_error(per_tile_size_message(label, transfer.bytes));
      const auto placed = allocate_region(allocations, by_tile,
                                          RegionRequest{.tensor = transfer.tensor,
                                                        .tile = transfer.destination_tile,
                                                        .size = *size,
                                                        .live_from = index,
                                                        .live_until = index + 1,
                                                        .alignment = kStagingAlignment,
                                                        .kind = {AllocationKind::ExchangeStaging{index}},
                                                        .base = options.exchange_base,
                                                        .limit = options.exchange_limit,
                                                        .label = label});
      if (!placed) return std::unexpected(placed.error());
    }
  }
  return allocations;
}

}  // namespace zarn_compiler
