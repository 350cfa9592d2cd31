#pragma once
// The benchmark workloads, built once per process and shared by every benchmark that reads them.

#include <string>
#include <vector>

#include "zarn_compiler/compile.h"
#include "zarn_compiler/encoder.h"
#include "zarn_compiler/graph.h"
#include "zarn_compiler/schedule.h"
#include "zarn_exchange/topology.h"

namespace zarn_bench {

/// An encoder layer with the options it is compiled with.
struct EncoderWorkload {
  std::string name;
  zarn_compiler::EncoderConfig config;
  zarn_compiler::CompilerOptions options;
  zarn_compiler::Graph graph;
  /// The compiled schedule (compiling it must succeed).
  zarn_compiler::Schedule schedule;
};

/// A schedule to lower (an encoder's, or a hand-built exchange phase).
struct ScheduleWorkload {
  std::string name;
  zarn_compiler::Schedule schedule;
};

/// "default_encoder" (64 tiles) and "board_encoder" (1472 tiles).
const std::vector<EncoderWorkload>& encoder_workloads();

/// The two encoders' schedules, then "all_tile_matching", "all_to_all_64" and "random_phase".
const std::vector<ScheduleWorkload>& schedule_workloads();

/// The encoder with `config` compiled for `tile_count` tiles; stops the benchmark run if it fails.
EncoderWorkload make_encoder_workload(std::string name, zarn_compiler::EncoderConfig config,
                                      std::uint16_t tile_count);

const zarn_exchange::Topology& board_topology();

/// Stops the run with `what` and the error's text.
[[noreturn]] void fail(const std::string& what, const zarn_compiler::CompileError& error);

}  // namespace zarn_bench
