// A perfect matching over all 1472 tiles of the board has no conflicts: one colour, one slot, one
// launch holding all 736 groups. One tile more than the board has is refused.

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

void scheduler_packs_an_all_tile_matching_into_one_epoch() {
  std::vector<Transfer> matching;
  matching.reserve(736);
  for (std::uint16_t pair = 0; pair < 736; ++pair) {
    matching.push_back({static_cast<std::uint16_t>(2 * pair), static_cast<std::uint16_t>(2 * pair + 1), pair, 4});
  }
  Schedule schedule = zarn_compiler_testing::exchange_schedule(matching);
  schedule.tile_count = 1472;

  const auto slots = plan_exchange_epochs(matching, schedule.allocations, 0);
  ASSERT_TRUE(slots.has_value());
  ASSERT_EQ(slots->size(), 1u);
  ASSERT_EQ((*slots)[0].size(), 736u);
  for (std::uint16_t pair = 0; pair < 736; ++pair) EXPECT_EQ((*slots)[0][pair].tensor, pair);  // transfer order

  const auto topology = zarn_exchange::Topology::k1472();
  const auto lowered = schedule.lower_exchanges(topology);
  ASSERT_TRUE(lowered.has_value()) << to_string(lowered.error());
  ASSERT_EQ(lowered->size(), 1u);
  ASSERT_EQ((*lowered)[0].epochs.size(), 1u);
  const auto& epoch = (*lowered)[0].epochs[0];
  EXPECT_EQ(epoch.groups.size(), 736u);
  EXPECT_EQ(epoch.cost.launches, 1u);
  EXPECT_EQ(epoch.cost.payload_words, 736u);
  EXPECT_EQ(epoch.tile_rows.size(), 1472u);
  expect_programs_end_together(epoch);

  schedule.tile_count = 1473;
  const auto too_many = schedule.lower_exchanges(topology);
  ASSERT_FALSE(too_many.has_value());
  EXPECT_EQ(too_many.error(), CompileError{CompileError::Graph{"exchange topology has too few tiles"}});
}

}  // namespace zarn_selfcheck
