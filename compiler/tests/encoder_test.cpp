#include "zarn_compiler/encoder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace zarn_compiler {
namespace {

using Shape = std::vector<std::size_t>;

std::string graph_message(const CompileError& error) {
  const auto* graph = std::get_if<CompileError::Graph>(&error.value);
  return graph != nullptr ? graph->message : "not a Graph error: " + to_string(error);
}

TEST(EncoderGraph, DefaultTensors) {
  const auto graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << to_string(graph.error());
  struct Expected {
    const char* name;
    TensorKind kind;
    Shape shape;
    std::optional<OpId> producer;
  };
  const Expected expected[] = {
      {"input", TensorKind::Input, {32, 64}, std::nullopt},
      {"wq", TensorKind::Weight, {64, 64}, std::nullopt},
      {"wk", TensorKind::Weight, {64, 64}, std::nullopt},
      {"wv", TensorKind::Weight, {64, 64}, std::nullopt},
      {"wo", TensorKind::Weight, {64, 64}, std::nullopt},
      {"w1", TensorKind::Weight, {64, 256}, std::nullopt},
      {"w2", TensorKind::Weight, {256, 64}, std::nullopt},
      {"norm1", TensorKind::Intermediate, {32, 64}, 0},
      {"q", TensorKind::Intermediate, {32, 64}, 1},
      {"k", TensorKind::Intermediate, {32, 64}, 2},
      {"v", TensorKind::Intermediate, {32, 64}, 3},
      {"k_transpose", TensorKind::Intermediate, {64, 32}, 4},
      {"attention_scores", TensorKind::Intermediate, {32, 32}, 5},
      {"attention_softmax", TensorKind::Intermediate, {32, 32}, 6},
      {"attention_context", TensorKind::Intermediate, {32, 64}, 7},
      {"attention_projection", TensorKind::Intermediate, {32, 64}, 8},
      {"attention_residual", TensorKind::Intermediate, {32, 64}, 9},
      {"norm2", TensorKind::Intermediate, {32, 64}, 10},
      {"ffn_up", TensorKind::Intermediate, {32, 256}, 11},
      {"ffn_gelu", TensorKind::Intermediate, {32, 256}, 12},
      {"ffn_down", TensorKind::Intermediate, {32, 64}, 13},
      {"ffn_residual", TensorKind::Output, {32, 64}, 14},
  };
  ASSERT_EQ(graph->tensors.size(), std::size(expected));
  for (std::size_t id = 0; id < std::size(expected); ++id) {
    SCOPED_TRACE(expected[id].name);
    const Tensor& tensor = graph->tensors[id];
    EXPECT_EQ(tensor.id, id);
    EXPECT_EQ(tensor.name, expected[id].name);
    EXPECT_EQ(tensor.dtype, DType::F32);
    EXPECT_EQ(tensor.kind, expected[id].kind);
    EXPECT_EQ(tensor.shape, expected[id].shape);
    EXPECT_EQ(tensor.producer, expected[id].producer);
  }
  EXPECT_EQ(graph->outputs, std::vector<TensorId>{21});
  EXPECT_TRUE(graph->validate().has_value());
}

TEST(EncoderGraph, DefaultOperations) {
  const auto graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << to_string(graph.error());
  const OpKind matmul{OpKind::MatMul{}};
  const OpKind add{OpKind::Add{}};
  const OpKind norm{OpKind::LayerNorm{1e-5f}};
  struct Expected {
    const char* name;
    OpKind kind;
    std::vector<TensorId> inputs;
  };
  const Expected expected[] = {
      {"norm1", norm, {0}},
      {"q", matmul, {7, 1}},
      {"k", matmul, {7, 2}},
      {"v", matmul, {7, 3}},
      {"k_transpose", OpKind{OpKind::Transpose{{1, 0}}}, {9}},
      {"attention_scores", matmul, {8, 11}},
      {"attention_softmax", OpKind{OpKind::Softmax{1}}, {12}},
      {"attention_context", matmul, {13, 10}},
      {"attention_projection", matmul, {14, 4}},
      {"attention_residual", add, {0, 15}},
      {"norm2", norm, {16}},
      {"ffn_up", matmul, {17, 5}},
      {"ffn_gelu", OpKind{OpKind::Gelu{}}, {18}},
      {"ffn_down", matmul, {19, 6}},
      {"ffn_residual", add, {16, 20}},
  };
  ASSERT_EQ(graph->ops.size(), std::size(expected));
  for (std::size_t id = 0; id < std::size(expected); ++id) {
    SCOPED_TRACE(expected[id].name);
    const Op& op = graph->ops[id];
    EXPECT_EQ(op.id, id);
    EXPECT_EQ(op.name, expected[id].name);
    EXPECT_EQ(op.kind, expected[id].kind);
    EXPECT_EQ(op.inputs, expected[id].inputs);
    EXPECT_EQ(op.output, id + 7);
  }
  // Both epsilons are the single-precision value nearest 1e-5, to the bit.
  for (const OpId id : {OpId{0}, OpId{10}}) {
    const auto* layer_norm = std::get_if<OpKind::LayerNorm>(&graph->ops[id].kind.value);
    ASSERT_NE(layer_norm, nullptr);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(layer_norm->epsilon), 0x3727C5ACu);
  }
}

