#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "scenario_table.h"
#include "zarn_compiler/compile.h"
#include "zarn_compiler/encoder.h"
#include "zarn_compiler/memory_plan.h"

namespace zarn_selfcheck {

using namespace zarn_compiler;

void live_allocations_do_not_overlap() {
  const auto graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << to_string(graph.error());
  const auto schedule = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << to_string(schedule.error());

  std::map<std::uint16_t, std::vector<const Allocation*>> by_tile;
  for (const auto& allocation : schedule->allocations) by_tile[allocation.tile].push_back(&allocation);

  std::size_t live_pairs = 0;
  for (const auto& [tile, allocations] : by_tile) {
    for (std::size_t i = 0; i < allocations.size(); ++i) {
      for (std::size_t j = i + 1; j < allocations.size(); ++j) {
        const Allocation& a = *allocations[i];
        const Allocation& b = *allocations[j];
        if (!lifetimes_overlap(a.live_from, a.live_until, b.live_from, b.live_until)) continue;
        ++live_pairs;
        EXPECT_TRUE(a.address + a.size <= b.address || b.address + b.size <= a.address)
            << "tile " << tile << ": tensors " << a.tensor << " and " << b.tensor << " share bytes";
      }
    }
  }
  EXPECT_GT(live_pairs, 0u);
}

}  // namespace zarn_selfcheck
