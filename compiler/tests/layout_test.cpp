#include "zarn_compiler/layout.h"

#include <gtest/gtest.h>

#include <vector>

namespace zarn_compiler {
namespace {

Tensor tensor_of(std::vector<std::size_t> shape, TensorKind kind = TensorKind::Intermediate) {
  return Tensor{.id = 3, .name = "t", .dtype = DType::F32, .shape = std::move(shape), .kind = kind, .producer = {}};
}

std::vector<std::uint16_t> prefix(std::uint16_t count) {
  std::vector<std::uint16_t> tiles;
  for (std::uint16_t tile = 0; tile < count; ++tile) tiles.push_back(tile);
  return tiles;
}

struct LayoutCase {
  const char* name;
  Tensor tensor;
  std::uint16_t tile_count;
  std::uint16_t expected_tiles;
  Sharding expected_sharding;
  std::size_t expected_local_bytes;
};

TEST(ChooseLayout, OneTilePerStartedKibFromTileZero) {
  const LayoutCase cases[] = {
      {"input [32, 64]", tensor_of({32, 64}, TensorKind::Input), 64, 8, Sharding::Rows, 1024},
      {"weight [64, 64]", tensor_of({64, 64}, TensorKind::Weight), 64, 16, Sharding::Columns, 1024},
      {"weight [64, 256]", tensor_of({64, 256}, TensorKind::Weight), 64, 64, Sharding::Columns, 1024},
      {"intermediate [32, 32]", tensor_of({32, 32}), 64, 4, Sharding::Rows, 1024},
      {"intermediate [32, 256]", tensor_of({32, 256}), 64, 32, Sharding::Rows, 1024},
      {"output [32, 64]", tensor_of({32, 64}, TensorKind::Output), 64, 8, Sharding::Rows, 1024},
      {"[3]", tensor_of({3}), 64, 1, Sharding::Replicated, 12},
      {"weight [3]", tensor_of({3}, TensorKind::Weight), 64, 1, Sharding::Replicated, 12},
      {"[2, 3, 4]", tensor_of({2, 3, 4}), 64, 1, Sharding::Heads, 96},
      {"weight [2, 3, 4]", tensor_of({2, 3, 4}, TensorKind::Weight), 64, 1, Sharding::Heads, 96},
      {"257 elements", tensor_of({257}), 64, 2, Sharding::Replicated, 514},
      {"weight [64, 256] on 16 tiles", tensor_of({64, 256}, TensorKind::Weight), 16, 16, Sharding::Columns, 4096},
      {"weight [64, 256] on 1 tile", tensor_of({64, 256}, TensorKind::Weight), 1, 1, Sharding::Columns, 65536},
      // 65536 started KiB: the count is clamped before it is narrowed to 16 bits.
      {"[16384, 1024]", tensor_of({16384, 1024}), 64, 64, Sharding::Rows, 1 << 20},
      {"65536 started KiB on 65535 tiles", tensor_of({16384, 1024}), 65535, 65535, Sharding::Rows, 1025},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Layout layout = choose_layout(c.tensor, c.tile_count);
    EXPECT_EQ(layout, (Layout{.tensor = 3,
                              .tiles = prefix(c.expected_tiles),
                              .sharding = c.expected_sharding,
                              .alignment = 16}));
    EXPECT_EQ(local_bytes(c.tensor, layout), c.expected_local_bytes);
  }
}

TEST(LocalBytes, NarrowsToThirtyTwoBitsOrFails) {
  const Tensor fits = tensor_of({1u << 30});  // 4 GiB on 2 tiles: 2 GiB each
  EXPECT_EQ(local_bytes_u32(fits, choose_layout(fits, 2)), 1u << 31);

  const Tensor too_large = tensor_of({std::size_t{1} << 36});  // 256 GiB over 64 tiles: 4 GiB each
  const auto share = local_bytes_u32(too_large, choose_layout(too_large, 64));
  ASSERT_FALSE(share.has_value());
  EXPECT_EQ(share.error(),
            (CompileError{CompileError::Memory{"t: 4294967296 bytes per tile exceed the 32-bit address range"}}));
}

TEST(WorkerCount, SixWorkersFromNinetySixElements) {
  EXPECT_EQ(worker_count(tensor_of({95})), 1);
  EXPECT_EQ(worker_count(tensor_of({96})), 6);
  EXPECT_EQ(worker_count(tensor_of({1})), 1);
  EXPECT_EQ(worker_count(tensor_of({32, 64})), 6);
}

TEST(OperationName, NamesEveryKindWithoutItsPayload) {
  EXPECT_EQ(operation_name({OpKind::MatMul{}}), "matmul");
  EXPECT_EQ(operation_name({OpKind::Add{}}), "add");
  EXPECT_EQ(operation_name({OpKind::Mul{}}), "mul");
  EXPECT_EQ(operation_name({OpKind::Reshape{{4, 8}}}), "reshape");
  EXPECT_EQ(operation_name({OpKind::Transpose{{1, 0}}}), "transpose");
  EXPECT_EQ(operation_name({OpKind::LayerNorm{1e-5f}}), "layer_norm");
  EXPECT_EQ(operation_name({OpKind::Softmax{1}}), "softmax");
  EXPECT_EQ(operation_name({OpKind::Gelu{}}), "gelu");
}

TEST(ComputeCommands, OneCommandPerOutputTileWithTheLastAsTail) {
  Graph graph;
  const TensorId x = graph.input("x", {32, 64});
  const TensorId w = graph.weight("w", {64, 64});
  const TensorId y = *graph.matmul("y", x, w);
  const Layout layout = choose_layout(graph.tensors[y], 64);
  ASSERT_EQ(layout.tiles, prefix(8));

  const auto commands = compute_commands(graph.ops[0], graph, layout);
  ASSERT_EQ(commands.size(), 8u);
  for (std::uint16_t tile = 0; tile < 8; ++tile) {
    SCOPED_TRACE(tile);
    EXPECT_EQ(commands[tile], (KernelCommand{.tile = tile,
                                             .output = y,
                                             .inputs = {x, w},
                                             .specialization = {.operation = "matmul",
                                                                .shape = {32, 64},
                                                                .worker_count = 6,
                                                                .role = tile == 7 ? "tail" : "body",
                                                                .alignment = 16}}));
  }
}

TEST(ComputeCommands, SmallOutputGetsOneTailCommandWithOneWorker) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 3});
  const TensorId y = *graph.add("y", x, x);
  const auto commands = compute_commands(graph.ops[0], graph, choose_layout(graph.tensors[y], 64));
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].tile, 0);
  EXPECT_EQ(commands[0].inputs, (std::vector<TensorId>{x, x}));
  EXPECT_EQ(commands[0].specialization.role, "tail");
  EXPECT_EQ(commands[0].specialization.worker_count, 1);
}

}  // namespace
}  // namespace zarn_compiler
