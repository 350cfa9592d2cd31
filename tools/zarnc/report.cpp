#include "report.h"

#include <algorithm>
#include <set>
#include <vector>

#include "zarn_compiler/layout.h"
#include "zarn_exchange/topology.h"
#include "zarn_platform/format.h"
#include "zarn_platform/overloaded.h"

namespace zarnc {
namespace {

using zarn_compiler::Allocation;
using zarn_compiler::AllocationKind;
using zarn_compiler::Graph;
using zarn_compiler::Phase;
using zarn_compiler::Schedule;
using zarn_platform::format;
using zarn_platform::ListOf;

constexpr std::size_t kLabelWidth = 10;

/// A report section: the label in the margin of its first line, the lines after it indented.
class Section {
 public:
  Section(std::string& out, const Style& style, std::string_view label) : out_(out), style_(style), label_(label) {}

  void line(std::string_view text) {
    std::string margin(kLabelWidth, ' ');
    if (first_) {
      margin = style_.bold(label_) + std::string(label_.size() < kLabelWidth ? kLabelWidth - label_.size() : 1, ' ');
      first_ = false;
    }
    out_ += margin;
    out_ += text;
    out_ += '\n';
  }
  /// A table under the section's lines, indented like them.
  void table(const Table& table) {
    if (first_) line("");
    out_ += table.render(kLabelWidth, style_);
  }

