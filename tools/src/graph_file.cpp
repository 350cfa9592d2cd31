#include "zarn_files/graph_file.h"

#include <array>
#include <map>
#include <string>
#include <vector>

#include "json_path.h"
#include "zarn_files/json_write.h"
#include "zarn_platform/format.h"
#include "zarn_platform/overloaded.h"

namespace zarn_files {
namespace {

using zarn_compiler::CompileResult;
using zarn_compiler::Graph;
using zarn_compiler::Op;
using zarn_compiler::OpKind;
using zarn_compiler::Tensor;
using zarn_compiler::TensorId;
using zarn_compiler::TensorKind;
using zarn_platform::format;

constexpr std::array<VariantCase, 4> kTensorKinds{{{"Input"}, {"Weight"}, {"Intermediate"}, {"Output"}}};
constexpr std::array<VariantCase, 8> kOpKinds{{{"MatMul"},
                                               {"Add"},
                                               {"Mul"},
                                               {"Reshape", true},
                                               {"Transpose", true},
                                               {"LayerNorm", true},
                                               {"Softmax", true},
                                               {"Gelu"}}};
constexpr std::array<VariantCase, 1> kDTypes{{{"F32"}}};

enum class Step : std::uint8_t { Input, Weight, MatMul, Add, Transpose, LayerNorm, Softmax, Gelu, MarkOutput };
constexpr std::array<VariantCase, 9> kSteps{{{"input", true},
                                             {"weight", true},
                                             {"matmul", true},
                                             {"add", true},
                                             {"transpose", true},
                                             {"layer_norm", true},
                                             {"softmax", true},
                                             {"gelu", true},
                                             {"mark_output", true}}};

FileResult<std::vector<std::size_t>> read_dimensions(const Node& node) {
  return read_unsigned_list<std::size_t>(node);
}

// ---- form 1 -------------------------------------------------------------------------------------

/// Replays form 1; knows the tensors created so far by name.
class StepReplay {
 public:
  /// The outer result is the file's; the inner one a builder failure.
  FileResult<CompileResult<Graph>> run(const Node& steps_node) {
    std::vector<Node> steps;
    ZARN_FILES_ASSIGN(steps, read_array(steps_node, kMaxGraphSteps));
    for (const Node& step : steps) {
      auto applied = apply(step);
      if (!applied) return std::unexpected(applied.error());
      if (!*applied) return CompileResult<Graph>(std::unexpected(applied->error()));
      for (TensorId id = named_up_to_; id < graph_.tensors.size(); ++id) by_name_[graph_.tensors[id].name].push_back(id);
      named_up_to_ = graph_.tensors.size();
    }
    return CompileResult<Graph>(std::move(graph_));
  }

 private:
  /// A tensor id, or the name of exactly one tensor created so far.
  FileResult<TensorId> operand(const Object& object, std::string_view member) const {
    Node node;
    ZARN_FILES_ASSIGN(node, object.member(member));
    if (node.value->is_string()) {
      const auto& name = node.value->get_ref<const std::string&>();
      const auto found = by_name_.find(name);
      if (found == by_name_.end()) {
        return std::unexpected(error_at(node, format("no tensor named \"{}\" exists before this step", escaped_for_message(name))));
      }
      if (found->second.size() > 1) {
        return std::unexpected(error_at(node, format("the name \"{}\" is ambiguous: tensors {} carry it; use an id",
                                                     escaped_for_message(name), zarn_platform::ListOf{found->second})));
      }
      return found->second.front();
    }
    if (!node.value->is_number()) {
      return std::unexpected(error_at(node, format("expected a tensor id or name, found {}", describe(*node.value))));
    }
    TensorId id = 0;
    ZARN_FILES_ASSIGN(id, read_unsigned<TensorId>(node));
    if (id >= graph_.tensors.size()) {
      return std::unexpected(error_at(node, format("no tensor {} exists before this step ({} so far)", id, graph_.tensors.size())));
    }
    return id;
  }

