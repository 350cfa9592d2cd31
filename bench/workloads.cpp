#include "workloads.h"

#include <cstdio>
#include <cstdlib>

#include "zarn_compiler_testing/board_workloads.h"

namespace zarn_bench {

void fail(const std::string& what, const zarn_compiler::CompileError& error) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), zarn_compiler::to_string(error).c_str());
  std::exit(1);
}

EncoderWorkload make_encoder_workload(std::string name, zarn_compiler::EncoderConfig config,
                                      std::uint16_t tile_count) {
  zarn_compiler::CompilerOptions options;
  options.tile_count = tile_count;
  auto graph = zarn_compiler::encoder_graph(config);
  if (!graph) fail(name, graph.error());
  auto schedule = zarn_compiler::compile(*graph, options);
  if (!schedule) fail(name, schedule.error());
  return EncoderWorkload{std::move(name), config, options, std::move(*graph), std::move(*schedule)};
}

const std::vector<EncoderWorkload>& encoder_workloads() {
  static const std::vector<EncoderWorkload> workloads = [] {
    std::vector<EncoderWorkload> made;
    made.push_back(make_encoder_workload("default_encoder", zarn_compiler::EncoderConfig{}, 64));
    made.push_back(make_encoder_workload("board_encoder", zarn_compiler_testing::board_encoder_config(),
                                         zarn_compiler_testing::kBoardTiles));
    return made;
  }();
  return workloads;
}

const std::vector<ScheduleWorkload>& schedule_workloads() {
  static const std::vector<ScheduleWorkload> workloads = [] {
    std::vector<ScheduleWorkload> made;
    for (const auto& encoder : encoder_workloads()) made.push_back({encoder.name, encoder.schedule});
    made.push_back({"all_tile_matching", zarn_compiler_testing::all_tile_matching_schedule()});
    made.push_back({"all_to_all_64", zarn_compiler_testing::all_to_all_schedule(64)});
    made.push_back({"random_phase", zarn_compiler_testing::random_exchange_schedule(1)});
    return made;
  }();
  return workloads;
}

const zarn_exchange::Topology& board_topology() {
  static const zarn_exchange::Topology topology = zarn_exchange::Topology::k1472();
  return topology;
}

}  // namespace zarn_bench