TEST(EncoderGraph, SingleTokenSequence) {
  const auto graph = encoder_graph(EncoderConfig{.sequence = 1});
  ASSERT_TRUE(graph.has_value()) << to_string(graph.error());
  EXPECT_EQ(graph->tensors[0].shape, (Shape{1, 64}));
  EXPECT_EQ(graph->tensors[11].shape, (Shape{64, 1}));
  EXPECT_EQ(graph->tensors[12].shape, (Shape{1, 1}));
  EXPECT_EQ(graph->tensors[13].shape, (Shape{1, 1}));
  EXPECT_EQ(graph->tensors[18].shape, (Shape{1, 256}));
  EXPECT_EQ(graph->tensors[21].shape, (Shape{1, 64}));
  EXPECT_TRUE(graph->validate().has_value());
}

TEST(EncoderGraph, Dimensions) {
  struct Case {
    const char* name;
    EncoderConfig config;
    bool accepted;
  };
  const Case cases[] = {
      {"hidden 0", {.hidden = 0}, false},
      {"sequence 0", {.sequence = 0}, false},
      {"heads 0", {.heads = 0}, false},
      {"heads 3 do not divide 64", {.heads = 3}, false},
      {"heads 128 exceed hidden 64", {.heads = 128}, false},
      {"one head", {.heads = 1}, true},
      {"one column per head", {.heads = 64}, true},
      {"hidden 0 with heads 0", {.hidden = 0, .heads = 0}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto graph = encoder_graph(c.config);
    if (c.accepted) {
      ASSERT_TRUE(graph.has_value()) << to_string(graph.error());
      EXPECT_EQ(graph->ops.size(), 15u);
      continue;
    }
    ASSERT_FALSE(graph.has_value());
    EXPECT_EQ(graph_message(graph.error()), "invalid encoder dimensions");
  }
}

TEST(EncoderGraph, ZeroSizedTensorsAreLeftToValidation) {
  struct Case {
    const char* name;
    EncoderConfig config;
    const char* message;
  };
  const Case cases[] = {
      // w1 is the first tensor in id order with a zero extent.
      {"feed_forward 0", {.feed_forward = 0}, "invalid tensor w1"},
      // The shapes are only lists: the builder accepts them and validation finds the byte size of
      // input too large for a machine word.
      {"sequence too large", {.sequence = std::numeric_limits<std::size_t>::max() / 64}, "invalid tensor input"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto graph = encoder_graph(c.config);
    ASSERT_TRUE(graph.has_value()) << to_string(graph.error());
    EXPECT_EQ(graph->tensors.size(), 22u);
    const auto valid = graph->validate();
    ASSERT_FALSE(valid.has_value());
    EXPECT_EQ(graph_message(valid.error()), c.message);
  }
}

}  // namespace
}  // namespace zarn_compiler
