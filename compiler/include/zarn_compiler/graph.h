#pragma once
/// The dataflow graph: tensors, operations, the builder entries with their shape rules, and
/// validation.
///
/// The builder only appends, so ids are list indexes that stay valid for the graph's lifetime and
/// the operation list is always in an order where every operation follows the producers of its
/// operands.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "zarn_compiler/error.h"

namespace zarn_compiler {

/// Index of a tensor in `Graph::tensors`.
using TensorId = std::size_t;
/// Index of an operation in `Graph::ops`.
using OpId = std::size_t;

/// Element type; single precision is the only one.
enum class DType : std::uint8_t { F32 };

/// Size of one element in bytes (4 for F32).
constexpr std::size_t dtype_size(DType) { return 4; }

enum class TensorKind : std::uint8_t { Input, Weight, Intermediate, Output };

struct Tensor {
  TensorId id = 0;
  std::string name;
  DType dtype = DType::F32;
  /// Dimension sizes, outermost first.
  std::vector<std::size_t> shape;
  TensorKind kind = TensorKind::Input;
  /// The operation whose output this tensor is; absent for inputs and weights.
  std::optional<OpId> producer;

  /// Product of the shape's entries (1 for an empty shape), saturating at SIZE_MAX instead of
  /// wrapping. Validation rejects every tensor whose `byte_size` does not fit, so past validation
  /// the value is exact.
  std::size_t elements() const;

  /// `elements()` times the element size, or nothing when the exact value does not fit in 64 bits.
  std::optional<std::size_t> byte_size() const;

  friend bool operator==(const Tensor&, const Tensor&) = default;
};

/// The operation kinds and their payloads.
struct OpKind {
  struct MatMul {
    friend bool operator==(const MatMul&, const MatMul&) = default;
  };
  struct Add {
    friend bool operator==(const Add&, const Add&) = default;
  };
  struct Mul {
    friend bool operator==(const Mul&, const Mul&) = default;
  };
  struct Reshape {
    std::vector<std::size_t> shape;
    friend bool operator==(const Reshape&, const Reshape&) = default;
  };
  struct Transpose {
    std::vector<std::size_t> permutation;
    friend bool operator==(const Transpose&, const Transpose&) = default;
  };
  struct LayerNorm {
    float epsilon;
    friend bool operator==(const LayerNorm&, const LayerNorm&) = default;
  };
  struct Softmax {
    std::size_t axis;
    friend bool operator==(const Softmax&, const Softmax&) = default;
  };
  struct Gelu {
    friend bool operator==(const Gelu&, const Gelu&) = default;
  };

  std::variant<MatMul, Add, Mul, Reshape, Transpose, LayerNorm, Softmax, Gelu> value;

  friend bool operator==(const OpKind&, const OpKind&) = default;
};

struct Op {
  OpId id = 0;
  std::string name;
  OpKind kind;
  /// Operands in order: left then right for matmul and add, otherwise the one input.
  std::vector<TensorId> inputs;
  TensorId output = 0;

  friend bool operator==(const Op&, const Op&) = default;
};

struct Graph {
  std::vector<Tensor> tensors;
  std::vector<Op> ops;
  /// Marked outputs in marking order; a tensor marked twice is listed twice.
  std::vector<TensorId> outputs;

  friend bool operator==(const Graph&, const Graph&) = default;

  // Builder entries. A failed entry appends nothing.

  /// Appends an `Input` tensor. The shape is checked only by `validate`.
  TensorId input(std::string_view name, std::vector<std::size_t> shape);
  /// Appends a `Weight` tensor.
  TensorId weight(std::string_view name, std::vector<std::size_t> shape);

  /// [m, k] x [k, n] -> [m, n]; "{name}: incompatible matmul [..] x [..]" otherwise.
  CompileResult<TensorId> matmul(std::string_view name, TensorId left, TensorId right);
  /// Elementwise sum of two equal shapes; "{name}: binary shapes differ" otherwise.
  CompileResult<TensorId> add(std::string_view name, TensorId left, TensorId right);
  /// Output entry i is input shape[permutation[i]]; the permutation must be one of 0..r-1.
  CompileResult<TensorId> transpose(std::string_view name, TensorId input, std::vector<std::size_t> permutation);
  CompileResult<TensorId> layer_norm(std::string_view name, TensorId input, float epsilon);
  /// `axis` must be smaller than the input's number of dimensions.
  CompileResult<TensorId> softmax(std::string_view name, TensorId input, std::size_t axis);
  CompileResult<TensorId> gelu(std::string_view name, TensorId input);

  /// Sets the tensor's kind to `Output` and lists it in `outputs`. An id that names no tensor
  /// changes nothing.
  void mark_output(TensorId tensor);

  // The general steps under the entries above, for kinds no entry creates (`Mul`, `Reshape`).

  /// Appends one tensor and returns its id.
  TensorId tensor(std::string_view name, std::vector<std::size_t> shape, TensorKind kind,
                  std::optional<OpId> producer);
  /// Checks the operand ids, then appends the operation and its output tensor (named like the
  /// operation) and returns the output's id.
  CompileResult<TensorId> op(std::string_view name, OpKind kind, std::vector<TensorId> inputs,
                             std::vector<std::size_t> output_shape);

  /// Checks the records' consistency and reports the first violation: "invalid tensor {name}",
  /// "invalid op {name}", "graph has no outputs", "invalid output {id}".
  CompileResult<void> validate() const;
};

}  // namespace zarn_compiler
