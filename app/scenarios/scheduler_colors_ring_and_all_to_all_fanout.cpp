// A ring of sixteen tiles needs two colours, an all-to-all among eight needs eight; either way the
// whole phase runs in one launch.

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

namespace {

std::vector<std::uint16_t> slot_sources(const std::vector<PendingGroup>& slot) {
  std::vector<std::uint16_t> sources;
  sources.reserve(slot.size());
  for (const auto& group : slot) sources.push_back(group.source);
  return sources;
}

}  // namespace

void scheduler_colors_ring_and_all_to_all_fanout() {
  const auto topology = zarn_exchange::Topology::k1472();

  // Ring: tile i sends t(i) to tile i + 1 (mod 16). Group i conflicts with its two neighbours.
  std::vector<Transfer> ring;
  ring.reserve(16);
  for (std::uint16_t tile = 0; tile < 16; ++tile)
    ring.push_back({tile, static_cast<std::uint16_t>((tile + 1) % 16), tile, 4});
  const Schedule ring_schedule = zarn_compiler_testing::exchange_schedule(ring);
  const auto ring_groups = group_transfers(ring);
  ASSERT_EQ(ring_groups.size(), 16u);
  const auto ring_coloring = color_exchange_groups(ring_groups, exchange_conflict_graph(ring_groups));
  ASSERT_TRUE(ring_coloring.has_value());
  std::vector<std::size_t> in_order(16);
  for (std::size_t index = 0; index < 16; ++index) in_order[index] = index;
  EXPECT_EQ(ring_coloring->order, in_order);  // group 0 first (smallest source), then 1, 2, ..., 15
  for (std::size_t index = 0; index < 16; ++index) EXPECT_EQ(ring_coloring->colors[index], index % 2);
  const auto ring_slots = plan_exchange_epochs(ring, ring_schedule.allocations, 0);
  ASSERT_TRUE(ring_slots.has_value());
  ASSERT_EQ(ring_slots->size(), 2u);
  EXPECT_EQ(slot_sources((*ring_slots)[0]), (std::vector<std::uint16_t>{0, 2, 4, 6, 8, 10, 12, 14}));
  EXPECT_EQ(slot_sources((*ring_slots)[1]), (std::vector<std::uint16_t>{1, 3, 5, 7, 9, 11, 13, 15}));

  const auto ring_lowered = ring_schedule.lower_exchanges(topology);
  ASSERT_TRUE(ring_lowered.has_value()) << to_string(ring_lowered.error());
  ASSERT_EQ(ring_lowered->size(), 1u);
  EXPECT_EQ((*ring_lowered)[0].epochs.size(), 1u);
  EXPECT_EQ((*ring_lowered)[0].cost.launches, 1u);
  EXPECT_EQ((*ring_lowered)[0].cost.payload_words, 16u);
  if (!(*ring_lowered)[0].epochs.empty()) expect_programs_end_together((*ring_lowered)[0].epochs[0]);

  // All-to-all among 8: every pair of groups conflicts; group s gets colour s.
  std::vector<Transfer> all_to_all;
  for (std::uint16_t source = 0; source < 8; ++source) {
    for (std::uint16_t destination = 0; destination < 8; ++destination) {
      if (destination != source) all_to_all.push_back({source, destination, source, 4});
    }
  }
  ASSERT_EQ(all_to_all.size(), 56u);
  const Schedule all_schedule = zarn_compiler_testing::exchange_schedule(all_to_all);
  const auto all_groups = group_transfers(all_to_all);
  ASSERT_EQ(all_groups.size(), 8u);
  for (const auto& group : all_groups) EXPECT_EQ(group.destinations.size(), 7u);
  const auto all_coloring = color_exchange_groups(all_groups, exchange_conflict_graph(all_groups));
  ASSERT_TRUE(all_coloring.has_value());
  for (std::size_t index = 0; index < 8; ++index) EXPECT_EQ(all_coloring->colors[index], index);
  const auto all_slots = plan_exchange_epochs(all_to_all, all_schedule.allocations, 0);
  ASSERT_TRUE(all_slots.has_value());
  ASSERT_EQ(all_slots->size(), 8u);
  for (std::uint16_t slot = 0; slot < 8; ++slot)
    EXPECT_EQ(slot_sources((*all_slots)[slot]), (std::vector<std::uint16_t>{slot}));

  const auto all_lowered = all_schedule.lower_exchanges(topology);
  ASSERT_TRUE(all_lowered.has_value()) << to_string(all_lowered.error());
  ASSERT_EQ(all_lowered->size(), 1u);
  EXPECT_EQ((*all_lowered)[0].epochs.size(), 1u);
  EXPECT_EQ((*all_lowered)[0].cost.launches, 1u);
  EXPECT_EQ((*all_lowered)[0].cost.payload_words, 8u);  // eight one-word groups; 56 destinations do not count
  if (!(*all_lowered)[0].epochs.empty()) expect_programs_end_together((*all_lowered)[0].epochs[0]);
}

}  // namespace zarn_selfcheck
