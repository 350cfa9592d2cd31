#pragma once
// Registration entry points of the benchmark files, called from main before the run.

namespace zarn_bench {

void register_stage_benchmarks();
void register_pipeline_benchmarks();
void register_sweep_benchmarks();

}  // namespace zarn_bench
