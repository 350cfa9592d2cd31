#include "zarn_compiler/compile.h"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "invariant.h"
#include "zarn_compiler/memory_plan.h"
#include "zarn_platform/log.h"

namespace zarn_compiler {

namespace {

using zarn_platform::LogLevel;

constexpr std::string_view kLogTarget = "zarn_compiler";

CompileResult<std::vector<Phase>> build_phases(const Graph& graph, std::span<const Layout> layouts) {
  std::vector<Phase> phases;
  for (const Op& op : graph.ops) {
    auto transfers = operation_transfers(op, graph, layouts);
    if (!transfers) return std::unexpected(std::move(transfers.error()));
    if (!transfers->empty()) {
      const auto valid = validate_transfers(*transfers);
      if (!valid) return std::unexpected(valid.error());
      phases.push_back(Phase{Phase::Exchange{std::move(*transfers)}});
    }
    phases.push_back(Phase{Phase::Compute{op.id, compute_commands(op, graph, layouts[op.output])}});
  }
  return phases;
}

/// Per tile, the largest allocation end counted from `base`. The peaks are gathered in a list indexed
/// by tile and then handed to the map in ascending tile order, each entry placed at the map's end.
std::map<std::uint16_t, std::uint32_t> tile_peaks(std::span<const Allocation> allocations, std::uint32_t base) {
  std::vector<std::optional<std::uint32_t>> by_tile;
  for (const Allocation& allocation : allocations) {
    // Every region lies inside one of the two windows, so its end fits and is not below `base`.
    const std::uint64_t end = std::uint64_t{allocation.address} + allocation.size;
    detail::check_invariant(end >= base && end <= std::numeric_limits<std::uint32_t>::max(),
                            "allocation outside the SRAM windows");
    const auto offset = static_cast<std::uint32_t>(end - base);
    if (allocation.tile >= by_tile.size()) by_tile.resize(std::size_t{allocation.tile} + 1);
    auto& peak = by_tile[allocation.tile];
    peak = std::max(peak.value_or(0), offset);
  }
  std::map<std::uint16_t, std::uint32_t> peaks;
  for (std::size_t tile = 0; tile < by_tile.size(); ++tile) {
    if (const auto& peak = by_tile[tile]) peaks.emplace_hint(peaks.end(), static_cast<std::uint16_t>(tile), *peak);
  }
  return peaks;
}

}  // namespace

CompileResult<Schedule> compile(const Graph& graph, const CompilerOptions& options) {
  zarn_platform::emit(LogLevel::Info, kLogTarget, "compiling graph",
                      {{"operations", std::uint64_t{graph.ops.size()}},
                       {"tensors", std::uint64_t{graph.tensors.size()}},
                       {"tiles", std::uint64_t{options.tile_count}}});

  const auto valid_graph = graph.validate();
  if (!valid_graph) return std::unexpected(valid_graph.error());
  if (!options.is_valid()) return graph_error("invalid compiler options");

  Schedule schedule;
  schedule.tile_count = options.tile_count;
  schedule.layouts.reserve(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) schedule.layouts.push_back(choose_layout(tensor, options.tile_count));

  auto phases = build_phases(graph, schedule.layouts);
  if (!phases) return std::unexpected(std::move(phases.error()));
  schedule.phases = std::move(*phases);

  auto allocations = plan_memory(graph, schedule.layouts, schedule.phases, options);
  if (!allocations) return std::unexpected(std::move(allocations.error()));
  schedule.allocations = std::move(*allocations);

  schedule.peak_sram = tile_peaks(schedule.allocations, std::min(options.exchange_base, options.data_base));
  std::uint32_t peak_bytes = 0;
  for (const auto& [tile, peak] : schedule.peak_sram) peak_bytes = std::max(peak_bytes, peak);

  zarn_platform::emit(LogLevel::Debug, kLogTarget, "planned tile SRAM", {{"peak_bytes", std::uint64_t{peak_bytes}}});
  zarn_platform::emit(LogLevel::Info, kLogTarget, "graph compilation completed",
                      {{"phases", std::uint64_t{schedule.phases.size()}},
                       {"allocations", std::uint64_t{schedule.allocations.size()}},
                       {"peak_bytes", std::uint64_t{peak_bytes}}});
  return schedule;
}

}  // namespace zarn_compiler
