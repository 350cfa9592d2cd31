// Graph files: form 1 replays builder calls, form 2 takes a record as it stands; every malformed
// file is an error naming the file and the path.

#include "zarn_files/graph_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "zarn_compiler/encoder.h"
#include "zarn_files/json_write.h"

namespace zarn_files {
namespace {

using zarn_compiler::CompileResult;
using zarn_compiler::Graph;
using zarn_compiler::OpKind;
using zarn_compiler::TensorKind;

/// The graph the text describes; a file error or builder failure as "file: ..." / "graph: ...".
std::string read_text(std::string_view text, Graph* graph = nullptr) {
  auto document = parse_json(text, "g.json");
  if (!document) return document.error().message;
  auto read = read_graph_file(root_node(*document, "g.json"));
  if (!read) return "file: " + read.error().message;
  if (!*read) return "graph: " + zarn_compiler::to_string(read->error());
  if (graph != nullptr) *graph = **read;
  return "ok";
}

TEST(GraphFile, FormOneReplaysTheBuilder) {
  Graph read;
  ASSERT_EQ(read_text(R"({"steps": [
      {"input": {"name": "x", "shape": [32, 64]}},
      {"weight": {"name": "w", "shape": [64, 64]}},
      {"matmul": {"name": "q", "left": "x", "right": 1}},
      {"add": {"name": "sum", "left": "q", "right": "x"}},
      {"transpose": {"name": "t", "input": "sum", "permutation": [1, 0]}},
      {"layer_norm": {"name": "n", "input": "t", "epsilon": 1e-05}},
      {"softmax": {"name": "s", "input": "n", "axis": 1}},
      {"gelu": {"name": "g", "input": "s"}},
      {"mark_output": {"tensor": "g"}},
      {"mark_output": {"tensor": 0}}]})",
                      &read),
            "ok");
  Graph built;
  const auto x = built.input("x", {32, 64});
  const auto w = built.weight("w", {64, 64});
  const auto q = *built.matmul("q", x, w);
  const auto sum = *built.add("sum", q, x);
  const auto t = *built.transpose("t", sum, {1, 0});
  const auto n = *built.layer_norm("n", t, 1e-5f);
  const auto s = *built.softmax("s", n, 1);
  const auto g = *built.gelu("g", s);
  built.mark_output(g);
  built.mark_output(x);
  EXPECT_EQ(read, built);
}

TEST(GraphFile, FormOneOperandErrorsNameTheStep) {
  struct Case {
    std::string_view steps;
    std::string_view expected;
  };
  const Case cases[] = {
      {R"({"matmul": {"name": "q", "left": "x", "right": "x"}})",
       R"(file: g.json: $.steps[2].matmul.left: no tensor named "x" exists before this step)"},
      {R"({"gelu": {"name": "q", "input": "a"}})",
       R"(file: g.json: $.steps[2].gelu.input: the name "a" is ambiguous: tensors [0, 1] carry it; use an id)"},
      {R"({"gelu": {"name": "q", "input": 2}})",
       "file: g.json: $.steps[2].gelu.input: no tensor 2 exists before this step (2 so far)"},
      {R"({"mark_output": {"tensor": 7}})",
       "file: g.json: $.steps[2].mark_output.tensor: no tensor 7 exists before this step (2 so far)"},
      {R"({"gelu": {"name": "q", "input": [1]}})",
       "file: g.json: $.steps[2].gelu.input: expected a tensor id or name, found an array"},
      {R"({"gelu": {"name": "q"}})", R"(file: g.json: $.steps[2].gelu: missing member "input")"},
      {R"({"relu": {"name": "q", "input": 0}})",
       R"(file: g.json: $.steps[2]: unknown step "relu" (expected one of "input", "weight", "matmul", "add", )"
       R"("transpose", "layer_norm", "softmax", "gelu", "mark_output"))"},
      {R"({"layer_norm": {"name": "n", "input": 0, "epsilon": "small"}})",
       "file: g.json: $.steps[2].layer_norm.epsilon: expected a number, found a string"},
      {R"({"softmax": {"name": "s", "input": 0, "axis": -1}})",
       "file: g.json: $.steps[2].softmax.axis: expected an unsigned 64-bit integer, found the negative number -1"},
      // A shape rule is the graph's failure, not the file's.
      {R"({"matmul": {"name": "m", "left": 0, "right": 1}})", "graph: Graph: m: incompatible matmul [2, 3] x [2, 3]"},
      {R"({"softmax": {"name": "s", "input": 0, "axis": 2}})", "graph: Graph: s: softmax axis out of range"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.steps);
    const std::string text = std::string(R"({"steps": [{"input": {"name": "a", "shape": [2, 3]}},)") +
                             R"({"weight": {"name": "a", "shape": [2, 3]}}, )" + std::string(c.steps) + "]}";
    EXPECT_EQ(read_text(text), c.expected);
  }
}

