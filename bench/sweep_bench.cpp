// How the cost grows with the work: the pipeline over encoder sequence lengths and tile counts, and
// exchange lowering over random phases of growing group counts, each fitted by Google Benchmark's
// complexity report (oAuto: the best of O(1), O(log N), O(N), O(N log N), O(N^2), O(N^3)).
//
// N is the number of records the run reads and produces (pipeline_records), or the number of
// transfers of the random phase, so a linear stage fits O(N) whatever the workload's shape.

#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "bench_main.h"
#include "pipeline.h"
#include "workloads.h"
#include "zarn_compiler_testing/board_workloads.h"
#include "zarn_compiler_testing/straightforward.h"

namespace zarn_bench {
namespace {

namespace straightforward = zarn_compiler_testing::straightforward;

void sweep_pipeline(benchmark::State& state, zarn_compiler::EncoderConfig config, std::uint16_t tile_count,
                    bool optimised) {
  zarn_compiler::CompilerOptions options;
  options.tile_count = tile_count;
  const std::size_t records = pipeline_records(run_pipeline(config, options, true));
  for (auto _ : state) benchmark::DoNotOptimize(run_pipeline(config, options, optimised));
  state.SetComplexityN(static_cast<std::int64_t>(records));
  state.counters["records"] = static_cast<double>(records);
}

const zarn_compiler::Schedule& random_phase(std::size_t groups) {
  static std::map<std::size_t, zarn_compiler::Schedule> made;
  auto entry = made.find(groups);
  if (entry == made.end()) entry = made.emplace(groups, zarn_compiler_testing::random_exchange_schedule(1, groups)).first;
  return entry->second;
}

}  // namespace

void register_sweep_benchmarks() {
  for (const bool optimised : {true, false}) {
    const std::string version = optimised ? "/optimised" : "/straightforward";
    benchmark::RegisterBenchmark(("sweep_sequence/pipeline" + version).c_str(),
                                 [optimised](benchmark::State& state) {
                                   auto config = zarn_compiler_testing::board_encoder_config();
                                   config.sequence = static_cast<std::size_t>(state.range(0));
                                   sweep_pipeline(state, config, zarn_compiler_testing::kBoardTiles, optimised);
                                 })
        ->RangeMultiplier(2)
        ->Range(8, 128)
        ->Unit(benchmark::kMillisecond)
        ->Complexity(benchmark::oAuto);

    benchmark::RegisterBenchmark(("sweep_tiles/pipeline" + version).c_str(),
                                 [optimised](benchmark::State& state) {
                                   sweep_pipeline(state, zarn_compiler_testing::board_encoder_config(),
                                                  static_cast<std::uint16_t>(state.range(0)), optimised);
                                 })
        ->Arg(92)
        ->Arg(184)
        ->Arg(368)
        ->Arg(736)
        ->Arg(1472)
        ->Unit(benchmark::kMillisecond)
        ->Complexity(benchmark::oAuto);

    benchmark::RegisterBenchmark(("sweep_groups/lower_exchanges" + version).c_str(),
                                 [optimised](benchmark::State& state) {
                                   const auto& schedule = random_phase(static_cast<std::size_t>(state.range(0)));
                                   const auto& topology = board_topology();
                                   for (auto _ : state) {
                                     auto lowered = optimised ? schedule.lower_exchanges(topology)
                                                              : straightforward::lower_exchanges(schedule, topology);
                                     if (!lowered) fail("random phase", lowered.error());
                                     benchmark::DoNotOptimize(lowered);
                                   }
                                   const auto& transfers =
                                       std::get<zarn_compiler::Phase::Exchange>(schedule.phases[0].value).transfers;
                                   state.SetComplexityN(static_cast<std::int64_t>(transfers.size()));
                                 })
        ->Arg(92)
        ->Arg(184)
        ->Arg(368)
        ->Arg(736)
        ->Arg(1472)
        ->Unit(benchmark::kMillisecond)
        ->Complexity(benchmark::oAuto);
  }
}

}  // namespace zarn_bench
