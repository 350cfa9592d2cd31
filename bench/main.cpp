// The benchmark executable: registers every benchmark, runs those the command line selects, and
// closes with the speed-up of each optimised stage over its straightforward version, taken from the
// same run (medians when the run repeats, --benchmark_repetitions).

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_main.h"

namespace {

/// The console output, plus a speed-up table at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports) {
      if (run.error_occurred) continue;
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!single && !median) continue;
      std::string name = run.run_name.str();
      for (const std::string suffix : {"/optimised", "/straightforward"}) {
        if (name.size() > suffix.size() && name.ends_with(suffix)) {
          auto& pair = times_[name.substr(0, name.size() - suffix.size())];
          (suffix == "/optimised" ? pair.first : pair.second) = run.GetAdjustedRealTime();
        }
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    bool header = false;
    for (const auto& [name, pair] : times_) {
      if (pair.first <= 0 || pair.second <= 0) continue;
      if (!header) {
        std::printf("\n%-44s %14s %16s %9s\n", "stage/workload", "optimised", "straightforward", "speed-up");
        header = true;
      }
      std::printf("%-44s %11.3f ms %13.3f ms %8.1fx\n", name.c_str(), pair.first, pair.second, pair.second / pair.first);
    }
  }

 private:
  /// Per stage/workload: (optimised, straightforward) real time in milliseconds.
  std::map<std::string, std::pair<double, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  // Freed memory stays with the process: otherwise glibc hands large blocks back to the system
  // after every iteration, and the next iteration pays for touching fresh pages again, which on a
  // virtual machine costs more than the stages themselves and varies from run to run. A single run
  // of zarnc does pay it (zarnc --time).
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  zarn_bench::register_stage_benchmarks();
  zarn_bench::register_pipeline_benchmarks();
  zarn_bench::register_sweep_benchmarks();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
