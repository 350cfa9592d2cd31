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
#include "zarn_compiler/memory_plan.h"
#include "zarn_compiler_testing/board_workloads.h"
#include "zarn_compiler_testing/seeded_random.h"

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

}  // namespace
}  // namespace zarn_compiler
