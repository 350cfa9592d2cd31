// The library's stages against their straightforward versions (zarn_compiler_testing/straightforward.h)
// on seeded generated inputs: every result, failures included, must be equal as a whole.

#include "zarn_compiler_testing/straightforward.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "zarn_compiler/compile.h"
#include "zarn_compiler/encoder.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/memory_plan.h"
#include "zarn_compiler/tile_program.h"
#include "zarn_compiler_testing/board_workloads.h"
#include "zarn_compiler_testing/exchange_schedule.h"
#include "zarn_compiler_testing/seeded_random.h"
#include "zarn_exchange/topology.h"

namespace zarn_compiler {
namespace {

namespace straightforward = zarn_compiler_testing::straightforward;
using zarn_compiler_testing::SeededRandom;

/// Random graphs from every builder entry. Long chains of tiny tensors pile many regions with
/// different lifetimes onto tile 0; large shapes spread over many tiles and make exchange phases;
/// an occasional `mul` of a tensor with itself into a larger output makes compilation fail, since
/// the operand must move twice to the same tiles.
class GraphGenerator {
 public:
  explicit GraphGenerator(std::uint32_t seed) : random_(seed) {}

  Graph generate() {
    Graph graph;
    const std::size_t inputs = 1 + random_.below(3);
    for (std::size_t index = 0; index < inputs; ++index) graph.input("in", {dim(), dim()});
    const std::size_t ops = 1 + random_.below(random_.below(4) == 0 ? 80 : 16);
    for (std::size_t index = 0; index < ops; ++index) add_op(graph);
    const std::size_t outputs = 1 + random_.below(2);
    for (std::size_t index = 0; index < outputs; ++index) graph.mark_output(random_.index_below(graph.tensors.size()));
    return graph;
  }

 private:
  std::size_t dim() {
    static constexpr std::size_t kDims[] = {1, 2, 3, 8, 16, 31, 64, 100, 256, 768};
    return kDims[random_.index_below(std::size(kDims))];
  }

  void add_op(Graph& graph) {
    const TensorId operand = random_.index_below(graph.tensors.size());
    const auto shape = graph.tensors[operand].shape;
    if (random_.below(40) == 0) {
      ASSERT_TRUE(graph.op("mul", OpKind{OpKind::Mul{}}, {operand, operand}, {shape[0] * 64, shape[1]}).has_value());
      return;
    }
    switch (random_.below(9)) {
      case 0:
      case 1:
      case 2: {
        std::vector<TensorId> matching;
        for (const auto& t : graph.tensors) {
          if (t.shape.size() == 2 && t.shape[0] == shape[1]) matching.push_back(t.id);
        }
        const TensorId right = !matching.empty() && random_.below(2) == 0
                                   ? matching[random_.index_below(matching.size())]
                                   : graph.weight("w", {shape[1], dim()});
        ASSERT_TRUE(graph.matmul("matmul", operand, right).has_value());
        return;
      }
      case 3: {
        TensorId right = graph.tensors.size();
        for (const auto& t : graph.tensors) {
          if (t.id != operand && t.shape == shape) right = t.id;
        }
        if (right == graph.tensors.size()) right = operand;
        ASSERT_TRUE(graph.add("add", operand, right).has_value());
        return;
      }
      case 4: ASSERT_TRUE(graph.transpose("transpose", operand, {1, 0}).has_value()); return;
      case 5: ASSERT_TRUE(graph.layer_norm("layer_norm", operand, 1e-5f).has_value()); return;
      case 6: ASSERT_TRUE(graph.softmax("softmax", operand, 1).has_value()); return;
      default: ASSERT_TRUE(graph.gelu("gelu", operand).has_value()); return;
    }
  }

