#include "zarn_compiler/tile_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "zarn_compiler/compile.h"
#include "zarn_compiler/encoder.h"
#include "zarn_compiler/schedule.h"
#include "zarn_exchange/row_program.h"
#include "zarn_exchange/topology.h"
#include "zarn_platform/log_capture.h"

namespace zarn_compiler {
namespace {

using Words = std::vector<std::uint32_t>;

const zarn_exchange::Topology& k1472() {
  static const zarn_exchange::Topology topology = zarn_exchange::Topology::k1472();
  return topology;
}

Allocation home(TensorId tensor, std::uint16_t tile, std::uint32_t address) {
  return {tensor, tile, address, 64, 0, 2, AllocationKind{AllocationKind::Home{}}};
}

Allocation staging(TensorId tensor, std::uint16_t tile, std::uint32_t address, std::size_t phase) {
  return {tensor, tile, address, 64, phase, phase + 1, AllocationKind{AllocationKind::ExchangeStaging{phase}}};
}

SpecializationKey key(const char* role) { return {"add", {4, 4}, 1, role, 16}; }

/// Three tiles. Phase 0 sends t0 from tile 0 to tile 1; phase 1 computes t2 = t0 + t1 (t0 read twice)
/// on tiles 0 and 1. Tile 2 takes part in nothing.
Schedule small_schedule() {
  Schedule schedule;
  schedule.tile_count = 3;
  schedule.phases.push_back(Phase{Phase::Exchange{{Transfer{0, 1, 0, 64}}}});
  schedule.phases.push_back(Phase{
      Phase::Compute{7, {KernelCommand{0, 2, {0, 1, 0}, key("body")}, KernelCommand{1, 2, {0, 1, 0}, key("tail")}}}});
  schedule.allocations = {home(0, 0, 0x58000), home(1, 0, 0x58040), home(1, 1, 0x58040),
                          home(2, 0, 0x58080), home(2, 1, 0x58080), staging(0, 1, 0x50000, 0)};
  return schedule;
}

TEST(LowerTilePrograms, ExchangeStepsForEveryTileAndResolvedComputeAddresses) {
  const Schedule schedule = small_schedule();
  zarn_platform::LogCapture log;
  const auto programs = schedule.lower_tile_programs(k1472());
  ASSERT_TRUE(programs.has_value());
  const auto lowered = schedule.lower_exchanges(k1472());
  ASSERT_TRUE(lowered.has_value());
  const auto& epoch = lowered->front().epochs.front();

  const auto exchange_step = [&](std::uint16_t tile) {
    return LoweredTileStep{LoweredTileStep::Exchange{.phase = 0, .epoch = 0, .row = epoch.row_for(tile)}};
  };
  const auto compute_step = [](Words inputs, const char* role) {
    return LoweredTileStep{LoweredTileStep::Compute{
        {.op = 7, .output_address = 0x58080, .input_addresses = std::move(inputs), .specialization = key(role)}}};
  };
  const std::vector<LoweredTileProgram> expected{
      {0, {exchange_step(0), compute_step({0x58000, 0x58040, 0x58000}, "body")}},
      // Tile 1 reads t0 from the staging region the exchange just filled, t1 from its home region.
      {1, {exchange_step(1), compute_step({0x50000, 0x58040, 0x50000}, "tail")}},
      {2, {exchange_step(2)}},
  };
  EXPECT_EQ(*programs, expected);
  const auto& idle = std::get<LoweredTileStep::Exchange>((*programs)[2].steps[0].value).row;
  EXPECT_EQ(idle, (Words{IDLE_EXCHANGE_ROW.begin(), IDLE_EXCHANGE_ROW.end()}));

  const auto events = log.events_with_message("lowered per-tile programs");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, zarn_platform::LogLevel::Info);
  EXPECT_EQ(events[0].target, "zarn_compiler");
  EXPECT_EQ(events[0].unsigned_field("tiles"), 3u);
  EXPECT_EQ(log.events_with_message("lowered exchange schedule").size(), 2u);  // once per lowering call