  FileResult<CompileResult<TensorId>> apply(const Node& step) {
    VariantValue variant;
    ZARN_FILES_ASSIGN(variant, read_variant(step, "step", kSteps));
    const Node& body = variant.payload;
    const auto kind = static_cast<Step>(variant.index);
    if (kind != Step::MarkOutput && graph_.tensors.size() >= kMaxGraphTensors) {
      return std::unexpected(error_at(step, format("a graph file may describe at most {} tensors", kMaxGraphTensors)));
    }
    Object object;
    std::string name;
    switch (kind) {
      case Step::Input:
      case Step::Weight: {
        ZARN_FILES_ASSIGN(object, read_object(body, {"name", "shape"}));
        ZARN_FILES_ASSIGN(name, object.string_member("name"));
        std::vector<std::size_t> shape;
        ZARN_FILES_ASSIGN(shape, read_dimensions(*object.member("shape")));
        return CompileResult<TensorId>(kind == Step::Input ? graph_.input(name, std::move(shape))
                                                           : graph_.weight(name, std::move(shape)));
      }
      case Step::MatMul:
      case Step::Add: {
        ZARN_FILES_ASSIGN(object, read_object(body, {"name", "left", "right"}));
        ZARN_FILES_ASSIGN(name, object.string_member("name"));
        TensorId left = 0;
        TensorId right = 0;
        ZARN_FILES_ASSIGN(left, operand(object, "left"));
        ZARN_FILES_ASSIGN(right, operand(object, "right"));
        return kind == Step::MatMul ? graph_.matmul(name, left, right) : graph_.add(name, left, right);
      }
      case Step::Transpose: {
        ZARN_FILES_ASSIGN(object, read_object(body, {"name", "input", "permutation"}));
        ZARN_FILES_ASSIGN(name, object.string_member("name"));
        TensorId input = 0;
        ZARN_FILES_ASSIGN(input, operand(object, "input"));
        std::vector<std::size_t> permutation;
        ZARN_FILES_ASSIGN(permutation, read_dimensions(*object.member("permutation")));
        return graph_.transpose(name, input, std::move(permutation));
      }
      case Step::LayerNorm: {
        ZARN_FILES_ASSIGN(object, read_object(body, {"name", "input", "epsilon"}));
        ZARN_FILES_ASSIGN(name, object.string_member("name"));
        TensorId input = 0;
        ZARN_FILES_ASSIGN(input, operand(object, "input"));
        float epsilon = 0.0f;
        ZARN_FILES_ASSIGN(epsilon, object.float_member("epsilon"));
        return graph_.layer_norm(name, input, epsilon);
      }
      case Step::Softmax: {
        ZARN_FILES_ASSIGN(object, read_object(body, {"name", "input", "axis"}));
        ZARN_FILES_ASSIGN(name, object.string_member("name"));
        TensorId input = 0;
        ZARN_FILES_ASSIGN(input, operand(object, "input"));
        std::size_t axis = 0;
        ZARN_FILES_ASSIGN(axis, object.unsigned_member<std::size_t>("axis"));
        return graph_.softmax(name, input, axis);
      }
      case Step::Gelu: {
        ZARN_FILES_ASSIGN(object, read_object(body, {"name", "input"}));
        ZARN_FILES_ASSIGN(name, object.string_member("name"));
        TensorId input = 0;
        ZARN_FILES_ASSIGN(input, operand(object, "input"));
        return graph_.gelu(name, input);
      }
      case Step::MarkOutput: {
        ZARN_FILES_ASSIGN(object, read_object(body, {"tensor"}));
        TensorId tensor = 0;
        ZARN_FILES_ASSIGN(tensor, operand(object, "tensor"));
        if (graph_.outputs.size() >= kMaxGraphOutputs) {
          return std::unexpected(error_at(step, format("a graph file may mark at most {} outputs", kMaxGraphOutputs)));
        }
        graph_.mark_output(tensor);
        return CompileResult<TensorId>(tensor);
      }
    }
    return std::unexpected(error_at(step, "unknown step"));
  }

