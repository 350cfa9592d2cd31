#include "listing.h"

#include "zarn_files/graph_file.h"
#include "zarn_files/json_write.h"
#include "zarn_files/schedule_file.h"
#include "zarn_platform/format.h"
#include "zarn_platform/overloaded.h"

namespace zarnc {
namespace {

using zarn_compiler::AllocationKind;
using zarn_compiler::Graph;
using zarn_compiler::LoweredTileStep;
using zarn_compiler::OpKind;
using zarn_compiler::Phase;
using zarn_compiler::Schedule;
using zarn_platform::format;
using zarn_platform::ListOf;

constexpr std::size_t kWordsPerLine = 8;

std::string heading(const Style& style, std::string_view text) { return style.bold(text) + "\n"; }

std::string op_kind_text(const OpKind& kind) {
  return std::visit(zarn_platform::overloaded{
                        [](const OpKind::Reshape& reshape) { return format("Reshape {}", ListOf{reshape.shape}); },
                        [](const OpKind::Transpose& transpose) {
                          return format("Transpose {}", ListOf{transpose.permutation});
                        },
                        [](const OpKind::LayerNorm& norm) {
                          return format("LayerNorm epsilon {}", zarn_files::float_text(norm.epsilon));
                        },
                        [](const OpKind::Softmax& softmax) { return format("Softmax axis {}", softmax.axis); },
                        [&](const auto&) { return std::string(zarn_files::op_kind_name(kind)); },
                    },
                    kind.value);
}

std::string graph_listing(const Graph& graph, const Style& style) {
  std::string out = heading(style, format("graph: {}, {}, outputs {}", count_text(graph.tensors.size(), "tensor", "tensors"),
                                          count_text(graph.ops.size(), "operation", "operations"), ListOf{graph.outputs}));
  Table tensors({Table::Align::Right, Table::Align::Left, Table::Align::Left, Table::Align::Left, Table::Align::Right});
  tensors.add({"tensor", "name", "kind", "shape", "producer"});
  for (const auto& tensor : graph.tensors) {
    tensors.add({std::to_string(tensor.id), tensor.name, std::string(zarn_files::tensor_kind_name(tensor.kind)),
                 format("{}", ListOf{tensor.shape}), tensor.producer ? std::to_string(*tensor.producer) : "-"});
  }
  out += tensors.render(2, style);
  Table ops({Table::Align::Right, Table::Align::Left, Table::Align::Left, Table::Align::Left, Table::Align::Right});
  ops.add({"op", "name", "kind", "inputs", "output"});
  for (const auto& op : graph.ops) {
    ops.add({std::to_string(op.id), op.name, op_kind_text(op.kind), format("{}", ListOf{op.inputs}),
             std::to_string(op.output)});
  }
  out += ops.render(2, style);
  return out;
}

std::string schedule_listing(const Schedule& schedule, const Style& style) {
  std::string out = heading(style, format("schedule: {}, {}, {}", count_text(schedule.tile_count, "tile", "tiles"),
                                          count_text(schedule.phases.size(), "phase", "phases"),
                                          count_text(schedule.allocations.size(), "allocation", "allocations")));
  out += "layouts\n";
  Table layouts({Table::Align::Right, Table::Align::Left, Table::Align::Left, Table::Align::Right});
  layouts.add({"tensor", "tiles", "sharding", "alignment"});
  for (const auto& layout : schedule.layouts) {
    layouts.add({std::to_string(layout.tensor), tile_ranges(layout.tiles),
                 std::string(zarn_files::sharding_name(layout.sharding)), std::to_string(layout.alignment)});
  }
  out += layouts.render(2, style);
  out += "phases\n";
  for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
    std::visit(zarn_platform::overloaded{
                   [&](const Phase::Exchange& phase) {
                     out += format("  {} exchange: {}\n", index,
                                   count_text(phase.transfers.size(), "transfer", "transfers"));
                     Table transfers({Table::Align::Right, Table::Align::Right, Table::Align::Right, Table::Align::Right});
                     transfers.add({"source", "destination", "tensor", "bytes"});
                     for (const auto& transfer : phase.transfers) {
                       transfers.add({std::to_string(transfer.source_tile), std::to_string(transfer.destination_tile),
                                      std::to_string(transfer.tensor), std::to_string(transfer.bytes)});
                     }
                     out += transfers.render(4, style);
                   },
                   [&](const Phase::Compute& phase) {
                     out += format("  {} compute: op {}, {}\n", index, phase.op,
                                   count_text(phase.commands.size(), "command", "commands"));
                     Table commands({Table::Align::Right, Table::Align::Right, Table::Align::Left, Table::Align::Left,
                                     Table::Align::Left, Table::Align::Right, Table::Align::Left, Table::Align::Right});
                     commands.add({"tile", "output", "inputs", "operation", "shape", "workers", "role", "alignment"});
                     for (const auto& command : phase.commands) {
                       const auto& key = command.specialization;
                       commands.add({std::to_string(command.tile), std::to_string(command.output),
                                     format("{}", ListOf{command.inputs}), key.operation, format("{}", ListOf{key.shape}),
                                     std::to_string(key.worker_count), key.role, std::to_string(key.alignment)});
                     }
                     out += commands.render(4, style);
                   },
               },
               schedule.phases[index].value);
  }
  out += "allocations\n";
  Table allocations({Table::Align::Right, Table::Align::Right, Table::Align::Right, Table::Align::Right,
                     Table::Align::Right, Table::Align::Right, Table::Align::Left});
  allocations.add({"tensor", "tile", "address", "size", "live_from", "live_until", "kind"});
  for (const auto& allocation : schedule.allocations) {
    const std::string kind = std::visit(zarn_platform::overloaded{
                                            [](const AllocationKind::Home&) { return std::string("Home"); },
                                            [](const AllocationKind::ExchangeStaging& staging) {
                                              return format("ExchangeStaging phase {}", staging.phase);
                                            },
                                        },
                                        allocation.kind.value);
    allocations.add({std::to_string(allocation.tensor), std::to_string(allocation.tile), hex_text(allocation.address),
                     std::to_string(allocation.size), std::to_string(allocation.live_from),
                     std::to_string(allocation.live_until), kind});
  }
  out += allocations.render(2, style);
  out += "peak_sram\n";
  Table peaks({Table::Align::Right, Table::Align::Right});
  peaks.add({"tile", "bytes"});
  for (const auto& [tile, bytes] : schedule.peak_sram) peaks.add({std::to_string(tile), std::to_string(bytes)});
  out += peaks.render(2, style);
  return out;
}

std::string commands_listing(const std::vector<std::vector<zarn_compiler::EncodedTileCommand>>& tiles,
                             const Style& style) {
  std::string out = heading(style, format("commands: {}", count_text(tiles.size(), "tile", "tiles")));
  for (std::size_t tile = 0; tile < tiles.size(); ++tile) {
    out += format("  tile {}: {}\n", tile, count_text(tiles[tile].size(), "command", "commands"));
    for (const auto& command : tiles[tile]) out += "    " + hex_words(command.words, kWordsPerLine, 4) + "\n";
  }
  return out;
}

std::string exchanges_listing(const std::vector<zarn_compiler::LoweredExchangePhase>& phases, const Style& style) {
  std::string out = heading(style, format("exchanges: {}", count_text(phases.size(), "exchange phase", "exchange phases")));
  for (const auto& phase : phases) {
    out += format("  phase {}: {}, {}, {} cycles, {} payload words\n", phase.phase,
                  count_text(phase.epochs.size(), "epoch", "epochs"),
                  count_text(phase.cost.launches, "launch", "launches"), phase.cost.estimated_cycles,
                  phase.cost.payload_words);
    for (std::size_t epoch_index = 0; epoch_index < phase.epochs.size(); ++epoch_index) {
      const auto& epoch = phase.epochs[epoch_index];
      out += format("    epoch {}: {}\n", epoch_index, count_text(epoch.groups.size(), "group", "groups"));
      for (std::size_t group_index = 0; group_index < epoch.groups.size(); ++group_index) {
        const auto& group = epoch.groups[group_index];
        out += format("      group {}: tile {} -> {}, tensor {}, {} bytes, {}\n", group_index, group.source_tile,
                      ListOf{group.destination_tiles}, group.tensor, group.bytes,
                      group.addressing == zarn_compiler::ExchangeAddressing::Absolute ? "Absolute" : "Relative");
        out += "        sender       " + hex_words(group.sender, 9, 21) + "\n";
        for (std::size_t receiver = 0; receiver < group.receivers.size(); ++receiver) {
          std::string label = format("        receiver {}", group.destination_tiles[receiver]);
          label.resize(std::max<std::size_t>(label.size() + 1, 21), ' ');
          out += label + hex_words(group.receivers[receiver], 9, 21) + "\n";
        }
      }
      out += "      tile programs\n";
      for (const auto& [tile, words] : epoch.tile_rows) {
        std::string label = format("        tile {}", tile);
        label.resize(std::max<std::size_t>(label.size() + 1, 21), ' ');
        out += label + hex_words(words, kWordsPerLine, 21) + "\n";
      }
    }
  }
  return out;
}

std::string programs_listing(const std::vector<zarn_compiler::LoweredTileProgram>& programs, const Style& style) {
  std::string out = heading(style, format("programs: {}", count_text(programs.size(), "tile", "tiles")));
  for (const auto& program : programs) {
    out += format("  tile {}: {}\n", program.tile, count_text(program.steps.size(), "step", "steps"));
    for (const auto& step : program.steps) {
      std::visit(zarn_platform::overloaded{
                     [&](const LoweredTileStep::Exchange& exchange) {
                       std::string label = format("    exchange phase {} epoch {}", exchange.phase, exchange.epoch);
                       label.resize(std::max<std::size_t>(label.size() + 1, 32), ' ');
                       out += label + hex_words(exchange.row, kWordsPerLine, 32) + "\n";
                     },
                     [&](const LoweredTileStep::Compute& compute) {
                       const auto& command = compute.command;
                       std::string inputs;
                       for (const auto address : command.input_addresses) {
                         inputs += (inputs.empty() ? "" : ", ") + hex_text(address);
                       }
                       out += format("    compute op {} {} ({}): output {}, inputs [{}]\n", command.op,
                                     command.specialization.operation, command.specialization.role,
                                     hex_text(command.output_address), inputs);
                     },
                 },
                 step.value);
    }
  }
  return out;
}

}  // namespace

std::string render_listing(const Results& results, Stage stage, const Style& style) {
  switch (stage) {
    case Stage::Graph: return results.graph ? graph_listing(*results.graph, style) : "";
    case Stage::Schedule: return results.schedule ? schedule_listing(*results.schedule, style) : "";
    case Stage::Commands: return results.commands ? commands_listing(*results.commands, style) : "";
    case Stage::Exchanges: return results.exchanges ? exchanges_listing(*results.exchanges, style) : "";
    case Stage::Programs: return results.programs ? programs_listing(*results.programs, style) : "";
  }
  return "";
}

}  // namespace zarnc