TEST(GraphFile, FormTwoRoundTripsEveryKind) {
  Graph graph;
  const auto x = graph.input("x", {4, 6});
  const auto w = graph.weight("w", {4, 6});
  const auto product = *graph.op("product", OpKind{OpKind::Mul{}}, {x, w}, {4, 6});
  const auto flat = *graph.op("flat", OpKind{OpKind::Reshape{{24}}}, {product}, {24});
  const auto t = *graph.transpose("t", x, {1, 0});
  graph.mark_output(*graph.layer_norm("n", t, 0.1f));
  graph.mark_output(*graph.softmax("s", flat, 0));
  graph.mark_output(*graph.add("sum", x, *graph.gelu("g", *graph.matmul("m", x, *graph.transpose("wt", w, {1, 0})))));
  graph.tensors[1].kind = TensorKind::Output;  // only form 2 can say this without mark_output

  Graph read;
  ASSERT_EQ(read_text(write_json(graph_file_json(graph)), &read), "ok");
  EXPECT_EQ(read, graph);

  auto encoder = zarn_compiler::encoder_graph({});
  ASSERT_TRUE(encoder);
  ASSERT_EQ(read_text(write_json(graph_file_json(*encoder)), &read), "ok");
  EXPECT_EQ(read, *encoder);
}

TEST(GraphFile, FormTwoIsReadStrictly) {
  const std::string tensor = R"({"id": 0, "name": "x", "dtype": "F32", "shape": [4], "kind": "Input", "producer": null})";
  const auto file = [](std::string_view tensors, std::string_view ops = "[]") {
    return std::string(R"({"graph": {"tensors": )") + std::string(tensors) + R"(, "ops": )" + std::string(ops) +
           R"(, "outputs": [0]}})";
  };
  struct Case {
    std::string text;
    std::string_view expected;
  };
  const Case cases[] = {
      {file("[" + tensor + "]"), "ok"},
      {file(R"([{"id": 0, "name": "x", "dtype": "F16", "shape": [4], "kind": "Input", "producer": null}])"),
       R"(file: g.json: $.graph.tensors[0].dtype: unknown element type "F16" (expected one of "F32"))"},
      {file(R"([{"id": 0, "name": "x", "dtype": "F32", "shape": [4], "kind": "Constant", "producer": null}])"),
       R"(file: g.json: $.graph.tensors[0].kind: unknown tensor kind "Constant" (expected one of "Input", "Weight", )"
       R"("Intermediate", "Output"))"},
      {file(R"([{"id": 0, "name": "x", "dtype": "F32", "shape": [4], "kind": "Input"}])"),
       R"(file: g.json: $.graph.tensors[0]: missing member "producer")"},
      {file(R"([{"id": 0, "name": "x", "dtype": "F32", "shape": [4.5], "kind": "Input", "producer": null}])"),
       "file: g.json: $.graph.tensors[0].shape[0]: expected an unsigned 64-bit integer, found the number 4.5 (not a "
       "whole number)"},
      {file("[" + tensor + "]", R"([{"id": 0, "name": "r", "kind": {"Reshape": {}}, "inputs": [0], "output": 0}])"),
       R"(file: g.json: $.graph.ops[0].kind.Reshape: missing member "shape")"},
      {file("[" + tensor + "]", R"([{"id": 0, "name": "r", "kind": "Softmax", "inputs": [0], "output": 0}])"),
       R"(file: g.json: $.graph.ops[0].kind: operation kind "Softmax" carries fields; write it as {"Softmax": {...}})"},
      {R"({"graph": {"tensors": [], "ops": [], "outputs": []}, "steps": []})",
       R"(file: g.json: $: a graph file holds exactly one of "steps" (form 1) and "graph" (form 2))"},
      {R"({})", R"(file: g.json: $: a graph file holds exactly one of "steps" (form 1) and "graph" (form 2))"},
      {R"({"graf": {}})", R"(file: g.json: $: unknown member "graf" (expected "steps", "graph"))"},
      {"[]", "file: g.json: $: expected an object, found an array"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(read_text(c.text), c.expected);
  }
}

TEST(GraphFile, ListsAreBounded) {
  std::string steps = R"({"steps": [)";
  for (std::size_t index = 0; index <= kMaxGraphTensors; ++index) {
    steps += (index == 0 ? "" : ",") + std::string(R"({"input": {"name": "x", "shape": [1]}})");
  }
  steps += "]}";
  EXPECT_EQ(read_text(steps), "file: g.json: $.steps[4096]: a graph file may describe at most 4096 tensors");
}

TEST(GraphFile, TheExampleIsAValidGraph) {
  std::ifstream stream(std::string(ZARN_EXAMPLES_DIR) + "/tiny-mlp.json");
  std::stringstream text;
  text << stream.rdbuf();
  Graph graph;
  ASSERT_EQ(read_text(text.str(), &graph), "ok");
  EXPECT_TRUE(graph.validate());
}

}  // namespace
}  // namespace zarn_files
