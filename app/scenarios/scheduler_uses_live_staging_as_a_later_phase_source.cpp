// A staging copy received in one exchange phase and still live is the source of a later exchange
// phase; once its lifetime has ended, the later phase has no source.

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

void scheduler_uses_live_staging_as_a_later_phase_source() {
  const auto topology = zarn_exchange::Topology::k1472();
  const Schedule schedule = zarn_compiler_testing::live_staging_schedule(2);

  // In phase 1, tile 1's staging copy of phase 0 is visible from the start.
  const std::vector<Transfer> later{{1, 2, 0, 64}};
  const auto slots = plan_exchange_epochs(later, schedule.allocations, 1);
  ASSERT_TRUE(slots.has_value());
  EXPECT_EQ(slots->size(), 1u);
  EXPECT_EQ(resolve_source_address(schedule.allocations, 0, 1, 1, /*delivered_in_phase=*/false), 0x52000u);
  EXPECT_EQ(resolve_destination_addresses(schedule.allocations, 0, std::vector<std::uint16_t>{2}, 1),
            (std::vector<std::uint32_t>{0x53000}));

  const auto lowered = schedule.lower_exchanges(topology);
  ASSERT_TRUE(lowered.has_value()) << to_string(lowered.error());
  ASSERT_EQ(lowered->size(), schedule.phases.size());
  for (std::size_t index = 0; index < lowered->size(); ++index) {
    SCOPED_TRACE(testing::Message() << "phase " << index);
    EXPECT_EQ((*lowered)[index].phase, index);
    ASSERT_EQ((*lowered)[index].epochs.size(), 1u);
    expect_programs_end_together((*lowered)[index].epochs[0]);
  }
  const auto& second = (*lowered)[1].epochs[0];
  EXPECT_TRUE(second.tile_rows.contains(1));
  ASSERT_EQ(second.groups.size(), 1u);
  EXPECT_EQ(second.groups[0].source_tile, 1u);

  // With tile 1's copy ending at phase 1, phase 1 finds no copy to send.
  const auto ended = zarn_compiler_testing::live_staging_schedule(1).lower_exchanges(topology);
  ASSERT_FALSE(ended.has_value());
  EXPECT_EQ(ended.error(), CompileError{CompileError::Graph{"exchange staging dependencies contain a cycle"}});
}

}  // namespace zarn_selfcheck
