#pragma once
// The table of stages and workloads that the stage benchmarks and the memory report run.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace zarn_bench {

/// One stage on one workload; each version returns the number of records it produced (so the work
/// cannot be optimised away) and stops the run if the stage fails where it should not.
struct StageCase {
  std::string stage;
  std::string workload;
  std::function<std::size_t()> optimised;
  /// Empty when the stage has no straightforward version.
  std::function<std::size_t()> straightforward;
};

const std::vector<StageCase>& stage_cases();

}  // namespace zarn_bench
