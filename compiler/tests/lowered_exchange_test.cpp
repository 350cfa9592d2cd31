#include "zarn_compiler/lowered_exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zarn_compiler/schedule.h"
#include "zarn_compiler_testing/exchange_schedule.h"
#include "zarn_exchange/row_program.h"
#include "zarn_exchange/topology.h"
#include "zarn_platform/log_capture.h"

namespace zarn_compiler {
namespace {

using zarn_compiler_testing::exchange_schedule;
using zarn_exchange::ExchangeError;
using Words = std::vector<std::uint32_t>;
using Tiles = std::vector<std::uint16_t>;

constexpr std::uint32_t kEntry = zarn_exchange::EXCHANGE_ROW_ENTRY;
constexpr std::uint32_t kReturn = zarn_exchange::EXCHANGE_ROW_RETURN;

const zarn_exchange::Topology& k1472() {
  static const zarn_exchange::Topology topology = zarn_exchange::Topology::k1472();
  return topology;
}

std::uint32_t cycles_of(const Words& words) {
  const auto cycles = zarn_exchange::plan_event_cycles(words);
  EXPECT_TRUE(cycles.has_value());
  return cycles.value_or(0);
}

std::size_t count_of(const Words& words, std::uint32_t word) {
  return static_cast<std::size_t>(std::count(words.begin(), words.end(), word));
}

/// Every program of the epoch starts with its one entry word, ends with its one return word and
/// lasts exactly the launch.
void expect_programs_end_at_horizon(const LoweredExchangeEpoch& epoch) {
  for (const auto& [tile, program] : epoch.tile_rows) {
    SCOPED_TRACE(testing::Message() << "tile " << tile);
    ASSERT_GE(program.size(), 2u);
    EXPECT_EQ(program.front(), kEntry);
    EXPECT_EQ(program.back(), kReturn);
    EXPECT_EQ(count_of(program, kEntry), 1u);
    EXPECT_EQ(count_of(program, kReturn), 1u);
    EXPECT_EQ(cycles_of(program), epoch.cost.estimated_cycles);
  }
}

/// The receive window word of the first PIC delay carrying the receive address mark.
std::optional<std::uint32_t> receive_window_word(std::span<const std::uint32_t> words) {
  const auto marked =
      std::find_if(words.begin(), words.end(), [](std::uint32_t w) { return (w & 0xFC014000u) == 0x60014000u; });
  if (marked == words.end()) return std::nullopt;
  return *marked & 0x1FFFu;
}

/// The SRAM word address of the first send word.
std::optional<std::uint32_t> send_word_address(std::span<const std::uint32_t> words) {
  const auto send =
      std::find_if(words.begin(), words.end(), [](std::uint32_t w) { return (w & 0xF8000000u) == 0x78000000u; });
  if (send == words.end()) return std::nullopt;
  return (*send >> 3) & 0x3FFFFu;
}

CompileResult<std::vector<LoweredExchangePhase>> lower(const std::vector<Transfer>& transfers) {
  return exchange_schedule(transfers).lower_exchanges(k1472());
}

std::vector<std::uint16_t> sources_of(const std::vector<std::vector<PendingGroup>>& slots, std::size_t slot) {
  std::vector<std::uint16_t> sources;
  for (const auto& group : slots.at(slot)) sources.push_back(group.source);
  return sources;
}

// ---- Conflicts and grouping -------------------------------------------------------------------

TEST(ExchangeGroupsConflict, TileRolesThatCannotOverlap) {
  struct Case {
    const char* name;
    std::uint16_t left_source;
    Tiles left_destinations;
    std::uint16_t right_source;
    Tiles right_destinations;
    bool conflict;
  };
  const Case cases[] = {
      {"same source", 0, {1}, 0, {2}, true},
      {"right source receives from left", 0, {1, 5}, 5, {7}, true},
      {"left source receives from right", 5, {7}, 0, {1, 5}, true},
      {"shared destination", 0, {1, 9}, 2, {9, 11}, true},
      {"identical groups", 3, {4}, 3, {4}, true},
      {"disjoint tiles", 0, {1, 2}, 3, {4}, false},
      {"destinations unsorted and disjoint", 0, {9, 1}, 3, {4, 8}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(exchange_groups_conflict(c.left_source, c.left_destinations, c.right_source, c.right_destinations),
              c.conflict);
    EXPECT_EQ(exchange_groups_conflict(c.right_source, c.right_destinations, c.left_source, c.left_destinations),
              c.conflict);
  }
}

TEST(GroupTransfers, CoalescesFanOutBySourceTensorAndSize) {
  const std::vector<Transfer> transfers{{0, 9, 0, 64},  {3, 4, 1, 128}, {0, 2, 0, 64},
                                        {0, 5, 0, 128}, {0, 1, 0, 64},  {3, 6, 2, 128}};
  EXPECT_EQ(group_transfers(transfers),
            (std::vector<PendingGroup>{{0, 0, 64, {1, 2, 9}}, {3, 1, 128, {4}}, {0, 0, 128, {5}}, {3, 2, 128, {6}}}));
  EXPECT_TRUE(group_transfers({}).empty());
}

TEST(GroupTransfers, RemovesRepeatedDestinations) {
  // Only a list that `validate_transfers` rejects can repeat a destination.
  const std::vector<Transfer> transfers{{0, 5, 0, 8}, {0, 2, 0, 8}, {0, 5, 0, 8}};
  EXPECT_EQ(group_transfers(transfers), (std::vector<PendingGroup>{{0, 0, 8, {2, 5}}}));
}

// ---- Colouring and slot order ------------------------------------------------------------------

struct ColoringCase {
  const char* name;
  std::vector<Transfer> transfers;
  std::vector<std::size_t> order;
  std::vector<std::size_t> colors;
  std::vector<Tiles> slot_sources;
};

std::vector<ColoringCase> coloring_cases() {
  std::vector<ColoringCase> cases;

  ColoringCase ring{"ring of 16", {}, {}, {}, {{}, {}}};
  for (std::uint16_t tile = 0; tile < 16; ++tile) {
    ring.transfers.push_back({tile, static_cast<std::uint16_t>((tile + 1) % 16), tile, 4});
    ring.order.push_back(tile);
    ring.colors.push_back(tile % 2);
    ring.slot_sources[tile % 2].push_back(tile);
  }
  cases.push_back(ring);

  ColoringCase all_to_all{"all-to-all among 8", {}, {}, {}, {}};
  for (std::uint16_t source = 0; source < 8; ++source) {
    for (std::uint16_t destination = 0; destination < 8; ++destination) {
      if (destination != source) all_to_all.transfers.push_back({source, destination, source, 4});
    }
    all_to_all.order.push_back(source);
    all_to_all.colors.push_back(source);
    all_to_all.slot_sources.push_back({source});
  }
  cases.push_back(all_to_all);

  // The third group conflicts with both others (degree 2) and goes first; the other two tie on
  // saturation and degree, and the smaller source goes next.
  cases.push_back({"tile roles", {{0, 1, 0, 64}, {2, 3, 1, 64}, {1, 2, 2, 64}}, {2, 0, 1}, {1, 1, 0}, {{1}, {0, 2}}});

  // Full tie on saturation and degree: the group from tile 1 is coloured first and gets colour 0,
  // but it can run only after tile 3's group delivered the copy it sends on.
  {
    ColoringCase relay{"relay", {{3, 1, 0, 256}, {1, 2, 0, 256}}, {1, 0}, {1, 0}, {{3}, {1}}};
    cases.push_back(relay);
  }

  // Same source and tensor, different sizes: a tie on every key, so the higher index goes first.
  cases.push_back({"different sizes", {{0, 1, 0, 64}, {0, 2, 0, 128}}, {1, 0}, {1, 0}, {{0}, {0}}});

  cases.push_back({"matching of four pairs",
                   {{0, 1, 0, 4}, {2, 3, 1, 4}, {4, 5, 2, 4}, {6, 7, 3, 4}},
                   {0, 1, 2, 3},
                   {0, 0, 0, 0},
                   {{0, 2, 4, 6}}});
  cases.push_back({"no transfers", {}, {}, {}, {}});
  return cases;
}

TEST(ExchangeColoring, FollowsSaturationDegreeSourceTensorAndIndexOrder) {
  for (const auto& c : coloring_cases()) {
    SCOPED_TRACE(c.name);
    const auto groups = group_transfers(c.transfers);
    const auto adjacency = exchange_conflict_graph(groups);
    const auto coloring = color_exchange_groups(groups, adjacency);
    ASSERT_TRUE(coloring.has_value());
    EXPECT_EQ(coloring->order, c.order);
    EXPECT_EQ(coloring->colors, c.colors);
    EXPECT_EQ(coloring->color_count, c.slot_sources.size());

    Schedule schedule = exchange_schedule(c.transfers);
    if (std::string(c.name) == "relay") schedule = zarn_compiler_testing::relay_schedule();
    const auto slots = plan_exchange_epochs(c.transfers, schedule.allocations, 0);
    ASSERT_TRUE(slots.has_value());
    ASSERT_EQ(slots->size(), c.slot_sources.size());
    for (std::size_t slot = 0; slot < slots->size(); ++slot) EXPECT_EQ(sources_of(*slots, slot), c.slot_sources[slot]);
  }
}

TEST(ExchangeConflictGraph, RingNeighboursOnly) {
  std::vector<Transfer> transfers;
  for (std::uint16_t tile = 0; tile < 16; ++tile) {
    transfers.push_back({tile, static_cast<std::uint16_t>((tile + 1) % 16), tile, 4});
  }
  const auto adjacency = exchange_conflict_graph(group_transfers(transfers));
  ASSERT_EQ(adjacency.size(), 16u);
  EXPECT_EQ(adjacency[0], (std::vector<std::size_t>{1, 15}));
  EXPECT_EQ(adjacency[7], (std::vector<std::size_t>{6, 8}));
}

TEST(PlanExchangeEpochs, SourcesWithoutAnyCopyFormACycle) {
  struct Case {
    const char* name;
    std::vector<Transfer> transfers;
  };
  const Case cases[] = {
      {"source holds nothing", {{4, 5, 0, 64}}},
      {"two tiles swap a tensor neither holds", {{4, 5, 0, 64}, {5, 4, 0, 64}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Only the destinations' staging copies exist.
    std::vector<Allocation> allocations;
    for (const auto& transfer : c.transfers) {
      allocations.push_back({transfer.tensor, transfer.destination_tile, 0x52000, 64, 0, 1,
                             AllocationKind{AllocationKind::ExchangeStaging{0}}});
    }
    const auto slots = plan_exchange_epochs(c.transfers, allocations, 0);
    ASSERT_FALSE(slots.has_value());
    EXPECT_EQ(slots.error(), CompileError{CompileError::Graph{"exchange staging dependencies contain a cycle"}});
  }
}

TEST(PlanExchangeEpochs, LiveStagingOfAnEarlierPhaseIsASource) {
  const std::vector<Transfer> later{{1, 2, 0, 64}};
  const auto live = plan_exchange_epochs(later, zarn_compiler_testing::live_staging_schedule(2).allocations, 1);
  ASSERT_TRUE(live.has_value());
  EXPECT_EQ(live->size(), 1u);

  const auto ended = plan_exchange_epochs(later, zarn_compiler_testing::live_staging_schedule(1).allocations, 1);
  ASSERT_FALSE(ended.has_value());
  EXPECT_EQ(ended.error(), CompileError{CompileError::Graph{"exchange staging dependencies contain a cycle"}});
}

TEST(VisibleCopy, HomeOrLiveStagingOfAnEarlierPhase) {
  const auto staging = [](std::size_t phase, std::size_t from, std::size_t until) {
    return Allocation{0, 0, 0x50000, 16, from, until, AllocationKind{AllocationKind::ExchangeStaging{phase}}};
  };
  const Allocation home{0, 0, 0x58000, 16, 5, 6, AllocationKind{AllocationKind::Home{}}};
  EXPECT_TRUE(is_visible_copy(home, 2));  // home copies count whatever their lifetime
  EXPECT_TRUE(is_visible_copy(staging(1, 1, 3), 2));
  EXPECT_FALSE(is_visible_copy(staging(1, 1, 2), 2));  // live_until is outside
  EXPECT_FALSE(is_visible_copy(staging(1, 3, 5), 2));  // not live yet
  EXPECT_FALSE(is_visible_copy(staging(2, 2, 3), 2));  // this phase's own buffer
  EXPECT_FALSE(is_visible_copy(staging(3, 0, 9), 2));  // a later phase's buffer
}

// ---- Copy resolution ---------------------------------------------------------------------------

TEST(ResolveSourceAddress, RelayBeforeLiveStagingBeforeHome) {
  const Allocation other_tile{7, 2, 0x50000, 16, 0, 9, AllocationKind{AllocationKind::ExchangeStaging{3}}};
  const Allocation home{7, 1, 0x58000, 16, 0, 9, AllocationKind{AllocationKind::Home{}}};
  const Allocation live_earlier{7, 1, 0x50100, 16, 1, 4, AllocationKind{AllocationKind::ExchangeStaging{1}}};
  const Allocation ended_earlier{7, 1, 0x50300, 16, 1, 3, AllocationKind{AllocationKind::ExchangeStaging{1}}};
  const Allocation this_phase{7, 1, 0x50200, 16, 3, 4, AllocationKind{AllocationKind::ExchangeStaging{3}}};
  struct Case {
    const char* name;
    std::vector<Allocation> allocations;
    bool delivered_in_phase;
    std::uint32_t address;
  };
  const Case cases[] = {
      {"relay within the phase wins", {other_tile, home, ended_earlier, live_earlier, this_phase}, true, 0x50200},
      {"buffer not yet written", {other_tile, home, ended_earlier, live_earlier, this_phase}, false, 0x50100},
      {"live staging of an earlier phase", {other_tile, home, ended_earlier, live_earlier}, true, 0x50100},
      {"home copy", {other_tile, ended_earlier, home}, false, 0x58000},
      {"home copy beside an unwritten buffer", {this_phase, home}, false, 0x58000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(resolve_source_address(c.allocations, 7, 1, 3, c.delivered_in_phase), c.address);
  }
  EXPECT_EQ(resolve_source_address(std::vector{other_tile, ended_earlier, this_phase}, 7, 1, 3, false).error(),
            CompileError{CompileError::Memory{"missing source allocation for tensor 7 on tile 1"}});
}

TEST(ResolveDestinationAddresses, StagingOfThisPhaseInDestinationOrder) {
  const std::vector<Allocation> allocations{
      {7, 4, 0x51000, 16, 3, 4, AllocationKind{AllocationKind::ExchangeStaging{3}}},
      {7, 2, 0x50000, 16, 2, 3, AllocationKind{AllocationKind::ExchangeStaging{2}}},
      {7, 2, 0x50040, 16, 3, 4, AllocationKind{AllocationKind::ExchangeStaging{3}}},
      {7, 2, 0x50080, 16, 3, 4, AllocationKind{AllocationKind::ExchangeStaging{3}}},
      {7, 5, 0x58000, 16, 0, 9, AllocationKind{AllocationKind::Home{}}},
  };
  EXPECT_EQ(resolve_destination_addresses(allocations, 7, Tiles{2, 4}, 3), (Words{0x50040, 0x51000}));
  EXPECT_EQ(resolve_destination_addresses(allocations, 7, Tiles{2, 5, 6}, 3).error(),
            CompileError{CompileError::Memory{"missing staging allocation for tensor 7 on tile 5"}});
}

// ---- Lowering ----------------------------------------------------------------------------------

TEST(LowerExchanges, SingleTransferWordForWord) {
  zarn_platform::LogCapture log;
  const auto lowered = lower({{0, 1, 0, 64}});
  ASSERT_TRUE(lowered.has_value());
  ASSERT_EQ(lowered->size(), 1u);
  const auto& phase = lowered->front();
  EXPECT_EQ(phase.phase, 0u);
  const ExchangeCost cost{.launches = 1, .estimated_cycles = 74, .payload_words = 16};
  EXPECT_EQ(phase.cost, cost);
  ASSERT_EQ(phase.epochs.size(), 1u);
  const auto& epoch = phase.epochs.front();
  EXPECT_EQ(epoch.cost, cost);
  ASSERT_EQ(epoch.groups.size(), 1u);
  const auto& group = epoch.groups.front();
  EXPECT_EQ(group.source_tile, 0u);
  EXPECT_EQ(group.destination_tiles, Tiles{1});
  EXPECT_EQ(group.tensor, 0u);
  EXPECT_EQ(group.bytes, 64u);
  EXPECT_EQ(group.addressing, ExchangeAddressing::Absolute);
  EXPECT_EQ(group.sender, (zarn_exchange::ExchangeRow{0x41800003, 0x40A0001B, 0x79EC4003, 0x43A00000, 0, 0, 0, 0, 0}));
  ASSERT_EQ(group.receivers.size(), 1u);
  EXPECT_EQ(group.receivers[0], (zarn_exchange::ExchangeRow{0x41800003, 0x64000000, 0x6403C640, 0x61194800, 0x40A00014,
                                                            0x43A00000, 0, 0, 0}));

  // Send at cycle 28 from word address 0x18800 (byte 0x62000), padded to 74.
  EXPECT_EQ(epoch.row_for(0), (Words{0x41800003, 0x40A0001B, 0x79EC4003, 0x40A0001D, 0x43A00000}));
  // Receive into window word 0x800 (byte 0x52000).
  EXPECT_EQ(epoch.row_for(1), (Words{0x41800003, 0x64000000, 0x6403C640, 0x61194800, 0x40A00014, 0x43A00000}));
  EXPECT_EQ(epoch.row_for(2), (Words{IDLE_EXCHANGE_ROW.begin(), IDLE_EXCHANGE_ROW.end()}));
  EXPECT_EQ(epoch.tile_rows.size(), 2u);
  expect_programs_end_at_horizon(epoch);

  const auto events = log.events_with_message("lowered exchange schedule");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, zarn_platform::LogLevel::Info);
  EXPECT_EQ(events[0].target, "zarn_compiler");
  EXPECT_EQ(events[0].unsigned_field("phases"), 1u);
  EXPECT_EQ(events[0].unsigned_field("launches"), 1u);
}

TEST(LowerExchanges, IdleRowIsUntimedAndHasNoEntryWord) {
  const Words idle(IDLE_EXCHANGE_ROW.begin(), IDLE_EXCHANGE_ROW.end());
  EXPECT_EQ(idle, (Words{0x40C00000, 0x41800001, 0x43A00000, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(cycles_of(idle), 0u);
  EXPECT_EQ(LoweredExchangeEpoch{}.row_for(0), idle);
}

TEST(LowerExchanges, CoalescedFanOutAndDisjointGroupShareTheLaunch) {
  const auto lowered = lower({{0, 1, 0, 64}, {0, 2, 0, 64}, {3, 4, 1, 128}});
  ASSERT_TRUE(lowered.has_value());
  ASSERT_EQ(lowered->size(), 1u);
  ASSERT_EQ(lowered->front().epochs.size(), 1u);
  const auto& epoch = lowered->front().epochs.front();
  ASSERT_EQ(epoch.groups.size(), 2u);
  EXPECT_EQ(epoch.groups[0].destination_tiles, (Tiles{1, 2}));
  EXPECT_EQ(epoch.groups[0].receivers.size(), 2u);
  EXPECT_EQ(epoch.groups[1].source_tile, 3u);
  EXPECT_EQ(epoch.cost.launches, 1u);
  EXPECT_EQ(epoch.cost.payload_words, 48u);
  EXPECT_EQ(epoch.tile_rows.size(), 5u);
  EXPECT_EQ(epoch.tile_rows.begin()->first, 0u);
  EXPECT_EQ(epoch.tile_rows.rbegin()->first, 4u);
  expect_programs_end_at_horizon(epoch);
}

TEST(LowerExchanges, TileRoleConflictsRunInLaterSlotsOfOneLaunch) {
  const auto lowered = lower({{0, 1, 0, 64}, {2, 3, 1, 64}, {1, 2, 2, 64}});
  ASSERT_TRUE(lowered.has_value());
  ASSERT_EQ(lowered->front().epochs.size(), 1u);
  const auto& epoch = lowered->front().epochs.front();
  EXPECT_EQ(epoch.cost.launches, 1u);
  // The first slot (tile 1 sends t2) ends at cycle 76; the second starts with offset 77.
  EXPECT_EQ(epoch.cost.estimated_cycles, 153u);
  std::vector<std::uint16_t> sources;
  for (const auto& group : epoch.groups) sources.push_back(group.source_tile);
  EXPECT_EQ(sources, (Tiles{1, 0, 2}));
  const Words tile1 = epoch.row_for(1);
  EXPECT_EQ(count_of(tile1, kEntry), 1u);
  EXPECT_EQ(count_of(tile1, kReturn), 1u);
  EXPECT_EQ(cycles_of(tile1), 153u);
  expect_programs_end_at_horizon(epoch);
}

TEST(LowerExchanges, RelaysATensorWithinOneLaunch) {
  const auto lowered = zarn_compiler_testing::relay_schedule().lower_exchanges(k1472());
  ASSERT_TRUE(lowered.has_value());
  ASSERT_EQ(lowered->front().epochs.size(), 1u);
  const auto& epoch = lowered->front().epochs.front();
  EXPECT_EQ(epoch.cost.launches, 1u);
  // The first slot ends at 122; the relay send starts at cycle 154.
  EXPECT_EQ(epoch.cost.estimated_cycles, 247u);
  ASSERT_EQ(epoch.groups.size(), 2u);
  EXPECT_EQ(epoch.groups[0].source_tile, 3u);
  EXPECT_EQ(epoch.groups[1].source_tile, 1u);

  const Words tile1 = epoch.row_for(1);
  EXPECT_EQ(count_of(tile1, kEntry), 1u);
  EXPECT_EQ(count_of(tile1, kReturn), 1u);
  EXPECT_EQ(cycles_of(tile1), 247u);
  // Both roles address byte 0x50400: window word 0x100 in the marked PIC delay, word address 0x14100
  // in the send word.
  EXPECT_EQ(receive_window_word(tile1), 0x100u);
  EXPECT_EQ(send_word_address(tile1), 0x14100u);
  EXPECT_EQ(receive_window_word(epoch.groups[0].receivers[0]), 0x100u);
  EXPECT_EQ(send_word_address(epoch.groups[1].sender), 0x14100u);
  expect_programs_end_at_horizon(epoch);
}

TEST(LowerExchanges, SendBeforeTheTilesOwnDeliveryReadsItsHomeCopy) {
  // Tile 1 holds a home copy of t0 and also receives t0 from tile 3. Its own send is coloured first
  // and runs in the first slot, before its staging buffer (0x52000) is written, so it reads its home
  // copy (0x62000).
  const auto lowered = lower({{3, 1, 0, 256}, {1, 2, 0, 256}});
  ASSERT_TRUE(lowered.has_value());
  const auto& groups = lowered->front().epochs.front().groups;
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].source_tile, 1u);
  EXPECT_EQ(send_word_address(groups[0].sender), 0x62000u / 4);
  EXPECT_EQ(groups[1].source_tile, 3u);
  EXPECT_EQ(receive_window_word(groups[1].receivers[0]), (0x52000u - 0x50000u) / 4);
}

TEST(LowerExchanges, LiveStagingCopyFeedsALaterPhase) {
  const auto lowered = zarn_compiler_testing::live_staging_schedule().lower_exchanges(k1472());
  ASSERT_TRUE(lowered.has_value());
  ASSERT_EQ(lowered->size(), 2u);
  EXPECT_EQ((*lowered)[1].phase, 1u);
  for (const auto& phase : *lowered) EXPECT_EQ(phase.epochs.size(), 1u);
  const auto& later = (*lowered)[1].epochs.front();
  EXPECT_TRUE(later.tile_rows.contains(1));
  ASSERT_EQ(later.groups.size(), 1u);
  // Source: tile 1's staging copy of phase 0 (word 0x14800); destination: window word 0x1000.
  EXPECT_EQ(send_word_address(later.groups[0].sender), 0x52000u / 4);
  EXPECT_EQ(receive_window_word(later.groups[0].receivers[0]), (0x53000u - 0x50000u) / 4);

  const auto ended = zarn_compiler_testing::live_staging_schedule(1).lower_exchanges(k1472());
  ASSERT_FALSE(ended.has_value());
  EXPECT_EQ(ended.error(), CompileError{CompileError::Graph{"exchange staging dependencies contain a cycle"}});
}

TEST(LowerExchanges, WordCountBoundOfOneMulticast) {
  EXPECT_TRUE(lower({{0, 1, 0, 16592}}).has_value());  // 4148 words
  const auto too_many = lower({{0, 1, 0, 16596}});     // 4149 words
  ASSERT_FALSE(too_many.has_value());
  EXPECT_EQ(too_many.error(), CompileError{CompileError::Exchange{ExchangeError{ExchangeError::Count{4149}}}});
}

TEST(LowerExchanges, FailuresEndTheWholeLoweringWithoutAnEvent) {
  Schedule outside_window = exchange_schedule(std::vector<Transfer>{{0, 1, 0, 64}});
  for (auto& allocation : outside_window.allocations) allocation.address = 0x62000;

  Schedule missing_staging = exchange_schedule(std::vector<Transfer>{{0, 1, 0, 64}, {0, 2, 0, 64}});
  std::erase_if(missing_staging.allocations, [](const Allocation& a) { return a.tile == 2; });

  Schedule too_many_tiles = exchange_schedule(std::vector<Transfer>{{0, 1, 0, 64}});
  too_many_tiles.tile_count = 1473;

  Schedule invalid = exchange_schedule(std::vector<Transfer>{{0, 1, 0, 64}});
  std::get<Phase::Exchange>(invalid.phases[0].value).transfers.push_back({2, 2, 0, 64});

  struct Case {
    const char* name;
    Schedule schedule;
    CompileError error;
  };
  const Case cases[] = {
      {"bytes not whole words", exchange_schedule(std::vector<Transfer>{{0, 1, 0, 6}}),
       CompileError{CompileError::Graph{"tensor 0 exchange size is not whole words"}}},
      {"destination outside the receive window", outside_window,
       CompileError{CompileError::Exchange{ExchangeError{ExchangeError::Address{401408}}}}},
      {"missing staging copy", missing_staging,
       CompileError{CompileError::Memory{"missing staging allocation for tensor 0 on tile 2"}}},
      {"topology too small", too_many_tiles, CompileError{CompileError::Graph{"exchange topology has too few tiles"}}},
      {"transfers checked again", invalid, CompileError{CompileError::Graph{"invalid exchange transfer"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zarn_platform::LogCapture log;
    const auto lowered = c.schedule.lower_exchanges(k1472());
    ASSERT_FALSE(lowered.has_value());
    EXPECT_EQ(lowered.error(), c.error);
    EXPECT_TRUE(log.events_with_message("lowered exchange schedule").empty());
  }
}

TEST(LowerExchanges, SlotStartPastTheLastSendCycleFails) {
  // Tile 1 receives 4148 words in the first slot, so its own send in the second slot would start
  // past cycle 4095.
  const auto lowered = lower({{0, 1, 0, 16592}, {1, 2, 1, 4}});
  ASSERT_FALSE(lowered.has_value());
  EXPECT_EQ(lowered.error(),
            CompileError{CompileError::Exchange{ExchangeError{ExchangeError::Schedule{"multicast start cycle"}}}});
}

TEST(LowerExchanges, SchedulesWithoutTransfersLowerToNothing) {
  Schedule compute_only;
  compute_only.tile_count = 4;
  compute_only.phases.push_back(Phase{Phase::Compute{0, {}}});
  {
    zarn_platform::LogCapture log;
    const auto lowered = compute_only.lower_exchanges(k1472());
    ASSERT_TRUE(lowered.has_value());
    EXPECT_TRUE(lowered->empty());
    const auto events = log.events_with_message("lowered exchange schedule");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].unsigned_field("phases"), 0u);
    EXPECT_EQ(events[0].unsigned_field("launches"), 0u);
  }

  Schedule empty_exchange = compute_only;
  empty_exchange.phases.push_back(Phase{Phase::Exchange{}});
  const auto lowered = empty_exchange.lower_exchanges(k1472());
  ASSERT_TRUE(lowered.has_value());
  ASSERT_EQ(lowered->size(), 1u);
  EXPECT_EQ((*lowered)[0], (LoweredExchangePhase{.phase = 1, .epochs = {}, .cost = {}}));
}

TEST(LowerExchanges, LoweringTwiceGivesEqualResults) {
  const std::vector<Transfer> transfers{{0, 1, 0, 64}, {2, 3, 1, 64}, {1, 2, 2, 64}, {0, 5, 0, 64}, {5, 6, 3, 12}};
  const auto first = lower(transfers);
  const auto second = lower(transfers);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first, second);
}

}  // namespace
}  // namespace zarn_compiler
