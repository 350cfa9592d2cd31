#include "zarn_compiler/graph.h"

#include <limits>
#include <utility>

#include "zarn_platform/format.h"

namespace zarn_compiler {
namespace {

using zarn_platform::format;
using zarn_platform::ListOf;

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();

// Product of the entries, or nothing when it does not fit in 64 bits.
std::optional<std::size_t> checked_product(const std::vector<std::size_t>& shape) {
  std::size_t product = 1;
  for (const auto extent : shape) {
    if (extent != 0 && product > kSizeMax / extent) return std::nullopt;
    product *= extent;
  }
  return product;
}

bool permutation_is_valid(const std::vector<std::size_t>& permutation, std::size_t rank) {
  if (permutation.size() != rank) return false;
  std::vector<bool> seen(rank, false);
  for (const auto axis : permutation) {
    if (axis >= rank || seen[axis]) return false;
    seen[axis] = true;
  }
  return true;
}

}  // namespace

std::size_t Tensor::elements() const { return checked_product(shape).value_or(kSizeMax); }

std::optional<std::size_t> Tensor::byte_size() const {
  const auto count = checked_product(shape);
  const auto element = dtype_size(dtype);
  if (!count || *count > kSizeMax / element) return std::nullopt;
  return *count * element;
}

TensorId Graph::tensor(std::string_view name, std::vector<std::size_t> shape, TensorKind kind,
                       std::optional<OpId> producer) {
  const TensorId id = tensors.size();
  tensors.push_back(Tensor{id, std::string(name), DType::F32, std::move(shape), kind, producer});
  return id;
}

TensorId Graph::input(std::string_view name, std::vector<std::size_t> shape) {
  return tensor(name, std::move(shape), TensorKind::Input, std::nullopt);
}

TensorId Graph::weight(std::string_view name, std::vector<std::size_t> shape) {
  return tensor(name, std::move(shape), TensorKind::Weight, std::nullopt);
}

CompileResult<TensorId> Graph::op(std::string_view name, OpKind kind, std::vector<TensorId> inputs,
                                  std::vector<std::size_t> output_shape) {
  for (const auto operand : inputs) {
    if (operand >= tensors.size()) return graph_error(format("{}: unknown input", name));
  }
  const OpId id = ops.size();
  const TensorId output = tensor(name, std::move(output_shape), TensorKind::Intermediate, id);
  ops.push_back(Op{id, std::string(name), std::move(kind), std::move(inputs), output});
  return output;
}

CompileResult<TensorId> Graph::matmul(std::string_view name, TensorId left, TensorId right) {
  if (left >= tensors.size() || right >= tensors.size()) return graph_error(format("{}: unknown input", name));
  const auto& left_shape = tensors[left].shape;
  const auto& right_shape = tensors[right].shape;
  if (left_shape.size() != 2 || right_shape.size() != 2 || left_shape[1] != right_shape[0]) {
    return graph_error(format("{}: incompatible matmul {} x {}", name, ListOf{left_shape}, ListOf{right_shape}));
  }
  return op(name, OpKind{OpKind::MatMul{}}, {left, right}, {left_shape[0], right_shape[1]});
}

CompileResult<TensorId> Graph::add(std::string_view name, TensorId left, TensorId right) {
  if (left >= tensors.size() || right >= tensors.size()) return graph_error(format("{}: unknown input", name));
  // The equal-shape rule of every two-operand elementwise kind.
  if (tensors[left].shape != tensors[right].shape) return graph_error(format("{}: binary shapes differ", name));
  auto shape = tensors[left].shape;
  return op(name, OpKind{OpKind::Add{}}, {left, right}, std::move(shape));
}

CompileResult<TensorId> Graph::transpose(std::string_view name, TensorId input, std::vector<std::size_t> permutation) {
  if (input >= tensors.size()) return graph_error(format("{}: unknown input", name));
  const auto& input_shape = tensors[input].shape;
  if (!permutation_is_valid(permutation, input_shape.size())) {
    return graph_error(format("{}: invalid transpose permutation", name));
  }
  std::vector<std::size_t> shape;
  shape.reserve(permutation.size());
  for (const auto axis : permutation) shape.push_back(input_shape[axis]);
  return op(name, OpKind{OpKind::Transpose{std::move(permutation)}}, {input}, std::move(shape));
}

CompileResult<TensorId> Graph::layer_norm(std::string_view name, TensorId input, float epsilon) {
  if (input >= tensors.size()) return graph_error(format("{}: unknown input", name));
  auto shape = tensors[input].shape;
  return op(name, OpKind{OpKind::LayerNorm{epsilon}}, {input}, std::move(shape));
}

CompileResult<TensorId> Graph::softmax(std::string_view name, TensorId input, std::size_t axis) {
  if (input >= tensors.size()) return graph_error(format("{}: unknown input", name));
  if (axis >= tensors[input].shape.size()) return graph_error(format("{}: softmax axis out of range", name));
  auto shape = tensors[input].shape;
  return op(name, OpKind{OpKind::Softmax{axis}}, {input}, std::move(shape));
}

CompileResult<TensorId> Graph::gelu(std::string_view name, TensorId input) {
  if (input >= tensors.size()) return graph_error(format("{}: unknown input", name));
  auto shape = tensors[input].shape;
  return op(name, OpKind{OpKind::Gelu{}}, {input}, std::move(shape));
}

void Graph::mark_output(TensorId id) {
  // An id that names no tensor has nothing to mark; listing it would only hand later stages an
  // index they cannot resolve.
  if (id >= tensors.size()) return;
  tensors[id].kind = TensorKind::Output;
  outputs.push_back(id);
}

CompileResult<void> Graph::validate() const {
  for (std::size_t index = 0; index < tensors.size(); ++index) {
    const auto& t = tensors[index];
    bool has_zero_extent = false;
    for (const auto extent : t.shape) has_zero_extent = has_zero_extent || extent == 0;
    // A byte size beyond 64 bits is as unusable as an empty or zero-sized shape.
    if (t.id != index || t.shape.empty() || has_zero_extent || !t.byte_size()) {
      return graph_error(format("invalid tensor {}", t.name));
    }
  }
  for (std::size_t index = 0; index < ops.size(); ++index) {
    const auto& o = ops[index];
    bool invalid = o.id != index;
    for (const auto operand : o.inputs) invalid = invalid || operand >= tensors.size();
    invalid = invalid || o.output >= tensors.size();
    invalid = invalid || tensors[o.output].producer != std::optional<OpId>(index);
    if (invalid) return graph_error(format("invalid op {}", o.name));
  }
  if (outputs.empty()) return graph_error("graph has no outputs");
  for (const auto output : outputs) {
    if (output >= tensors.size()) return graph_error(format("invalid output {}", output));
  }
  return {};
}

}  // namespace zarn_compiler
