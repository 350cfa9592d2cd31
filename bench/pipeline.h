#pragma once
// The whole pipeline as zarnc runs it: the encoder graph, the schedule, every tile's command stream,
// the lowered exchanges, and the per-tile programs (which lower the exchanges again).

#include <cstddef>
#include <vector>

#include "zarn_compiler/encoder.h"
#include "zarn_compiler/graph.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/schedule.h"
#include "zarn_compiler/tile_program.h"

namespace zarn_bench {

struct PipelineResults {
  zarn_compiler::Graph graph;
  zarn_compiler::Schedule schedule;
  std::vector<std::vector<zarn_compiler::EncodedTileCommand>> commands;
  std::vector<zarn_compiler::LoweredExchangePhase> exchanges;
  std::vector<zarn_compiler::LoweredTileProgram> programs;
};

/// Runs every stage with the library (`optimised`) or with the straightforward versions; stops the
/// run if a stage fails.
PipelineResults run_pipeline(const zarn_compiler::EncoderConfig& config, const zarn_compiler::CompilerOptions& options,
                             bool optimised);

/// The number of records the pipeline read and produced: tensors and operations, layout tiles,
/// transfers, kernel commands, allocations, encoded commands, lowered groups' rows, exchange words
/// and program steps. The size the complexity fits are made against.
std::size_t pipeline_records(const PipelineResults& results);

}  // namespace zarn_bench