 private:
  std::string& out_;
  const Style& style_;
  std::string label_;
  bool first_ = true;
};

std::string tensor_label(const Results& results, zarn_compiler::TensorId tensor) {
  if (results.graph && tensor < results.graph->tensors.size()) return results.graph->tensors[tensor].name;
  return format("tensor {}", tensor);
}

void graph_section(std::string& out, const Style& style, const Graph& graph) {
  std::size_t kinds[4] = {};
  std::uint64_t total_bytes = 0;
  const zarn_compiler::Tensor* largest = nullptr;
  for (const auto& tensor : graph.tensors) {
    ++kinds[static_cast<std::size_t>(tensor.kind)];
    const auto bytes = tensor.byte_size().value_or(0);
    total_bytes += bytes;
    if (largest == nullptr || bytes > largest->byte_size().value_or(0)) largest = &tensor;
  }
  Section section(out, style, "Graph");
  section.line(format("{} ({} input, {} weight, {} intermediate, {} output), {}, {} marked",
                      count_text(graph.tensors.size(), "tensor", "tensors"), kinds[0], kinds[1], kinds[2], kinds[3],
                      count_text(graph.ops.size(), "operation", "operations"),
                      count_text(graph.outputs.size(), "output", "outputs")));
  if (largest != nullptr) {
    section.line(format("tensor data {}; largest {} {} ({})", byte_size_text(total_bytes), largest->name,
                        ListOf{largest->shape}, byte_size_text(largest->byte_size().value_or(0))));
  }
}

void target_section(std::string& out, const Style& style, const Results& results, const Schedule& schedule) {
  Section section(out, style, "Target");
  section.line(format("{} of the K1472 board's {} tiles", schedule.tile_count, zarn_exchange::K1472_TILE_COUNT));
  if (results.options) {
    const auto& options = *results.options;
    section.line(format("exchange window {}..{} ({}), data window {}..{} ({})", hex_text(options.exchange_base),
                        hex_text(options.exchange_limit), byte_size_text(options.exchange_limit - options.exchange_base),
                        hex_text(options.data_base), hex_text(options.data_limit),
                        byte_size_text(options.data_limit - options.data_base)));
  }
}

/// The distinct tiles of an exchange phase's transfers.
std::size_t exchange_tiles(const Phase::Exchange& exchange) {
  std::set<std::uint16_t> tiles;
  for (const auto& transfer : exchange.transfers) {
    tiles.insert(transfer.source_tile);
    tiles.insert(transfer.destination_tile);
  }
  return tiles.size();
}

void phases_section(std::string& out, const Style& style, const Results& results, const Schedule& schedule) {
  std::size_t compute = 0;
  for (const auto& phase : schedule.phases) compute += std::holds_alternative<Phase::Compute>(phase.value) ? 1u : 0u;
  Section section(out, style, "Phases");
  section.line(format("{}: {} compute, {} exchange", schedule.phases.size(), compute, schedule.phases.size() - compute));
  Table table({Table::Align::Right, Table::Align::Left, Table::Align::Left, Table::Align::Left, Table::Align::Right});
  table.add({"phase", "kind", "what", "detail", "tiles"});
  for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
    std::visit(zarn_platform::overloaded{
                   [&](const Phase::Compute& phase) {
                     std::string what = results.graph && phase.op < results.graph->ops.size()
                                            ? results.graph->ops[phase.op].name
                                            : format("op {}", phase.op);
                     std::string detail = "no commands";
                     if (!phase.commands.empty()) {
                       const auto& key = phase.commands.front().specialization;
                       detail = format("{} {}", key.operation, ListOf{key.shape});
                     }
                     table.add({std::to_string(index), "compute", std::move(what), std::move(detail),
                                std::to_string(phase.commands.size())});
                   },
                   [&](const Phase::Exchange& phase) {
                     std::vector<std::string> names;
                     for (const auto& transfer : phase.transfers) {
                       auto name = tensor_label(results, transfer.tensor);
                       if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
                     }
                     std::string detail;
                     for (std::size_t position = 0; position < names.size() && position < 3; ++position) {
                       detail += (position == 0 ? "" : ", ") + names[position];
                     }
                     if (names.size() > 3) detail += format(" and {} more", names.size() - 3);
                     table.add({std::to_string(index), "exchange", count_text(phase.transfers.size(), "transfer", "transfers"),
                                std::move(detail), std::to_string(exchange_tiles(phase))});
                   },
               },
               schedule.phases[index].value);
  }
  section.table(table);
}

void sram_section(std::string& out, const Style& style, const Results& results, const Schedule& schedule) {
  Section section(out, style, "SRAM");
  if (schedule.allocations.empty() && schedule.peak_sram.empty()) {
    section.line("no allocations");
    return;
  }
  if (schedule.peak_sram.empty()) {
    section.line("no per-tile peaks recorded");
  } else {
    std::vector<std::uint32_t> peaks;
    std::uint16_t max_tile = 0;
    std::uint32_t max_peak = 0;
    for (const auto& [tile, peak] : schedule.peak_sram) {
      peaks.push_back(peak);
      if (peaks.size() == 1 || peak > max_peak) {
        max_peak = peak;
        max_tile = tile;
      }
    }
    std::sort(peaks.begin(), peaks.end());
    const std::size_t idle = schedule.tile_count > peaks.size() ? schedule.tile_count - peaks.size() : 0;
    const std::uint32_t peak_base =
        results.options ? std::min(results.options->exchange_base, results.options->data_base) : 0;
    section.line(format("peak per tile{} over {}: min {}, median {}, max {} on tile {}{}",
                        results.options ? format(" above {}", hex_text(peak_base)) : std::string(" above the lower window base"),
                        count_text(peaks.size(), "tile", "tiles"), byte_size_text(peaks.front()),
                        byte_size_text(peaks[(peaks.size() - 1) / 2]), byte_size_text(max_peak), max_tile,
                        idle == 0 ? std::string() : format(" ({} without data)", count_text(idle, "tile", "tiles"))));
  }

  std::uint64_t home_end = 0;
  std::uint64_t staging_end = 0;
  std::size_t home = 0;
  std::size_t staging = 0;
  for (const Allocation& allocation : schedule.allocations) {
    const std::uint64_t end = std::uint64_t{allocation.address} + allocation.size;
    if (std::holds_alternative<AllocationKind::Home>(allocation.kind.value)) {
      ++home;
      home_end = std::max(home_end, end);
    } else {
      ++staging;
      staging_end = std::max(staging_end, end);
    }
  }
  const auto window_line = [&](std::string_view name, std::uint64_t end, std::uint32_t base, std::uint32_t limit) {
    if (end == 0) return format("{} window: unused", name);
    const std::uint64_t used = end > base ? end - base : 0;
    return format("{} window: highest end {}, {} of {} ({})", name, hex_text(end), byte_size_text(used),
                  byte_size_text(limit - base), percent_text(used, limit - base));
  };
  if (results.options) {
    section.line(window_line("data", home_end, results.options->data_base, results.options->data_limit));
    section.line(window_line("exchange", staging_end, results.options->exchange_base, results.options->exchange_limit));
  } else {
    section.line(format("home regions end at or below {}, staging regions at or below {}", hex_text(home_end),
                        hex_text(staging_end)));
  }
  section.line(format("{}: {} home, {} staging", count_text(schedule.allocations.size(), "allocation", "allocations"),
                      home, staging));
}

void exchange_section(std::string& out, const Style& style, const Schedule& schedule,
                      const std::vector<zarn_compiler::LoweredExchangePhase>& exchanges) {
  Section section(out, style, "Exchange");
  if (exchanges.empty()) {
    section.line("no exchange phases");
    return;
  }
  std::uint64_t launches = 0;
  for (const auto& lowered : exchanges) launches += lowered.cost.launches;
  section.line(format("{} lowered for the K1472 board, {}",
                      count_text(exchanges.size(), "exchange phase", "exchange phases"),
                      count_text(launches, "launch", "launches")));
  Table table({Table::Align::Right, Table::Align::Right, Table::Align::Right, Table::Align::Right, Table::Align::Right,
               Table::Align::Right});
  table.add({"phase", "groups", "slots", "launch cycles", "payload words", "tiles"});
  for (const auto& lowered : exchanges) {
    std::size_t groups = 0;
    std::size_t tiles = 0;
    for (const auto& epoch : lowered.epochs) {
      groups += epoch.groups.size();
      tiles += epoch.tile_rows.size();
    }
    std::string slots = "-";
    const auto* phase =
        lowered.phase < schedule.phases.size() ? std::get_if<Phase::Exchange>(&schedule.phases[lowered.phase].value) : nullptr;
    if (phase != nullptr) {
      // The lowering kept no slot boundaries; planning the phase again gives them.
      auto planned = zarn_compiler::plan_exchange_epochs(phase->transfers, schedule.allocations, lowered.phase);
      if (planned) slots = std::to_string(planned->size());
    }
    table.add({std::to_string(lowered.phase), std::to_string(groups), std::move(slots),
               std::to_string(lowered.cost.estimated_cycles), std::to_string(lowered.cost.payload_words),
               std::to_string(tiles)});
  }
  section.table(table);
}

void totals_section(std::string& out, const Style& style, const Results& results) {
  Section section(out, style, "Totals");
  if (results.exchanges) {
    std::uint64_t launches = 0;
    std::uint64_t cycles = 0;
    std::uint64_t words = 0;
    for (const auto& lowered : *results.exchanges) {
      launches += lowered.cost.launches;
      cycles += lowered.cost.estimated_cycles;
      words += lowered.cost.payload_words;
    }
    section.line(format("{}, {} exchange cycles, {} payload words ({})", count_text(launches, "launch", "launches"), cycles,
                        words, byte_size_text(words * 4)));
  }
  if (results.programs) {
    std::size_t steps = 0;
    for (const auto& program : *results.programs) steps += program.steps.size();
    section.line(format("{} with {}", count_text(results.programs->size(), "tile program", "tile programs"),
                        count_text(steps, "step", "steps")));
  }
  if (results.commands) {
    std::size_t commands = 0;
    for (const auto& tile : *results.commands) commands += tile.size();
    section.line(format("{} ({})", count_text(commands, "encoded tile command", "encoded tile commands"),
                        byte_size_text(std::uint64_t{commands} * 32)));
  }
}

}  // namespace

std::string render_report(const Results& results, const Style& style) {
  std::string out = style.bold(format("zarnc report: {}", results.title)) + "\n\n";
  if (results.graph) graph_section(out, style, *results.graph);
  if (results.schedule) {
    target_section(out, style, results, *results.schedule);
    out += '\n';
    phases_section(out, style, results, *results.schedule);
    out += '\n';
    sram_section(out, style, results, *results.schedule);
    if (results.exchanges) {
      out += '\n';
      exchange_section(out, style, *results.schedule, *results.exchanges);
    }
    if (results.exchanges || results.programs || results.commands) {
      out += '\n';
      totals_section(out, style, results);
    }
  }
  if (results.failure) {
    if (!out.ends_with("\n\n")) out += '\n';
    Section section(out, style, "Failed");
    section.line(style.red(format("{} stage: {}", stage_name(results.failure->stage),
                                  zarn_compiler::to_string(results.failure->error))));
  }
  return out;
}

}  // namespace zarnc
