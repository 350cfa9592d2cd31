#include "zarn_compiler/transfer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace zarn_compiler {
namespace {

std::vector<Layout> layouts_of(const Graph& graph, std::uint16_t tile_count = 64) {
  std::vector<Layout> layouts;
  for (const auto& tensor : graph.tensors) layouts.push_back(choose_layout(tensor, tile_count));
  return layouts;
}

TEST(OperationTransfers, SpreadsAnOperandOverTheMissingOutputTiles) {
  // x: 1028 bytes on tiles 0 and 1 (514 each); y: 5120 bytes on tiles 0 to 4. w lies on all 64
  // tiles, so every output tile finds its share of w in place.
  Graph graph;
  const TensorId x = graph.input("x", {1, 257});
  const TensorId w = graph.weight("w", {257, 1280});
  ASSERT_TRUE(graph.matmul("y", x, w).has_value());
  const auto transfers = operation_transfers(graph.ops[0], graph, layouts_of(graph));
  ASSERT_TRUE(transfers.has_value());
  EXPECT_EQ(*transfers, (std::vector<Transfer>{{0, 2, x, 514}, {1, 3, x, 514}, {0, 4, x, 514}}));
}

TEST(OperationTransfers, OperandOnTheOutputTilesNeverMoves) {
  Graph graph;
  const TensorId x = graph.input("x", {64, 64});   // Rows, tiles 0 to 15
  const TensorId w = graph.weight("w", {64, 64});  // Columns, tiles 0 to 15
  ASSERT_TRUE(graph.add("y", x, w).has_value());
  const auto transfers = operation_transfers(graph.ops[0], graph, layouts_of(graph));
  ASSERT_TRUE(transfers.has_value());
  EXPECT_TRUE(transfers->empty());
}

TEST(OperationTransfers, FeedForwardInputFansOutFromItsEightTiles) {
  Graph graph;
  const TensorId norm = graph.input("norm2", {32, 64});  // tiles 0 to 7
  const TensorId w1 = graph.weight("w1", {64, 256});     // tiles 0 to 63, Columns
  ASSERT_TRUE(graph.matmul("ffn_up", norm, w1).has_value());
  const auto transfers = operation_transfers(graph.ops[0], graph, layouts_of(graph));
  ASSERT_TRUE(transfers.has_value());
  std::vector<Transfer> expected;
  for (std::uint16_t d = 8; d < 32; ++d) expected.push_back({static_cast<std::uint16_t>(d % 8), d, norm, 1024});
  EXPECT_EQ(*transfers, expected);
}

TEST(OperationTransfers, PairsByPositionForAnyTileLists) {
  // Hand-made layouts that are not tile prefixes: output position i reads operand position i mod 2.
  Graph graph;
  const TensorId x = graph.input("x", {8});
  ASSERT_TRUE(graph.gelu("y", x).has_value());
  const std::vector<Layout> layouts{{x, {4, 1}, Sharding::Replicated, 16}, {1, {0, 1, 2, 4}, Sharding::Replicated, 16}};
  const auto transfers = operation_transfers(graph.ops[0], graph, layouts);
  ASSERT_TRUE(transfers.has_value());
  EXPECT_EQ(*transfers, (std::vector<Transfer>{{4, 0, x, 16}, {4, 2, x, 16}, {1, 4, x, 16}}));
}

TEST(OperationTransfers, AnOperandListedTwiceMovesTwice) {
  // small lies on tiles 0 and 1, the output on tiles 0 to 4; nothing de-duplicates the second copy,
  // so the list fails validation.
  Graph graph;
  const TensorId small = graph.input("small", {1, 257});
  const TensorId big = graph.weight("big", {257, 1280});
  ASSERT_TRUE(graph.op("both", {OpKind::Mul{}}, {small, small, big}, {1, 1280}).has_value());
  const auto transfers = operation_transfers(graph.ops[0], graph, layouts_of(graph));
  ASSERT_TRUE(transfers.has_value());
  EXPECT_EQ(*transfers, (std::vector<Transfer>{{0, 2, small, 514}, {1, 3, small, 514}, {0, 4, small, 514},
                                               {0, 2, small, 514}, {1, 3, small, 514}, {0, 4, small, 514}}));
  EXPECT_EQ(validate_transfers(*transfers).error(),
            (CompileError{CompileError::Graph{"multiple sends target one tensor region in an epoch"}}));
}

TEST(OperationTransfers, RejectsAMovingShareBeyondThirtyTwoBits) {
  Graph graph;
  const TensorId huge = graph.input("huge", {std::size_t{1} << 36});  // 256 GiB
  ASSERT_TRUE(graph.gelu("out", huge).has_value());
  // Kept in place, the share is not narrowed at all; moved, it must fit a transfer's byte count.
  const std::vector<Layout> in_place{{0, {0, 1}, Sharding::Replicated, 16}, {1, {0, 1}, Sharding::Replicated, 16}};
  EXPECT_TRUE(operation_transfers(graph.ops[0], graph, in_place).has_value());
  const std::vector<Layout> moving{{0, {0}, Sharding::Replicated, 16}, {1, {0, 1}, Sharding::Replicated, 16}};
  const auto transfers = operation_transfers(graph.ops[0], graph, moving);
  ASSERT_FALSE(transfers.has_value());
  EXPECT_EQ(transfers.error(), (CompileError{CompileError::Memory{
                                   "huge: 274877906944 bytes per tile exceed the 32-bit address range"}}));
}

TEST(ValidateTransfers, FirstOffendingTransferDecides) {
  const std::string invalid = "invalid exchange transfer";
  const std::string duplicate = "multiple sends target one tensor region in an epoch";
  struct Case {
    const char* name;
    std::vector<Transfer> transfers;
    std::optional<std::string> message;
  };
  const Case cases[] = {
      {"empty list", {}, std::nullopt},
      {"fan-out and fan-in", {{0, 2, 5, 64}, {0, 3, 5, 64}, {0, 2, 6, 64}}, std::nullopt},
      {"equal tiles", {{1, 1, 5, 64}}, invalid},
      {"zero bytes", {{0, 1, 5, 0}}, invalid},
      {"one tensor region targeted twice", {{0, 2, 5, 64}, {1, 2, 5, 64}}, duplicate},
      {"duplicate before equal tiles", {{0, 2, 5, 64}, {1, 2, 5, 64}, {3, 3, 5, 64}}, duplicate},
      {"equal tiles before duplicate", {{0, 2, 5, 64}, {3, 3, 5, 64}, {1, 2, 5, 64}}, invalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = validate_transfers(c.transfers);
    if (!c.message) {
      EXPECT_TRUE(result.has_value()) << to_string(result.error());
      continue;
    }
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), (CompileError{CompileError::Graph{*c.message}}));
  }
}

}  // namespace
}  // namespace zarn_compiler
