// Tile 1 sends in the first slot and receives in the second: the second slot starts one cycle after
// the first ends, and tile 1's two roles merge into one program of the launch.

#include <gtest/gtest.h>

#include <vector>

#include "scenario_checks.h"
#include "scenario_table.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/schedule.h"
#include "zarn_compiler_testing/exchange_schedule.h"
#include "zarn_exchange/topology.h"

namespace zarn_selfcheck {

using namespace zarn_compiler;

void scheduler_times_tile_role_conflicts_within_one_launch() {
  const std::vector<Transfer> transfers{{0, 1, 0, 64}, {2, 3, 1, 64}, {1, 2, 2, 64}};
  const Schedule schedule = zarn_compiler_testing::exchange_schedule(transfers);

  // The third group (1 -> 2) conflicts with both others and is coloured first; the first (source 0)
  // goes before the second (source 2), and the two share colour 1.
  const auto groups = group_transfers(transfers);
  ASSERT_EQ(groups.size(), 3u);
  const auto adjacency = exchange_conflict_graph(groups);
  EXPECT_EQ(adjacency[2], (std::vector<std::size_t>{0, 1}));
  EXPECT_TRUE(adjacency[0] == std::vector<std::size_t>{2});
  const auto coloring = color_exchange_groups(groups, adjacency);
  ASSERT_TRUE(coloring.has_value());
  EXPECT_EQ(coloring->order, (std::vector<std::size_t>{2, 0, 1}));
  EXPECT_EQ(coloring->colors, (std::vector<std::size_t>{1, 1, 0}));
  const auto slots = plan_exchange_epochs(transfers, schedule.allocations, 0);
  ASSERT_TRUE(slots.has_value());
  ASSERT_EQ(slots->size(), 2u);
  EXPECT_EQ((*slots)[0], (std::vector<PendingGroup>{groups[2]}));
  EXPECT_EQ((*slots)[1], (std::vector<PendingGroup>{groups[0], groups[1]}));

  const auto lowered = schedule.lower_exchanges(zarn_exchange::Topology::k1472());
  ASSERT_TRUE(lowered.has_value()) << to_string(lowered.error());
  ASSERT_EQ(lowered->size(), 1u);
  ASSERT_EQ((*lowered)[0].epochs.size(), 1u);
  const auto& epoch = (*lowered)[0].epochs[0];
  EXPECT_EQ(epoch.cost.launches, 1u);
  // The first slot ends at cycle 76, so the second starts with schedule offset 77.
  EXPECT_EQ(epoch.cost.estimated_cycles, 153u);
  ASSERT_EQ(epoch.groups.size(), 3u);
  EXPECT_EQ(epoch.groups[0].source_tile, 1u);
  EXPECT_EQ(epoch.groups[1].source_tile, 0u);
  EXPECT_EQ(epoch.groups[2].source_tile, 2u);

  const auto tile1 = epoch.row_for(1);
  EXPECT_EQ(occurrences(tile1, 0x43A00000), 1u);
  EXPECT_EQ(occurrences(tile1, 0x41800003), 1u);
  expect_launch_program(tile1, epoch.cost.estimated_cycles);
  expect_programs_end_together(epoch);
}

}  // namespace zarn_selfcheck