  SeededRandom random_;
};

/// Valid options of every kind: tile counts up to the whole board, windows from a few KiB to the
/// defaults, unaligned data bases, and a data window at the top of the address range, where
/// candidate regions run past 2^32 - 1.
CompilerOptions generated_options(SeededRandom& random) {
  static constexpr std::uint16_t kTileCounts[] = {1, 2, 7, 64, 300, 1472};
  static constexpr std::uint32_t kExchangeLimits[] = {0x50400, 0x51000, 0x54000, 0x58000};
  static constexpr std::uint32_t kDataSizes[] = {0x400, 0x2000, 0x20000, 0x88000};
  CompilerOptions options;
  options.tile_count = kTileCounts[random.index_below(std::size(kTileCounts))];
  options.exchange_base = 0x50000 + 4 * random.below(3);
  options.exchange_limit = kExchangeLimits[random.index_below(std::size(kExchangeLimits))];
  if (random.below(8) == 0) {
    options.data_base = 0xFFFFF000 + 4 * random.below(4);
    options.data_limit = 0xFFFFFFFF;
    return options;
  }
  options.data_base = options.exchange_limit + (random.below(2) == 0 ? 0 : 0x1004);
  options.data_limit = options.data_base + kDataSizes[random.index_below(std::size(kDataSizes))];
  return options;
}

TEST(StraightforwardEquivalence, CompileMatchesOnGeneratedGraphs) {
  SeededRandom option_random(20240611);
  std::size_t compiled = 0;
  std::size_t memory_failures = 0;
  std::size_t exchange_failures = 0;
  constexpr std::uint32_t kGraphs = 400;
  for (std::uint32_t seed = 1; seed <= kGraphs; ++seed) {
    SCOPED_TRACE(seed);
    const Graph graph = GraphGenerator(seed).generate();
    const CompilerOptions options = generated_options(option_random);
    const auto fast = compile(graph, options);
    ASSERT_EQ(fast, straightforward::compile(graph, options));
    if (fast) {
      ++compiled;
    } else if (std::holds_alternative<CompileError::Memory>(fast.error().value)) {
      ++memory_failures;
    } else {
      ++exchange_failures;
    }
  }
  // Both outcomes must be exercised, not mostly one.
  EXPECT_GT(compiled, kGraphs / 3);
  EXPECT_GT(memory_failures, kGraphs / 20);
  EXPECT_GT(exchange_failures, 0u);
}

TEST(StraightforwardEquivalence, CompileMatchesOnEncoderLayers) {
  struct Case {
    const char* name;
    EncoderConfig config;
    std::uint16_t tile_count;
  };
  const Case cases[] = {
      {"default", EncoderConfig{}, 64},
      {"board", zarn_compiler_testing::board_encoder_config(), zarn_compiler_testing::kBoardTiles},
      {"board, short sequence", {.sequence = 8, .hidden = 768, .heads = 12, .feed_forward = 3072}, 1472},
      {"board on fewer tiles", zarn_compiler_testing::board_encoder_config(), 368},
      {"odd sizes", {.sequence = 37, .hidden = 120, .heads = 5, .feed_forward = 333}, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto graph = encoder_graph(c.config);
    ASSERT_TRUE(graph.has_value());
    CompilerOptions options;
    options.tile_count = c.tile_count;
    const auto fast = compile(*graph, options);
    ASSERT_TRUE(fast.has_value()) << fast.error();
    EXPECT_EQ(fast, straightforward::compile(*graph, options));
  }
}

TEST(StraightforwardEquivalence, PlanMemoryMatchesOnHandBuiltExchangePhases) {
  // Exchange phases that `compile` never makes: repeated (tensor, destination) pairs, which share one
  // staging region sized by the first transfer, and byte counts from tiny to past the window.
  for (std::uint32_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE(seed);
    SeededRandom random(seed);
    const Graph graph = GraphGenerator(seed).generate();
    std::vector<Layout> layouts;
    for (const auto& tensor : graph.tensors) layouts.push_back(choose_layout(tensor, 64));
    std::vector<Phase> phases;
    for (const auto& op : graph.ops) {
      if (random.below(2) == 0) {
        std::vector<Transfer> transfers;
        const std::size_t count = 1 + random.below(40);
        for (std::size_t index = 0; index < count; ++index) {
          transfers.push_back(Transfer{.source_tile = static_cast<std::uint16_t>(random.below(64)),
                                       .destination_tile = static_cast<std::uint16_t>(random.below(8)),
                                       .tensor = random.index_below(graph.tensors.size()),
                                       .bytes = random.below(16) == 0 ? 0xFFFFFFF8 : 1 + random.below(600)});
        }
        phases.push_back(Phase{Phase::Exchange{std::move(transfers)}});
      }
      phases.push_back(Phase{Phase::Compute{op.id, compute_commands(op, graph, layouts[op.output])}});
    }
    CompilerOptions options;
    options.exchange_limit = 0x50000 + 0x400 * (1 + random.below(32));
    options.data_base = options.exchange_limit;
    ASSERT_EQ(plan_memory(graph, layouts, phases, options),
              straightforward::plan_memory(graph, layouts, phases, options));
  }
}

TEST(StraightforwardEquivalence, ValidateTransfersReportsTheSameFirstOffence) {
  // Short lists over few tiles and tensors, so that repeated pairs, equal tiles and empty transfers
  // all occur, in every order.
  std::size_t valid = 0;
  for (std::uint32_t seed = 1; seed <= 500; ++seed) {
    SCOPED_TRACE(seed);
    SeededRandom random(seed);
    std::vector<Transfer> transfers(random.below(12));
    for (auto& transfer : transfers) {
      transfer = Transfer{.source_tile = static_cast<std::uint16_t>(random.below(6)),
                          .destination_tile = static_cast<std::uint16_t>(random.below(6)),
                          .tensor = random.below(5),
                          .bytes = random.below(20) == 0 ? 0u : 4u};
    }
    const auto result = validate_transfers(transfers);
    EXPECT_EQ(result, straightforward::validate_transfers(transfers));
    valid += result.has_value();
  }
  EXPECT_GT(valid, 20u);
}

TEST(StraightforwardEquivalence, AllTileCommandsMatchesEveryTilesStream) {
  std::vector<Schedule> schedules;
  for (const EncoderConfig& config :
       {EncoderConfig{}, EncoderConfig{.sequence = 64, .hidden = 256, .heads = 4, .feed_forward = 1024}}) {
    const auto graph = encoder_graph(config);
    ASSERT_TRUE(graph.has_value());
    CompilerOptions options;
    options.tile_count = 1472;
    auto schedule = compile(*graph, options);
    ASSERT_TRUE(schedule.has_value()) << schedule.error();
    schedules.push_back(std::move(*schedule));
  }
  schedules.push_back(zarn_compiler_testing::all_tile_matching_schedule());
  schedules.push_back(zarn_compiler_testing::random_exchange_schedule(7));
  // Tiles beyond the tile count are named by transfers and commands of a hand-built schedule; a
  // transfer from a tile to itself is listed once.
  Schedule odd = zarn_compiler_testing::random_exchange_schedule(8, 200, 64);
  odd.tile_count = 40;
  std::get<Phase::Exchange>(odd.phases[0].value).transfers.push_back(Transfer{3, 3, 1, 4});
  schedules.push_back(odd);

  for (std::size_t index = 0; index < schedules.size(); ++index) {
    SCOPED_TRACE(index);
    EXPECT_EQ(schedules[index].all_tile_commands(), straightforward::all_tile_commands(schedules[index]));
  }
}

TEST(StraightforwardEquivalence, AllTileCommandsReportsTheLowestFailingTile) {
  // Tile 5's unencodable tensor comes first in phase order, tile 2's later: the per-tile streams
  // fail at tile 2 first, and so must the one-pass version.
  Schedule schedule;
  schedule.tile_count = 8;
  schedule.phases.push_back(Phase{Phase::Exchange{{Transfer{5, 6, std::size_t{1} << 32, 4}}}});
  schedule.phases.push_back(Phase{Phase::Exchange{{Transfer{1, 2, (std::size_t{1} << 32) + 1, 4}}}});
  const auto streams = schedule.all_tile_commands();
  ASSERT_FALSE(streams.has_value());
  EXPECT_EQ(streams, straightforward::all_tile_commands(schedule));
  EXPECT_EQ(streams.error(), schedule.tile_commands(1).error());
}

// ---------------------------------------------------------------------------------------------
// Exchange planning, exchange lowering and per-tile programs.

const zarn_exchange::Topology& board() {
  static const zarn_exchange::Topology topology = zarn_exchange::Topology::k1472();
  return topology;
}

const std::vector<Transfer>& transfers_of(const Schedule& schedule, std::size_t phase = 0) {
  return std::get<Phase::Exchange>(schedule.phases[phase].value).transfers;
}

/// Every planning step, the lowering and the programs of `schedule` against the straightforward
/// versions; returns whether the lowering succeeded. The public `plan_exchange_epochs` (which reads
/// the allocation list, where the lowering uses its index) is compared too unless `whole_board`
/// says the phase is large, where the straightforward planning is the slow part.
bool expect_lowering_matches(const Schedule& schedule, bool whole_board = false) {
  for (std::size_t phase = 0; phase < schedule.phases.size(); ++phase) {
    if (!std::holds_alternative<Phase::Exchange>(schedule.phases[phase].value)) continue;
    const auto& transfers = transfers_of(schedule, phase);
    const auto groups = group_transfers(transfers);
    EXPECT_EQ(groups, straightforward::group_transfers(transfers));
    const auto adjacency = exchange_conflict_graph(groups);
    EXPECT_EQ(adjacency, straightforward::exchange_conflict_graph(groups));
    EXPECT_EQ(color_exchange_groups(groups, adjacency), straightforward::color_exchange_groups(groups, adjacency));
    if (whole_board) continue;
    EXPECT_EQ(plan_exchange_epochs(transfers, schedule.allocations, phase),
              straightforward::plan_exchange_epochs(transfers, schedule.allocations, phase));
  }
  // The straightforward planning is what costs here, so the programs are compared from the one
  // straightforward lowering (lower_tile_programs is lower_exchanges, then assemble_tile_programs).
  const auto lowered = schedule.lower_exchanges(board());
  const auto reference = straightforward::lower_exchanges(schedule, board());
  EXPECT_EQ(lowered, reference);
  const auto programs = schedule.lower_tile_programs(board());
  if (!reference) {
    EXPECT_EQ(programs, decltype(programs)(std::unexpected(reference.error())));
    return false;
  }
  EXPECT_EQ(programs, straightforward::assemble_tile_programs(schedule, *reference));
  return lowered.has_value();
}

TEST(StraightforwardEquivalence, LoweringMatchesOnRandomBoardPhases) {
  // The benchmark's random phase and another: about 1472 groups of 1 to 8 destinations on the
  // whole board, with 14 or so slots.
  for (const std::uint32_t seed : {1u, 2u}) {
    SCOPED_TRACE(seed);
    EXPECT_TRUE(expect_lowering_matches(zarn_compiler_testing::random_exchange_schedule(seed), true));
  }
  EXPECT_TRUE(expect_lowering_matches(zarn_compiler_testing::all_tile_matching_schedule(), true));
  // 64 slots do not fit the 4095 cycles a launch can start a multicast in: both fail alike.
  EXPECT_FALSE(expect_lowering_matches(zarn_compiler_testing::all_to_all_schedule(64)));
  EXPECT_TRUE(expect_lowering_matches(zarn_compiler_testing::all_to_all_schedule(24)));
}

TEST(StraightforwardEquivalence, LoweringMatchesOnRandomPhasesWithRelaysAndFaults) {
  // Relays make the slot order wait on deliveries (and often form cycles); dropped allocations,
  // unaligned sizes and too large groups make the lowering fail at every check in turn.
  std::size_t lowered = 0;
  constexpr std::uint32_t kSchedules = 160;
  for (std::uint32_t seed = 1; seed <= kSchedules; ++seed) {
    SCOPED_TRACE(seed);
    SeededRandom random(seed);
    static constexpr std::uint16_t kTiles[] = {4, 9, 16, 64, 300};
    static constexpr std::uint32_t kRelays[] = {0, 3, 8};
    const std::uint16_t tiles = kTiles[random.index_below(std::size(kTiles))];
    Schedule schedule = zarn_compiler_testing::random_exchange_schedule(
        seed, 1 + random.below(tiles), tiles, kRelays[random.index_below(std::size(kRelays))]);
    switch (random.below(6)) {
      case 0: {
        const auto dropped = random.index_below(schedule.allocations.size());
        schedule.allocations.erase(schedule.allocations.begin() + static_cast<std::ptrdiff_t>(dropped));
        break;
      }
      case 1: {
        auto& transfers = std::get<Phase::Exchange>(schedule.phases[0].value).transfers;
        transfers[random.index_below(transfers.size())].bytes += 2;
        break;
      }
      case 2:
        // A second copy of every allocation, later in the list: the first one must still win.
        for (std::size_t index = 0, count = schedule.allocations.size(); index < count; ++index) {
          Allocation copy = schedule.allocations[index];
          copy.address += 0x400;
          schedule.allocations.push_back(copy);
        }
        break;
      default: break;
    }
    lowered += expect_lowering_matches(schedule);
  }
  EXPECT_GT(lowered, kSchedules / 4);
  EXPECT_LT(lowered, kSchedules * 3 / 4);
}

TEST(StraightforwardEquivalence, LoweringMatchesOnLiveStagingAcrossPhases) {
  // Phase 1 sends on what phase 0 delivered (live staging copies), phase 2 again from home copies.
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE(seed);
    const Schedule first = zarn_compiler_testing::random_exchange_schedule(seed, 40, 64);
    Schedule schedule = first;
    std::vector<Transfer> onward;
    SeededRandom random(seed);
    for (auto& allocation : schedule.allocations) {
      if (std::holds_alternative<AllocationKind::Home>(allocation.kind.value)) continue;
      allocation.live_until = 2 + random.below(2);
      const auto destination = static_cast<std::uint16_t>((allocation.tile + 1 + random.below(63)) % 64);
      if (destination != allocation.tile && random.below(2) == 0) {
        onward.push_back(Transfer{allocation.tile, destination, allocation.tensor, allocation.size});
      }
    }
    std::sort(onward.begin(), onward.end(), [](const Transfer& a, const Transfer& b) {
      return std::tie(a.destination_tile, a.tensor, a.source_tile) < std::tie(b.destination_tile, b.tensor, b.source_tile);
    });
    onward.erase(std::unique(onward.begin(), onward.end(),
                             [](const Transfer& a, const Transfer& b) {
                               return a.destination_tile == b.destination_tile && a.tensor == b.tensor;
                             }),
                 onward.end());
    for (const auto& transfer : onward) {
      schedule.allocations.push_back(Allocation{.tensor = transfer.tensor,
                                                .tile = transfer.destination_tile,
                                                .address = 0x56000,
                                                .size = transfer.bytes,
                                                .live_from = 1,
                                                .live_until = 2,
                                                .kind = {AllocationKind::ExchangeStaging{1}}});
    }
    schedule.phases.push_back(Phase{Phase::Exchange{onward}});
    schedule.phases.push_back(first.phases[0]);
    expect_lowering_matches(schedule);
  }
}

TEST(StraightforwardEquivalence, ColoringMatchesOnArbitraryConflictGraphs) {
  // Adjacency lists that no phase gives: one-sided, repeated entries, a group listing itself.
  for (std::uint32_t seed = 1; seed <= 100; ++seed) {
    SCOPED_TRACE(seed);
    SeededRandom random(seed);
    const std::size_t count = 1 + random.below(60);
    std::vector<PendingGroup> groups;
    std::vector<std::vector<std::size_t>> adjacency(count);
    for (std::size_t index = 0; index < count; ++index) {
      groups.push_back(PendingGroup{.source = static_cast<std::uint16_t>(random.below(8)),
                                    .tensor = random.below(4),
                                    .bytes = 4,
                                    .destinations = {static_cast<std::uint16_t>(8 + random.below(8))}});
      const std::size_t degree = random.below(12);
      for (std::size_t edge = 0; edge < degree; ++edge) adjacency[index].push_back(random.index_below(count));
    }
    EXPECT_EQ(color_exchange_groups(groups, adjacency), straightforward::color_exchange_groups(groups, adjacency));
    // Unsorted destinations, a source among its own destinations.
    groups[0].destinations = {15, 3, static_cast<std::uint16_t>(groups[0].source), 3};
    EXPECT_EQ(exchange_conflict_graph(groups), straightforward::exchange_conflict_graph(groups));
  }
}

TEST(StraightforwardEquivalence, TileProgramsMatchOnEncoderLayers) {
  for (const auto& [config, tiles] :
       {std::pair{EncoderConfig{}, std::uint16_t{64}},
        std::pair{EncoderConfig{.sequence = 64, .hidden = 256, .heads = 4, .feed_forward = 1024}, std::uint16_t{1472}},
        std::pair{zarn_compiler_testing::board_encoder_config(), zarn_compiler_testing::kBoardTiles}}) {
    SCOPED_TRACE(tiles);
    const auto graph = encoder_graph(config);
    ASSERT_TRUE(graph.has_value());
    CompilerOptions options;
    options.tile_count = tiles;
    const auto schedule = compile(*graph, options);
    ASSERT_TRUE(schedule.has_value()) << schedule.error();
    const auto lowered = schedule->lower_exchanges(board());
    ASSERT_TRUE(lowered.has_value()) << lowered.error();
    EXPECT_EQ(lowered, straightforward::lower_exchanges(*schedule, board()));
    EXPECT_EQ(assemble_tile_programs(*schedule, *lowered), straightforward::assemble_tile_programs(*schedule, *lowered));
  }
}

TEST(StraightforwardEquivalence, TileProgramsMatchWhenLookupsFail) {
  const auto graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value());
  const auto compiled = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(compiled.has_value());
  const auto lowered = compiled->lower_exchanges(board());
  ASSERT_TRUE(lowered.has_value());
  // A missing lowered phase, missing allocations, and commands on tiles past the tile count.
  for (std::uint32_t seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE(seed);
    SeededRandom random(seed);
    Schedule schedule = *compiled;
    std::vector<LoweredExchangePhase> phases = *lowered;
    if (random.below(3) == 0) phases.erase(phases.begin() + static_cast<std::ptrdiff_t>(random.index_below(phases.size())));
    for (std::size_t drop = random.below(3); drop > 0; --drop) {
      schedule.allocations.erase(schedule.allocations.begin() +
                                 static_cast<std::ptrdiff_t>(random.index_below(schedule.allocations.size())));
    }
    if (random.below(2) == 0) schedule.tile_count = static_cast<std::uint16_t>(1 + random.below(64));
    EXPECT_EQ(assemble_tile_programs(schedule, phases), straightforward::assemble_tile_programs(schedule, phases));
  }
}

}  // namespace
}  // namespace zarn_compiler