  EXPECT_EQ(schedule.lower_tile_programs(k1472()), programs);
}

TEST(LowerTilePrograms, NoPhasesGivesEmptyProgramsForEveryTile) {
  Schedule schedule;
  schedule.tile_count = 4;
  const auto programs = schedule.lower_tile_programs(k1472());
  ASSERT_TRUE(programs.has_value());
  ASSERT_EQ(programs->size(), 4u);
  for (std::uint16_t tile = 0; tile < 4; ++tile) {
    EXPECT_EQ((*programs)[tile], (LoweredTileProgram{tile, {}}));
  }
}

TEST(LowerTilePrograms, FailuresReturnNoProgramsAndNoEvent) {
  Schedule missing_output = small_schedule();
  std::erase_if(missing_output.allocations, [](const Allocation& a) { return a.tensor == 2 && a.tile == 1; });

  Schedule missing_operand = small_schedule();
  std::erase_if(missing_operand.allocations, [](const Allocation& a) { return a.tensor == 1 && a.tile == 0; });

  Schedule too_many_tiles = small_schedule();
  too_many_tiles.tile_count = 1473;

  struct Case {
    const char* name;
    Schedule schedule;
    CompileError error;
  };
  const Case cases[] = {
      {"output without home", missing_output,
       CompileError{CompileError::Memory{"missing home allocation for tensor 2 on tile 1"}}},
      {"operand without any copy", missing_operand,
       CompileError{CompileError::Memory{"missing home allocation for tensor 1 on tile 0"}}},
      {"topology too small", too_many_tiles, CompileError{CompileError::Graph{"exchange topology has too few tiles"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zarn_platform::LogCapture log;
    const auto programs = c.schedule.lower_tile_programs(k1472());
    ASSERT_FALSE(programs.has_value());
    EXPECT_EQ(programs.error(), c.error);
    EXPECT_TRUE(log.events_with_message("lowered per-tile programs").empty());
  }
}

TEST(AssembleTilePrograms, ExchangePhaseWithoutLoweredEntryFails) {
  Schedule schedule = small_schedule();
  schedule.phases.push_back(Phase{Phase::Exchange{{Transfer{1, 2, 1, 64}}}});
  schedule.allocations.push_back(staging(1, 2, 0x50000, 2));
  auto lowered = schedule.lower_exchanges(k1472());
  ASSERT_TRUE(lowered.has_value());
  ASSERT_EQ(lowered->size(), 2u);
  lowered->pop_back();
  const auto programs = assemble_tile_programs(schedule, *lowered);
  ASSERT_FALSE(programs.has_value());
  EXPECT_EQ(programs.error(), CompileError{CompileError::Graph{"missing lowered exchange phase 2"}});
}

TEST(AssembleTilePrograms, LoweredPhaseWithoutEpochsAddsNoStep) {
  Schedule schedule;
  schedule.tile_count = 2;
  schedule.phases.push_back(Phase{Phase::Exchange{}});
  const std::vector<LoweredExchangePhase> lowered{{.phase = 0, .epochs = {}, .cost = {}}};
  const auto programs = assemble_tile_programs(schedule, lowered);
  ASSERT_TRUE(programs.has_value());
  EXPECT_EQ(*programs, (std::vector<LoweredTileProgram>{{0, {}}, {1, {}}}));
}

TEST(ScheduleAddresses, FirstMatchingAllocationInListOrder) {
  Schedule schedule;
  schedule.allocations = {
      staging(4, 1, 0x50100, 2),  // ends at phase 3
      home(4, 2, 0x58100),        // another tile
      home(4, 1, 0x58200),        // the first home copy on tile 1
      home(4, 1, 0x58300),
      staging(4, 1, 0x50200, 5),                                                      // ends at phase 6
      {4, 1, 0x50300, 16, 1, 3, AllocationKind{AllocationKind::ExchangeStaging{9}}},  // any phase value
  };
  EXPECT_EQ(schedule.home_address(4, 1), 0x58200u);
  EXPECT_EQ(schedule.compute_input_address(4, 1, 3), 0x50100u);
  EXPECT_EQ(schedule.compute_input_address(4, 1, 6), 0x50200u);
  EXPECT_EQ(schedule.compute_input_address(4, 1, 4), 0x58200u);  // no staging region ends here
  EXPECT_EQ(schedule.compute_input_address(4, 2, 3), 0x58100u);
  EXPECT_EQ(schedule.home_address(4, 3).error(),
            CompileError{CompileError::Memory{"missing home allocation for tensor 4 on tile 3"}});
  EXPECT_EQ(schedule.compute_input_address(5, 1, 3).error(),
            CompileError{CompileError::Memory{"missing home allocation for tensor 5 on tile 1"}});
}

TEST(LowerTilePrograms, DefaultEncoderScheduleGivesSixtyFourTimedPrograms) {
  const auto graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value());
  const auto schedule = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value());
  const auto lowered = schedule->lower_exchanges(k1472());
  ASSERT_TRUE(lowered.has_value());
  ASSERT_FALSE(lowered->empty());
  for (const auto& phase : *lowered) {
    EXPECT_GT(phase.cost.launches, 0u);
    ASSERT_EQ(phase.epochs.size(), 1u);
    for (const auto& [tile, program] : phase.epochs[0].tile_rows) {
      SCOPED_TRACE(testing::Message() << "phase " << phase.phase << " tile " << tile);
      EXPECT_EQ(std::count(program.begin(), program.end(), zarn_exchange::EXCHANGE_ROW_ENTRY), 1);
      EXPECT_EQ(std::count(program.begin(), program.end(), zarn_exchange::EXCHANGE_ROW_RETURN), 1);
      EXPECT_EQ(zarn_exchange::plan_event_cycles(program), phase.cost.estimated_cycles);
    }
  }

  const auto programs = schedule->lower_tile_programs(k1472());
  ASSERT_TRUE(programs.has_value());
  ASSERT_EQ(programs->size(), 64u);
  for (std::uint16_t tile = 0; tile < 64; ++tile) {
    const auto& program = (*programs)[tile];
    EXPECT_EQ(program.tile, tile);
    // One step per exchange epoch for every tile; compute steps only where the tile computes.
    const auto exchange_steps = std::count_if(
        program.steps.begin(), program.steps.end(),
        [](const LoweredTileStep& step) { return std::holds_alternative<LoweredTileStep::Exchange>(step.value); });
    EXPECT_EQ(exchange_steps, static_cast<std::ptrdiff_t>(lowered->size()));
  }
}

}  // namespace
}  // namespace zarn_compiler
