// The default encoder layer end to end: the graph, its compilation (twice, equal), the SRAM plan, the
// exchange lowering, the per-tile programs and the encoded commands of tile 0.

#include <gtest/gtest.h>

#include <algorithm>
#include <variant>

#include "scenario_checks.h"
#include "scenario_table.h"
#include "zarn_compiler/compile.h"
#include "zarn_compiler/encoder.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/schedule.h"
#include "zarn_compiler/tile_program.h"
#include "zarn_exchange/topology.h"

namespace zarn_selfcheck {

using namespace zarn_compiler;

void encoder_graph_compiles_deterministically() {
  const auto graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << to_string(graph.error());
  ASSERT_EQ(graph->ops.size(), 15u);

  const auto schedule = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << to_string(schedule.error());
  const auto again = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(again.has_value()) << to_string(again.error());
  EXPECT_EQ(*schedule, *again);
  EXPECT_EQ(schedule->allocations, again->allocations);

  EXPECT_GE(schedule->phases.size(), graph->ops.size());
  for (const auto& [tile, peak] : schedule->peak_sram) {
    SCOPED_TRACE(testing::Message() << "tile " << tile);
    EXPECT_LT(peak, 0x8E000u);
  }
  EXPECT_TRUE(std::any_of(schedule->allocations.begin(), schedule->allocations.end(), [](const Allocation& a) {
    return std::holds_alternative<AllocationKind::ExchangeStaging>(a.kind.value);
  }));

  const auto topology = zarn_exchange::Topology::k1472();
  const auto lowered = schedule->lower_exchanges(topology);
  ASSERT_TRUE(lowered.has_value()) << to_string(lowered.error());
  ASSERT_FALSE(lowered->empty());
  for (const auto& phase : *lowered) {
    SCOPED_TRACE(testing::Message() << "exchange phase " << phase.phase);
    EXPECT_GT(phase.cost.launches, 0u);
    for (const auto& epoch : phase.epochs) expect_programs_end_together(epoch);
  }

  const auto programs = schedule->lower_tile_programs(topology);
  ASSERT_TRUE(programs.has_value()) << to_string(programs.error());
  ASSERT_EQ(programs->size(), schedule->tile_count);
  ASSERT_EQ(programs->size(), 64u);
  for (std::size_t index = 0; index < programs->size(); ++index) {
    EXPECT_EQ((*programs)[index].tile, index);
    EXPECT_FALSE((*programs)[index].steps.empty());
  }

  const auto commands = schedule->tile_commands(0);
  ASSERT_TRUE(commands.has_value()) << to_string(commands.error());
  ASSERT_FALSE(commands->empty());
  EXPECT_EQ(commands->back().words[0], 255u);
  EXPECT_EQ(commands->back().to_le_bytes().size(), 32u);
}

}  // namespace zarn_selfcheck
