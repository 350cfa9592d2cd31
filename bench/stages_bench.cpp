// Each compiler stage on each workload, the library's version beside its straightforward one.
// Names are stage/workload/version.

#include <benchmark/benchmark.h>

#include <string>

#include "bench_main.h"
#include "stage_table.h"

namespace zarn_bench {

void register_stage_benchmarks() {
  for (const StageCase& stage : stage_cases()) {
    for (const bool optimised : {true, false}) {
      const auto& run = optimised ? stage.optimised : stage.straightforward;
      if (!run) continue;
      const std::string name = stage.stage + "/" + stage.workload + (optimised ? "/optimised" : "/straightforward");
      benchmark::RegisterBenchmark(name.c_str(),
                                   [run](benchmark::State& state) {
                                     for (auto _ : state) benchmark::DoNotOptimize(run());
                                   })
          ->Unit(benchmark::kMillisecond);
    }
  }
}

}  // namespace zarn_bench
