// Work counts: what a compilation and its lowerings will make, counted before they run.

#include "zarn_files/work_limits.h"

#include <gtest/gtest.h>

#include <variant>

#include "zarn_compiler/compile.h"
#include "zarn_compiler/encoder.h"
#include "zarn_compiler/tile_program.h"
#include "zarn_exchange/topology.h"

namespace zarn_files {
namespace {

using zarn_compiler::CompilerOptions;
using zarn_compiler::Graph;

/// The records a compilation and its lowerings really make, counted the way `Work` counts them.
Work made(const zarn_compiler::Schedule& schedule) {
  Work work;
  work.schedule = schedule.allocations.size();
  for (const auto& phase : schedule.phases) {
    if (const auto* exchange = std::get_if<zarn_compiler::Phase::Exchange>(&phase.value)) {
      work.schedule += exchange->transfers.size();
    } else {
      work.schedule += std::get<zarn_compiler::Phase::Compute>(phase.value).commands.size();
    }
  }
  const auto commands = schedule.all_tile_commands();
  EXPECT_TRUE(commands);
  for (const auto& tile : *commands) work.commands += tile.size();
  const auto exchanges = schedule.lower_exchanges(zarn_exchange::Topology::k1472());
  EXPECT_TRUE(exchanges);
  for (const auto& phase : *exchanges) {
    for (const auto& epoch : phase.epochs) {
      for (const auto& group : epoch.groups) work.exchanges += 1 + group.receivers.size();
    }
  }
  const auto programs = schedule.lower_tile_programs(zarn_exchange::Topology::k1472());
  EXPECT_TRUE(programs);
  for (const auto& program : *programs) work.programs += program.steps.size();
  return work;
}

TEST(WorkLimits, CountsWhatTheStagesMake) {
  struct Case {
    const char* name;
    zarn_compiler::EncoderConfig config;
    std::uint16_t tile_count;
  };
  const Case cases[] = {
      {"default encoder", {}, 64},
      {"one tile", {}, 1},
      {"board-wide encoder", {.sequence = 128, .hidden = 768, .heads = 12, .feed_forward = 3072}, 1472},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto graph = zarn_compiler::encoder_graph(c.config);
    ASSERT_TRUE(graph);
    CompilerOptions options;
    options.tile_count = c.tile_count;
    const auto schedule = zarn_compiler::compile(*graph, options);
    ASSERT_TRUE(schedule) << to_string(schedule.error());
    const Work actual = made(*schedule);
    // Exact for the schedule, the commands and the programs; the exchange rows are bounded by a
    // sender and a receiver row per transfer, and fan-out groups share their sender row.
    for (const Work& counted : {compile_work(*graph, options), lowering_work(*schedule)}) {
      EXPECT_EQ(counted.schedule, actual.schedule);
      EXPECT_EQ(counted.commands, actual.commands);
      EXPECT_EQ(counted.programs, actual.programs);
      EXPECT_GE(counted.exchanges, actual.exchanges);
      EXPECT_LE(counted.exchanges, 2 * actual.exchanges);
    }
  }
  const auto graph = zarn_compiler::encoder_graph({});
  ASSERT_TRUE(graph);
  EXPECT_EQ(compile_work(*graph, CompilerOptions{}), (Work{576, 280, 56, 288}));
}

TEST(WorkLimits, CountsHugeGraphsWithoutBuildingThem) {
  Graph graph;
  graph.mark_output(graph.input("x", {100000000, 100000000}));
  CompilerOptions options;
  options.tile_count = 65535;
  // 65535 home regions and as many commands streams; no lowering beyond the board's tiles.
  EXPECT_EQ(compile_work(graph, options), (Work{65535, 65535, 0, 0}));

  for (int index = 0; index < 16; ++index) {
    const auto gelu = graph.gelu("g", graph.tensors.size() - 1);
    ASSERT_TRUE(gelu);
  }
  EXPECT_GT(compile_work(graph, options).total(), kMaxWorkRecords);

  options.tile_count = 0;  // refused by the options check before any work
  EXPECT_EQ(compile_work(graph, options), Work{});
}

TEST(WorkLimits, CountsEveryTileOfEveryExchangePhase) {
  // Each matmul output spreads over two tiles from an operand on one: one exchange phase each, and
  // every tile of the range takes a step in every exchange phase.
  Graph graph;
  const auto x = graph.input("x", {1, 256});
  const auto weight = graph.weight("w", {256, 512});
  for (int index = 0; index < 8; ++index) {
    const auto up = graph.matmul("up", x, weight);
    ASSERT_TRUE(up);
    graph.mark_output(*up);
  }
  CompilerOptions options;
  options.tile_count = 1472;
  const Work work = compile_work(graph, options);
  const auto schedule = zarn_compiler::compile(graph, options);
  ASSERT_TRUE(schedule) << to_string(schedule.error());
  EXPECT_EQ(work, lowering_work(*schedule));
  EXPECT_EQ(work, made(*schedule));
  EXPECT_EQ(work.programs, 1472u * 8 + 8 * 2);
}

}  // namespace
}  // namespace zarn_files
