// A fan-out of one tensor from one tile coalesces into one multicast group, and a group on disjoint
// tiles shares its slot: one launch, two groups.

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

void scheduler_coalesces_fanout_and_packs_disjoint_groups() {
  const std::vector<Transfer> transfers{{0, 1, 0, 64}, {0, 2, 0, 64}, {3, 4, 1, 128}};
  const Schedule schedule = zarn_compiler_testing::exchange_schedule(transfers);

  const auto slots = plan_exchange_epochs(transfers, schedule.allocations, 0);
  ASSERT_TRUE(slots.has_value());
  ASSERT_EQ(slots->size(), 1u);
  EXPECT_EQ((*slots)[0], (std::vector<PendingGroup>{{0, 0, 64, {1, 2}}, {3, 1, 128, {4}}}));
  EXPECT_FALSE(exchange_groups_conflict(0, std::vector<std::uint16_t>{1, 2}, 3, std::vector<std::uint16_t>{4}));

  const auto lowered = schedule.lower_exchanges(zarn_exchange::Topology::k1472());
  ASSERT_TRUE(lowered.has_value()) << to_string(lowered.error());
  ASSERT_EQ(lowered->size(), 1u);
  ASSERT_EQ((*lowered)[0].epochs.size(), 1u);
  const auto& epoch = (*lowered)[0].epochs[0];
  ASSERT_EQ(epoch.groups.size(), 2u);
  EXPECT_EQ(epoch.groups[0].destination_tiles, (std::vector<std::uint16_t>{1, 2}));
  EXPECT_EQ(epoch.groups[0].addressing, ExchangeAddressing::Absolute);
  EXPECT_EQ(epoch.groups[0].receivers.size(), 2u);
  EXPECT_EQ(epoch.groups[1].destination_tiles, (std::vector<std::uint16_t>{4}));
  EXPECT_EQ(epoch.cost.launches, 1u);
  EXPECT_EQ(epoch.cost.payload_words, 48u);  // 16 + 32: the fan-out counts once
  EXPECT_EQ((*lowered)[0].cost, epoch.cost);
  expect_programs_end_together(epoch);

  ASSERT_EQ(epoch.tile_rows.size(), 5u);
  std::uint16_t expected_tile = 0;
  for (const auto& entry : epoch.tile_rows) EXPECT_EQ(entry.first, expected_tile++);
  const auto idle = epoch.row_for(15);
  EXPECT_EQ(idle, (std::vector<std::uint32_t>(IDLE_EXCHANGE_ROW.begin(), IDLE_EXCHANGE_ROW.end())));
  ASSERT_GE(idle.size(), 2u);
  EXPECT_EQ(idle[0], 0x40C00000u);
  EXPECT_EQ(idle[1], 0x41800001u);
}

}  // namespace zarn_selfcheck
