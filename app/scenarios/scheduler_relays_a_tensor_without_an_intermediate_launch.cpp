// Tile 1 receives a tensor from tile 3 and sends it on to tile 2 in the same launch: the slot order
// puts the delivery first, and the relay reads the staging copy the delivery wrote.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "scenario_checks.h"
#include "scenario_table.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/schedule.h"
#include "zarn_compiler_testing/exchange_schedule.h"
#include "zarn_exchange/topology.h"

namespace zarn_selfcheck {

using namespace zarn_compiler;

void scheduler_relays_a_tensor_without_an_intermediate_launch() {
  // t0, 256 bytes: 3 -> 1, then 1 -> 2. Tile 1 holds only this phase's staging copy, at 0x50400.
  const Schedule schedule = zarn_compiler_testing::relay_schedule();
  const auto& transfers = std::get<Phase::Exchange>(schedule.phases[0].value).transfers;

  // The group from tile 1 gets colour 0 (smaller source on a full tie), the group from tile 3
  // colour 1; tile 1's copy exists only after the slot of tile 3's group.
  const auto groups = group_transfers(transfers);
  const auto coloring = color_exchange_groups(groups, exchange_conflict_graph(groups));
  ASSERT_TRUE(coloring.has_value());
  EXPECT_EQ(coloring->colors, (std::vector<std::size_t>{1, 0}));
  const auto slots = plan_exchange_epochs(transfers, schedule.allocations, 0);
  ASSERT_TRUE(slots.has_value());
  ASSERT_EQ(slots->size(), 2u);
  EXPECT_EQ((*slots)[0][0].source, 3u);
  EXPECT_EQ((*slots)[1][0].source, 1u);
  // Once the first slot has delivered t0 to tile 1, the relay reads tile 1's staging copy.
  EXPECT_EQ(resolve_source_address(schedule.allocations, 0, 1, 0, /*delivered_in_phase=*/true), 0x50400u);

  const auto lowered = schedule.lower_exchanges(zarn_exchange::Topology::k1472());
  ASSERT_TRUE(lowered.has_value()) << to_string(lowered.error());
  ASSERT_EQ(lowered->size(), 1u);
  EXPECT_EQ((*lowered)[0].cost.launches, 1u);
  ASSERT_EQ((*lowered)[0].epochs.size(), 1u);
  const auto& epoch = (*lowered)[0].epochs[0];
  ASSERT_EQ(epoch.groups.size(), 2u);
  EXPECT_EQ(epoch.groups[0].source_tile, 3u);
  EXPECT_EQ(epoch.groups[1].source_tile, 1u);
  // The first slot ends at cycle 122; the relay send starts at cycle 154.
  EXPECT_EQ(epoch.cost.estimated_cycles, 247u);

  const auto tile1 = epoch.row_for(1);
  expect_launch_program(tile1, 247);
  // Tile 1 receives into window word 0x100 and sends from word address 0x14100: byte 0x50400 both.
  const auto marked =
      std::find_if(tile1.begin(), tile1.end(), [](std::uint32_t word) { return (word & 0xFC014000u) == 0x60014000u; });
  ASSERT_NE(marked, tile1.end());
  EXPECT_EQ(*marked & 0x1FFFu, 0x100u);
  const auto send =
      std::find_if(tile1.begin(), tile1.end(), [](std::uint32_t word) { return (word & 0xF8000000u) == 0x78000000u; });
  ASSERT_NE(send, tile1.end());
  EXPECT_EQ((*send >> 3) & 0x3FFFFu, 0x14100u);
  EXPECT_LT(marked, send);  // receive first, then relay
  expect_programs_end_together(epoch);
}

}  // namespace zarn_selfcheck
