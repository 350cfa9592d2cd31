// The whole pipeline per encoder workload (time), and its heap use against the size of its results.

#include <benchmark/benchmark.h>

#include <string>

#include "allocation_counter.h"
#include "bench_main.h"
#include "pipeline.h"
#include "workloads.h"

namespace zarn_bench {

void register_pipeline_benchmarks() {
  for (std::size_t index = 0; index < 2; ++index) {
    const std::string name = index == 0 ? "default_encoder" : "board_encoder";
    for (const bool optimised : {true, false}) {
      benchmark::RegisterBenchmark(("pipeline/" + name + (optimised ? "/optimised" : "/straightforward")).c_str(),
                                   [index, optimised](benchmark::State& state) {
                                     const auto& workload = encoder_workloads()[index];
                                     for (auto _ : state) {
                                       benchmark::DoNotOptimize(
                                           run_pipeline(workload.config, workload.options, optimised));
                                     }
                                   })
          ->Unit(benchmark::kMillisecond);
    }

    // Results: the bytes still held once the pipeline returned, all five results alive. Peak: the
    // largest number of bytes held at any moment during the run, counted from the same start. Both
    // are bytes requested from operator new (allocator overhead not included).
    benchmark::RegisterBenchmark(("memory/" + name).c_str(),
                                 [index](benchmark::State& state) {
                                   const auto& workload = encoder_workloads()[index];
                                   double results_bytes = 0;
                                   double peak_bytes = 0;
                                   for (auto _ : state) {
                                     const std::size_t before = heap_counts().live;
                                     reset_heap_peak();
                                     {
                                       const auto results = run_pipeline(workload.config, workload.options, true);
                                       results_bytes = static_cast<double>(heap_counts().live - before);
                                       peak_bytes = static_cast<double>(heap_counts().peak - before);
                                       benchmark::DoNotOptimize(results);
                                     }
                                   }
                                   state.counters["results_MiB"] = results_bytes / (1024.0 * 1024.0);
                                   state.counters["peak_MiB"] = peak_bytes / (1024.0 * 1024.0);
                                   state.counters["peak_per_result"] = peak_bytes / results_bytes;
                                 })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
  }
}

}  // namespace zarn_bench
