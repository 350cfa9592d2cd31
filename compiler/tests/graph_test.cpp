#include "zarn_compiler/graph.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace zarn_compiler {
namespace {

using Shape = std::vector<std::size_t>;

std::string graph_message(const CompileError& error) {
  const auto* graph = std::get_if<CompileError::Graph>(&error.value);
  return graph != nullptr ? graph->message : "not a Graph error: " + to_string(error);
}

TEST(GraphBuilder, IdsFollowCreationOrderAndOutputsAreNamedLikeTheirOperation) {
  Graph graph;
  EXPECT_TRUE(graph.tensors.empty() && graph.ops.empty() && graph.outputs.empty());
  EXPECT_EQ(graph.input("x", {32, 64}), 0u);
  EXPECT_EQ(graph.weight("w", {64, 64}), 1u);
  const auto q = graph.matmul("q", 0, 1);
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(*q, 2u);

  const Tensor expected{2, "q", DType::F32, {32, 64}, TensorKind::Intermediate, OpId{0}};
  EXPECT_EQ(graph.tensors[2], expected);
  EXPECT_EQ(graph.ops[0], (Op{0, "q", OpKind{OpKind::MatMul{}}, {0, 1}, 2}));
  EXPECT_EQ(graph.tensors[0].kind, TensorKind::Input);
  EXPECT_EQ(graph.tensors[1].kind, TensorKind::Weight);
  EXPECT_EQ(graph.tensors[1].producer, std::nullopt);
}

TEST(GraphBuilder, ShapeRules) {
  struct Case {
    const char* name;
    std::function<CompileResult<TensorId>(Graph&)> build;
    Shape output_shape;  // empty when the entry must fail
    std::string message;
  };
  // Tensors of the fixture: 0 [32, 64], 1 [64, 64], 2 [32, 64], 3 [64, 32], 4 [64], 5 [2, 3, 4].
  const Case cases[] = {
      {"matmul", [](Graph& g) { return g.matmul("m", 0, 1); }, {32, 64}, ""},
      {"matmul inner mismatch", [](Graph& g) { return g.matmul("m", 0, 2); }, {},
       "m: incompatible matmul [32, 64] x [32, 64]"},
      {"matmul one dimension", [](Graph& g) { return g.matmul("m", 4, 1); }, {},
       "m: incompatible matmul [64] x [64, 64]"},
      {"matmul three dimensions", [](Graph& g) { return g.matmul("m", 0, 5); }, {},
       "m: incompatible matmul [32, 64] x [2, 3, 4]"},
      {"add", [](Graph& g) { return g.add("a", 0, 2); }, {32, 64}, ""},
      {"add with itself", [](Graph& g) { return g.add("a", 0, 0); }, {32, 64}, ""},
      {"add transposed", [](Graph& g) { return g.add("a", 0, 3); }, {}, "a: binary shapes differ"},
      {"transpose", [](Graph& g) { return g.transpose("t", 3, {1, 0}); }, {32, 64}, ""},
      {"transpose identity", [](Graph& g) { return g.transpose("t", 3, {0, 1}); }, {64, 32}, ""},
      {"transpose three", [](Graph& g) { return g.transpose("t", 5, {2, 0, 1}); }, {4, 2, 3}, ""},
      {"transpose repeated", [](Graph& g) { return g.transpose("t", 3, {0, 0}); }, {},
       "t: invalid transpose permutation"},
      {"transpose short", [](Graph& g) { return g.transpose("t", 3, {1}); }, {}, "t: invalid transpose permutation"},
      {"transpose out of range", [](Graph& g) { return g.transpose("t", 3, {2, 0}); }, {},
       "t: invalid transpose permutation"},
      {"layer_norm", [](Graph& g) { return g.layer_norm("n", 5, 1e-5f); }, {2, 3, 4}, ""},
      {"softmax", [](Graph& g) { return g.softmax("s", 0, 1); }, {32, 64}, ""},
      {"softmax axis", [](Graph& g) { return g.softmax("s", 0, 2); }, {}, "s: softmax axis out of range"},
      {"gelu", [](Graph& g) { return g.gelu("g", 4); }, {64}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    graph.input("x", {32, 64});
    graph.weight("w", {64, 64});
    graph.input("y", {32, 64});
    graph.input("z", {64, 32});
    graph.input("v", {64});
    graph.input("h", {2, 3, 4});
    const Graph before = graph;
    const auto result = c.build(graph);
    if (c.output_shape.empty()) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(graph_message(result.error()), c.message);
      EXPECT_EQ(graph, before);
      continue;
    }
    ASSERT_TRUE(result.has_value()) << to_string(result.error());
    EXPECT_EQ(*result, 6u);
    EXPECT_EQ(graph.tensors[6].shape, c.output_shape);
    EXPECT_EQ(graph.ops.size(), 1u);
  }
}

TEST(GraphBuilder, PayloadsAreStoredUnchanged) {
  Graph graph;
  graph.input("x", {4, 8});
  ASSERT_TRUE(graph.transpose("t", 0, {1, 0}).has_value());
  ASSERT_TRUE(graph.layer_norm("n", 0, 1e-5f).has_value());
  ASSERT_TRUE(graph.softmax("s", 0, 1).has_value());
  ASSERT_TRUE(graph.add("a", 0, 0).has_value());
  EXPECT_EQ(graph.ops[0].kind, (OpKind{OpKind::Transpose{{1, 0}}}));
  EXPECT_EQ(graph.ops[1].kind, OpKind{OpKind::LayerNorm{1e-5f}});
  EXPECT_EQ(graph.ops[2].kind, OpKind{OpKind::Softmax{1}});
  EXPECT_EQ(graph.ops[3].inputs, (std::vector<TensorId>{0, 0}));
}

TEST(GraphBuilder, UnknownOperandFailsEveryEntryAndAppendsNothing) {
  const std::function<CompileResult<TensorId>(Graph&, TensorId)> entries[] = {
      [](Graph& g, TensorId id) { return g.matmul("op", 0, id); },
      [](Graph& g, TensorId id) { return g.matmul("op", id, 0); },
      [](Graph& g, TensorId id) { return g.add("op", id, 0); },
      [](Graph& g, TensorId id) { return g.transpose("op", id, {1, 0}); },
      [](Graph& g, TensorId id) { return g.layer_norm("op", id, 1e-5f); },
      [](Graph& g, TensorId id) { return g.softmax("op", id, 0); },
      [](Graph& g, TensorId id) { return g.gelu("op", id); },
      [](Graph& g, TensorId id) { return g.op("op", OpKind{OpKind::Mul{}}, {0, id}, {2, 2}); },
  };
  for (std::size_t index = 0; index < std::size(entries); ++index) {
    SCOPED_TRACE(index);
    Graph graph;
    graph.input("x", {2, 2});
    const Graph before = graph;
    const auto result = entries[index](graph, graph.tensors.size());
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(graph_message(result.error()), "op: unknown input");
    EXPECT_EQ(graph, before);
    // The next successful call receives the ids it would have received without the failure.
    EXPECT_EQ(graph.gelu("g", 0), TensorId{1});
    EXPECT_EQ(graph.ops[0].id, 0u);
  }
}

TEST(GraphBuilder, MarkOutput) {
  Graph graph;
  graph.input("x", {4});
  graph.weight("w", {4});
  graph.mark_output(1);
  graph.mark_output(1);
  EXPECT_EQ(graph.tensors[1].kind, TensorKind::Output);
  EXPECT_EQ(graph.outputs, (std::vector<TensorId>{1, 1}));

  // An id that names no tensor changes nothing.
  const Graph before = graph;
  graph.mark_output(2);
  EXPECT_EQ(graph, before);
}

TEST(Tensor, ElementsAndByteSizeNeverOverflow) {
  const auto big = std::numeric_limits<std::size_t>::max();
  const Tensor scalar{0, "s", DType::F32, {}, TensorKind::Input, std::nullopt};
  const Tensor matrix{0, "m", DType::F32, {32, 64}, TensorKind::Input, std::nullopt};
  const Tensor huge{0, "h", DType::F32, {big / 2, 3}, TensorKind::Input, std::nullopt};
  const Tensor bytes_too_big{0, "b", DType::F32, {big / 4 + 1}, TensorKind::Input, std::nullopt};
  EXPECT_EQ(scalar.elements(), 1u);
  EXPECT_EQ(matrix.elements(), 2048u);
  EXPECT_EQ(matrix.byte_size(), 8192u);
  EXPECT_EQ(huge.elements(), big);
  EXPECT_EQ(huge.byte_size(), std::nullopt);
  EXPECT_EQ(bytes_too_big.elements(), big / 4 + 1);
  EXPECT_EQ(bytes_too_big.byte_size(), std::nullopt);
}

TEST(GraphValidate, ReportsTheFirstViolationInStepOrder) {
  const auto big = std::numeric_limits<std::size_t>::max();
  struct Case {
    const char* name;
    std::function<void(Graph&)> build;
    std::string message;  // empty when valid
  };
  const Case cases[] = {
      {"empty graph", [](Graph&) {}, "graph has no outputs"},
      {"one marked input", [](Graph& g) { g.mark_output(g.input("x", {4})); }, ""},
      {"output listed twice",
       [](Graph& g) {
         g.mark_output(g.input("x", {4}));
         g.mark_output(0);
       },
       ""},
      {"empty shape without outputs", [](Graph& g) { g.input("scalar", {}); }, "invalid tensor scalar"},
      {"zero extent",
       [](Graph& g) {
         g.mark_output(g.input("x", {4}));
         g.input("zero", {32, 0});
       },
       "invalid tensor zero"},
      {"byte size beyond 64 bits",
       [&](Graph& g) { g.mark_output(g.input("huge", {big / 4 + 1})); }, "invalid tensor huge"},
      {"element count beyond 64 bits",
       [&](Graph& g) { g.mark_output(g.input("huge", {big, 2})); }, "invalid tensor huge"},
      {"tensor id out of place",
       [](Graph& g) {
         g.mark_output(g.input("x", {4}));
         g.tensors[0].id = 3;
       },
       "invalid tensor x"},
      {"tensor reported before op",
       [](Graph& g) {
         g.mark_output(g.input("x", {4}));
         (void)g.gelu("g", 0);
         g.ops[0].id = 7;
         g.input("bad", {0});
       },
       "invalid tensor bad"},
      {"op id out of place",
       [](Graph& g) {
         g.mark_output(g.input("x", {4}));
         (void)g.gelu("g", 0);
         g.ops[0].id = 7;
       },
       "invalid op g"},
      {"op operand out of range",
       [](Graph& g) {
         g.mark_output(g.input("x", {4}));
         (void)g.gelu("g", 0);
         g.ops[0].inputs = {9};
       },
       "invalid op g"},
      {"op output out of range",
       [](Graph& g) {
         g.mark_output(g.input("x", {4}));
         (void)g.gelu("g", 0);
         g.ops[0].output = 9;
       },
       "invalid op g"},
      {"output without producer",
       [](Graph& g) {
         g.mark_output(g.input("x", {4}));
         (void)g.gelu("g", 0);
         g.tensors[1].producer.reset();
       },
       "invalid op g"},
      {"output with another producer",
       [](Graph& g) {
         g.mark_output(g.input("x", {4}));
         (void)g.gelu("g", 0);
         g.tensors[1].producer = 1;
       },
       "invalid op g"},
      {"unknown output id after the no-outputs check",
       [](Graph& g) {
         g.input("x", {4});
         g.outputs = {0, 5};
       },
       "invalid output 5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    c.build(graph);
    const auto result = graph.validate();
    if (c.message.empty()) {
      EXPECT_TRUE(result.has_value()) << to_string(result.error());
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(graph_message(result.error()), c.message);
    }
  }
}

}  // namespace
}  // namespace zarn_compiler