  Graph graph_;
  std::map<std::string, std::vector<TensorId>, std::less<>> by_name_;
  TensorId named_up_to_ = 0;
};

// ---- form 2 -------------------------------------------------------------------------------------

FileResult<Tensor> read_tensor(const Node& node) {
  Object object;
  ZARN_FILES_ASSIGN(object, read_object(node, {"id", "name", "dtype", "shape", "kind", "producer"}));
  Tensor tensor;
  ZARN_FILES_ASSIGN(tensor.id, object.unsigned_member<TensorId>("id"));
  ZARN_FILES_ASSIGN(tensor.name, object.string_member("name"));
  ZARN_FILES_CHECK(read_variant(*object.member("dtype"), "element type", kDTypes));
  ZARN_FILES_ASSIGN(tensor.shape, read_dimensions(*object.member("shape")));
  VariantValue kind;
  ZARN_FILES_ASSIGN(kind, read_variant(*object.member("kind"), "tensor kind", kTensorKinds));
  tensor.kind = static_cast<TensorKind>(kind.index);
  const Node producer = *object.member("producer");
  if (!producer.value->is_null()) {
    ZARN_FILES_ASSIGN(tensor.producer, read_unsigned<zarn_compiler::OpId>(producer));
  }
  return tensor;
}

FileResult<OpKind> read_op_kind(const Node& node) {
  VariantValue variant;
  ZARN_FILES_ASSIGN(variant, read_variant(node, "operation kind", kOpKinds));
  Object payload;
  switch (variant.index) {
    case 0: return OpKind{OpKind::MatMul{}};
    case 1: return OpKind{OpKind::Add{}};
    case 2: return OpKind{OpKind::Mul{}};
    case 3: {
      ZARN_FILES_ASSIGN(payload, read_object(variant.payload, {"shape"}));
      OpKind::Reshape reshape;
      ZARN_FILES_ASSIGN(reshape.shape, read_dimensions(*payload.member("shape")));
      return OpKind{std::move(reshape)};
    }
    case 4: {
      ZARN_FILES_ASSIGN(payload, read_object(variant.payload, {"permutation"}));
      OpKind::Transpose transpose;
      ZARN_FILES_ASSIGN(transpose.permutation, read_dimensions(*payload.member("permutation")));
      return OpKind{std::move(transpose)};
    }
    case 5: {
      ZARN_FILES_ASSIGN(payload, read_object(variant.payload, {"epsilon"}));
      OpKind::LayerNorm layer_norm{0.0f};
      ZARN_FILES_ASSIGN(layer_norm.epsilon, payload.float_member("epsilon"));
      return OpKind{layer_norm};
    }
    case 6: {
      ZARN_FILES_ASSIGN(payload, read_object(variant.payload, {"axis"}));
      OpKind::Softmax softmax{0};
      ZARN_FILES_ASSIGN(softmax.axis, payload.unsigned_member<std::size_t>("axis"));
      return OpKind{softmax};
    }
    default: return OpKind{OpKind::Gelu{}};
  }
}

FileResult<Op> read_op(const Node& node) {
  Object object;
  ZARN_FILES_ASSIGN(object, read_object(node, {"id", "name", "kind", "inputs", "output"}));
  Op op;
  ZARN_FILES_ASSIGN(op.id, object.unsigned_member<zarn_compiler::OpId>("id"));
  ZARN_FILES_ASSIGN(op.name, object.string_member("name"));
  ZARN_FILES_ASSIGN(op.kind, read_op_kind(*object.member("kind")));
  ZARN_FILES_ASSIGN(op.inputs, read_unsigned_list<TensorId>(*object.member("inputs")));
  ZARN_FILES_ASSIGN(op.output, object.unsigned_member<TensorId>("output"));
  return op;
}

FileResult<Graph> read_graph_record(const Node& node) {
  Object object;
  ZARN_FILES_ASSIGN(object, read_object(node, {"tensors", "ops", "outputs"}));
  Graph graph;
  ZARN_FILES_ASSIGN(graph.tensors, read_list(*object.member("tensors"), read_tensor, kMaxGraphTensors));
  ZARN_FILES_ASSIGN(graph.ops, read_list(*object.member("ops"), read_op, kMaxGraphOperations));
  ZARN_FILES_ASSIGN(graph.outputs, read_unsigned_list<TensorId>(*object.member("outputs"), kMaxGraphOutputs));
  return graph;
}

Json dimensions_json(const std::vector<std::size_t>& values) {
  Json list = Json::array();
  for (const auto value : values) list.push_back(value);
  return list;
}

Json op_kind_json(const OpKind& kind) {
  return std::visit(zarn_platform::overloaded{
                        [](const OpKind::Reshape& reshape) {
                          return Json{{"Reshape", Json{{"shape", dimensions_json(reshape.shape)}}}};
                        },
                        [](const OpKind::Transpose& transpose) {
                          return Json{{"Transpose", Json{{"permutation", dimensions_json(transpose.permutation)}}}};
                        },
                        [](const OpKind::LayerNorm& layer_norm) {
                          return Json{{"LayerNorm", Json{{"epsilon", float_json(layer_norm.epsilon)}}}};
                        },
                        [](const OpKind::Softmax& softmax) { return Json{{"Softmax", Json{{"axis", softmax.axis}}}}; },
                        [&](const auto&) { return Json(std::string(op_kind_name(kind))); },
                    },
                    kind.value);
}

}  // namespace

std::string_view tensor_kind_name(TensorKind kind) { return kTensorKinds[static_cast<std::size_t>(kind)].name; }

std::string_view op_kind_name(const OpKind& kind) { return kOpKinds[kind.value.index()].name; }

FileResult<CompileResult<Graph>> read_graph_file(const Node& root) {
  Object object;
  ZARN_FILES_ASSIGN(object, read_object_allowing(root, {"steps", "graph"}));
  if (object.has("steps") == object.has("graph")) {
    return std::unexpected(error_at(root, "a graph file holds exactly one of \"steps\" (form 1) and \"graph\" (form 2)"));
  }
  if (object.has("steps")) return StepReplay{}.run(*object.member("steps"));
  Graph graph;
  ZARN_FILES_ASSIGN(graph, read_graph_record(*object.member("graph")));
  return CompileResult<Graph>(std::move(graph));
}

Json graph_json(const Graph& graph) {
  Json tensors = Json::array();
  for (const Tensor& tensor : graph.tensors) {
    tensors.push_back(Json{{"id", tensor.id},
                           {"name", tensor.name},
                           {"dtype", "F32"},
                           {"shape", dimensions_json(tensor.shape)},
                           {"kind", std::string(tensor_kind_name(tensor.kind))},
                           {"producer", tensor.producer ? Json(*tensor.producer) : Json(nullptr)}});
  }
  Json ops = Json::array();
  for (const Op& op : graph.ops) {
    ops.push_back(Json{{"id", op.id},
                       {"name", op.name},
                       {"kind", op_kind_json(op.kind)},
                       {"inputs", dimensions_json(op.inputs)},
                       {"output", op.output}});
  }
  return Json{{"tensors", std::move(tensors)}, {"ops", std::move(ops)}, {"outputs", dimensions_json(graph.outputs)}};
}

Json graph_file_json(const Graph& graph) { return Json{{"graph", graph_json(graph)}}; }

}  // namespace zarn_files
