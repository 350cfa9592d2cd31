// The SRAM plan, the compile pipeline and the tile command streams, straightforward.

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "zarn_compiler/compile.h"
#include "zarn_compiler/memory_plan.h"
#include "zarn_compiler/transfer.h"
#include "zarn_compiler_testing/straightforward.h"
#include "zarn_platform/format.h"
#include "zarn_platform/log.h"
#include "zarn_platform/overloaded.h"

namespace zarn_compiler_testing::straightforward {

using namespace zarn_compiler;

namespace {

struct HomeLifetimes {
  std::vector<std::size_t> live_from;
  std::vector<std::size_t> live_until;
};

HomeLifetimes home_lifetimes(const Graph& graph, std::span<const Phase> phases) {
  const std::size_t tensor_count = graph.tensors.size();
  std::vector<std::optional<std::size_t>> produced(tensor_count);
  std::vector<std::size_t> consumed(tensor_count, 0);
  for (std::size_t index = 0; index < phases.size(); ++index) {
    if (const auto* compute = std::get_if<Phase::Compute>(&phases[index].value)) {
      const Op& op = graph.ops[compute->op];
      produced[op.output] = index;
      for (const TensorId input : op.inputs) consumed[input] = std::max(consumed[input], index);
      continue;
    }
    for (const auto& transfer : std::get<Phase::Exchange>(phases[index].value).transfers) {
      consumed[transfer.tensor] = std::max(consumed[transfer.tensor], index);
    }
  }
  HomeLifetimes lifetimes{std::vector<std::size_t>(tensor_count), std::vector<std::size_t>(tensor_count)};
  for (std::size_t tensor = 0; tensor < tensor_count; ++tensor) {
    const std::size_t from = produced[tensor].value_or(0);
    std::size_t until = consumed[tensor];
    if (std::find(graph.outputs.begin(), graph.outputs.end(), tensor) != graph.outputs.end()) {
      until = phases.size();
    } else if (produced[tensor] && until < from) {
      until = from;
    }
    lifetimes.live_from[tensor] = from;
    lifetimes.live_until[tensor] = until;
  }
  return lifetimes;
}

bool has_staging_region(std::span<const Allocation> allocations, TensorId tensor, std::uint16_t tile,
                        std::size_t phase) {
  const AllocationKind kind{AllocationKind::ExchangeStaging{phase}};
  return std::any_of(allocations.begin(), allocations.end(), [&](const Allocation& allocation) {
    return allocation.tensor == tensor && allocation.tile == tile && allocation.kind == kind;
  });
}

}  // namespace

CompileResult<void> validate_transfers(std::span<const Transfer> transfers) {
  std::set<std::pair<std::uint16_t, TensorId>> targeted;
  for (const auto& transfer : transfers) {
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return graph_error("invalid exchange transfer");
    }
    if (!targeted.emplace(transfer.destination_tile, transfer.tensor).second) {
      return graph_error("multiple sends target one tensor region in an epoch");
    }
  }
  return {};
}

CompileResult<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                                   std::span<const Phase> phases, const CompilerOptions& options) {
  const HomeLifetimes lifetimes = home_lifetimes(graph, phases);
  std::vector<Allocation> allocations;
  TileAllocations by_tile;

  for (const Tensor& tensor : graph.tensors) {
    const Layout& layout = layouts[tensor.id];
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
    for (const Transfer& transfer : exchange->transfers) {
      if (has_staging_region(allocations, transfer.tensor, transfer.destination_tile, index)) continue;
      const std::string label = zarn_platform::format("tensor {} exchange staging", transfer.tensor);
      const auto size = align_u32_checked(transfer.bytes, 16);
      if (!size) return memory_error(per_tile_size_message(label, transfer.bytes));
      const auto placed = allocate_region(allocations, by_tile,
                                          RegionRequest{.tensor = transfer.tensor,
                                                        .tile = transfer.destination_tile,
                                                        .size = *size,
                                                        .live_from = index,
                                                        .live_until = index + 1,
                                                        .alignment = 16,
                                                        .kind = {AllocationKind::ExchangeStaging{index}},
                                                        .base = options.exchange_base,
                                                        .limit = options.exchange_limit,
                                                        .label = label});
      if (!placed) return std::unexpected(placed.error());
    }
  }
  return allocations;
}

CompileResult<Schedule> compile(const Graph& graph, const CompilerOptions& options) {
  using zarn_platform::LogLevel;
  zarn_platform::emit(LogLevel::Info, "zarn_compiler", "compiling graph",
                      {{"operations", std::uint64_t{graph.ops.size()}},
                       {"tensors", std::uint64_t{graph.tensors.size()}},
                       {"tiles", std::uint64_t{options.tile_count}}});
  if (auto valid = graph.validate(); !valid) return std::unexpected(valid.error());
  if (!options.is_valid()) return graph_error("invalid compiler options");

  Schedule schedule;
  schedule.tile_count = options.tile_count;
  for (const Tensor& tensor : graph.tensors) schedule.layouts.push_back(choose_layout(tensor, options.tile_count));
  for (const Op& op : graph.ops) {
    auto transfers = operation_transfers(op, graph, schedule.layouts);
    if (!transfers) return std::unexpected(std::move(transfers.error()));
    if (!transfers->empty()) {
      if (auto valid = straightforward::validate_transfers(*transfers); !valid) return std::unexpected(valid.error());
      schedule.phases.push_back(Phase{Phase::Exchange{std::move(*transfers)}});
    }
    schedule.phases.push_back(Phase{Phase::Compute{op.id, compute_commands(op, graph, schedule.layouts[op.output])}});
  }

  auto allocations = straightforward::plan_memory(graph, schedule.layouts, schedule.phases, options);
  if (!allocations) return std::unexpected(std::move(allocations.error()));
  schedule.allocations = std::move(*allocations);

  const std::uint32_t base = std::min(options.exchange_base, options.data_base);
  for (const Allocation& allocation : schedule.allocations) {
    const std::uint32_t end = allocation.address + allocation.size - base;
    const auto [entry, inserted] = schedule.peak_sram.emplace(allocation.tile, end);
    if (!inserted) entry->second = std::max(entry->second, end);
  }
  std::uint32_t peak_bytes = 0;
  for (const auto& [tile, peak] : schedule.peak_sram) peak_bytes = std::max(peak_bytes, peak);
  zarn_platform::emit(LogLevel::Debug, "zarn_compiler", "planned tile SRAM", {{"peak_bytes", std::uint64_t{peak_bytes}}});
  zarn_platform::emit(LogLevel::Info, "zarn_compiler", "graph compilation completed",
                      {{"phases", std::uint64_t{schedule.phases.size()}},
                       {"allocations", std::uint64_t{schedule.allocations.size()}},
                       {"peak_bytes", std::uint64_t{peak_bytes}}});
  return schedule;
}

CompileResult<std::vector<std::vector<EncodedTileCommand>>> all_tile_commands(const Schedule& schedule) {
  std::vector<std::vector<EncodedTileCommand>> commands;
  commands.reserve(schedule.tile_count);
  for (std::uint16_t tile = 0; tile < schedule.tile_count; ++tile) {
    auto tile_commands = schedule.tile_commands(tile);
    if (!tile_commands) return std::unexpected(std::move(tile_commands.error()));
    commands.push_back(std::move(*tile_commands));
  }
  return commands;
}

}  // namespace zarn_compiler_testing::straightforward
