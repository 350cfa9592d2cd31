// Fuzz target: graph file bytes -> parse -> read (form 1 or form 2) -> compile -> all three lowerings.
//
// The input is a graph file as zarnc reads it. It may carry one extra root member that zarnc does not
// accept, "fuzz_options": {"tile_count", "exchange_base", "exchange_limit", "data_base", "data_limit"}
// (each optional, each an unsigned integer of the option's width), which sets the compiler options;
// it is removed before the file is read. Without it the default options apply.
//
// Checked: nothing crashes or trips a sanitizer; a graph read back from its form 2 file is equal; a
// compilation is deterministic and its schedule holds its promises (layouts, windows, no two live
// regions of a tile overlapping, peaks); the schedule file round-trips; the lowerings hold theirs
// (see schedule_checks.h), and the programs of a compiled schedule fail only when its exchanges do.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "schedule_checks.h"
#include "zarn_compiler/compile.h"
#include "zarn_compiler/layout.h"
#include "zarn_compiler/memory_plan.h"
#include "zarn_files/graph_file.h"
#include "zarn_files/work_limits.h"

namespace {

using namespace zarn_compiler;
using zarn_fuzz::require;

/// Work bound of one input: far below zarnc's own limit, so that every input runs in milliseconds.
constexpr std::uint64_t kFuzzWorkLimit = 1u << 15;

/// Reads and removes "fuzz_options"; nothing when it is malformed (the input is then skipped).
std::optional<CompilerOptions> take_options(zarn_files::Json& document) {
  CompilerOptions options;
  if (!document.is_object() || !document.contains("fuzz_options")) return options;
  const zarn_files::Json settings = document["fuzz_options"];
  document.erase("fuzz_options");
  const auto node = zarn_files::root_node(settings, "options");
  auto object = zarn_files::read_object_allowing(
      node, {"tile_count", "exchange_base", "exchange_limit", "data_base", "data_limit"});
  if (!object) return std::nullopt;
  const auto read = [&]<typename T>(const char* name, T& field) {
    if (!object->has(name)) return true;
    auto value = object->unsigned_member<T>(name);
    if (!value) return false;
    field = *value;
    return true;
  };
  if (!read("tile_count", options.tile_count) || !read("exchange_base", options.exchange_base) ||
      !read("exchange_limit", options.exchange_limit) || !read("data_base", options.data_base) ||
      !read("data_limit", options.data_limit)) {
    return std::nullopt;
  }
  return options;
}

void check_graph_round_trip(const Graph& graph) {
  const std::string text = zarn_files::write_json(zarn_files::graph_file_json(graph));
  auto document = zarn_files::parse_json(text, "graph.json");
  require(document.has_value(), "a written graph parses");
  auto read = zarn_files::read_graph_file(zarn_files::root_node(*document, "graph.json"));
  require(read.has_value() && read->has_value(), "a written graph reads back");
  require(**read == graph, "a graph reads back equal");
}

bool in_window(const Allocation& allocation, std::uint32_t base, std::uint32_t limit) {
  return allocation.address >= base && std::uint64_t{allocation.address} + allocation.size <= limit;
}

/// What `compile` promises about a schedule it returns.
void check_schedule(const Graph& graph, const CompilerOptions& options, const Schedule& schedule) {
  require(schedule.tile_count == options.tile_count, "the schedule keeps the tile count");
  require(schedule.layouts.size() == graph.tensors.size(), "one layout per tensor");
  for (std::size_t t = 0; t < schedule.layouts.size(); ++t) {
    const Layout& layout = schedule.layouts[t];
    require(layout.tensor == t && !layout.tiles.empty() && layout.tiles.size() <= options.tile_count,
            "a layout names its tensor and holds 1 to tile_count tiles");
    for (std::size_t i = 0; i < layout.tiles.size(); ++i) require(layout.tiles[i] == i, "layout tiles are a prefix");
  }
  std::size_t compute_phases = 0;
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    if (const auto* compute = std::get_if<Phase::Compute>(&schedule.phases[p].value)) {
      require(compute->op == compute_phases, "one compute phase per operation, in operation order");
      ++compute_phases;
      continue;
    }
    const auto& exchange = std::get<Phase::Exchange>(schedule.phases[p].value);
    require(!exchange.transfers.empty(), "no empty exchange phase");
    require(p + 1 < schedule.phases.size() && std::holds_alternative<Phase::Compute>(schedule.phases[p + 1].value),
            "an exchange phase precedes a compute phase");
  }
  require(compute_phases == graph.ops.size(), "every operation is computed");

  std::map<std::uint16_t, std::vector<const Allocation*>> by_tile;
  std::map<std::uint16_t, std::uint32_t> peaks;
  for (const auto& allocation : schedule.allocations) {
    const bool home = std::holds_alternative<AllocationKind::Home>(allocation.kind.value);
    require(home ? in_window(allocation, options.data_base, options.data_limit)
                 : in_window(allocation, options.exchange_base, options.exchange_limit),
            "every region lies in its window");
    require(allocation.tile < options.tile_count, "every region lies on a tile of the range");
    const auto end = static_cast<std::uint32_t>(allocation.address + allocation.size - options.exchange_base);
    auto [entry, inserted] = peaks.emplace(allocation.tile, end);
    if (!inserted) entry->second = std::max(entry->second, end);
    by_tile[allocation.tile].push_back(&allocation);
  }
  require(peaks == schedule.peak_sram, "peaks are the largest region ends");
  for (const auto& [tile, regions] : by_tile) {
    for (std::size_t i = 0; i < regions.size(); ++i) {
      for (std::size_t j = i + 1; j < regions.size(); ++j) {
        const Allocation& a = *regions[i];
        const Allocation& b = *regions[j];
        if (!lifetimes_overlap(a.live_from, a.live_until, b.live_from, b.live_until)) continue;
        require(a.address + a.size <= b.address || b.address + b.size <= a.address,
                "regions of one tile live at once do not overlap");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zarn_fuzz::install_rendering_sink();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto document = zarn_files::parse_json(text, "graph.json");
  if (!document) return 0;
  const auto options = take_options(*document);
  if (!options) return 0;
  auto read = zarn_files::read_graph_file(zarn_files::root_node(*document, "graph.json"));
  if (!read || !*read) return 0;
  const Graph& graph = **read;
  check_graph_round_trip(graph);

  // zarnc refuses graphs whose compilation would make more records than its limit; the fuzzer keeps
  // to a much smaller bound of the same measure.
  if (zarn_files::compile_work(graph, *options).total() > kFuzzWorkLimit) return 0;

  const auto schedule = compile(graph, *options);
  require(schedule == compile(graph, *options), "compiling twice gives equal results");
  if (!schedule) {
    require(!std::holds_alternative<CompileError::Exchange>(schedule.error().value),
            "compile fails only with Graph or Memory errors");
    return 0;
  }
  require(graph.validate().has_value() && options->is_valid(), "compile succeeds only for a valid graph and options");
  check_schedule(graph, *options, *schedule);
  zarn_fuzz::check_schedule_round_trip(*schedule);
  zarn_fuzz::check_lowerings(*schedule, /*compiled=*/true);
  return 0;
}
