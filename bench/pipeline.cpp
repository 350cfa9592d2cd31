#include "pipeline.h"

#include "workloads.h"
#include "zarn_compiler/compile.h"
#include "zarn_compiler_testing/straightforward.h"

namespace zarn_bench {

namespace straightforward = zarn_compiler_testing::straightforward;

PipelineResults run_pipeline(const zarn_compiler::EncoderConfig& config, const zarn_compiler::CompilerOptions& options,
                             bool optimised) {
  const auto& topology = board_topology();
  auto graph = zarn_compiler::encoder_graph(config);
  if (!graph) fail("encoder graph", graph.error());
  auto schedule = optimised ? zarn_compiler::compile(*graph, options) : straightforward::compile(*graph, options);
  if (!schedule) fail("compile", schedule.error());
  auto commands = optimised ? schedule->all_tile_commands() : straightforward::all_tile_commands(*schedule);
  if (!commands) fail("tile commands", commands.error());
  auto exchanges = optimised ? schedule->lower_exchanges(topology) : straightforward::lower_exchanges(*schedule, topology);
  if (!exchanges) fail("lower exchanges", exchanges.error());
  auto programs =
      optimised ? schedule->lower_tile_programs(topology) : straightforward::lower_tile_programs(*schedule, topology);
  if (!programs) fail("lower tile programs", programs.error());
  return PipelineResults{std::move(*graph), std::move(*schedule), std::move(*commands), std::move(*exchanges),
                         std::move(*programs)};
}

std::size_t pipeline_records(const PipelineResults& results) {
  std::size_t records = results.graph.tensors.size() + results.graph.ops.size();
  const auto& schedule = results.schedule;
  for (const auto& layout : schedule.layouts) records += layout.tiles.size();
  for (const auto& phase : schedule.phases) {
    if (const auto* exchange = std::get_if<zarn_compiler::Phase::Exchange>(&phase.value)) {
      records += exchange->transfers.size();
    } else {
      records += std::get<zarn_compiler::Phase::Compute>(phase.value).commands.size();
    }
  }
  records += schedule.allocations.size();
  for (const auto& stream : results.commands) records += stream.size();
  for (const auto& lowered : results.exchanges) {
    for (const auto& epoch : lowered.epochs) {
      for (const auto& group : epoch.groups) records += 1 + group.receivers.size();
      for (const auto& [tile, words] : epoch.tile_rows) records += words.size();
    }
  }
  for (const auto& program : results.programs) records += program.steps.size();
  return records;
}

}  // namespace zarn_bench
