#pragma once
/// Graph files: reading both forms, writing form 2.
///
/// Form 1 is a replay of builder calls, {"steps": [{"input": {"name": "x", "shape": [32, 64]}}, ...]},
/// applied in order with the builder's shape rules; operands name a tensor created by an earlier step,
/// by id or by a name that exactly one such tensor carries. Form 2 is a graph record taken as it
/// stands, {"graph": {"tensors": [...], "ops": [...], "outputs": [...]}}, for graphs the builder
/// cannot make; it is checked only by `Graph::validate` when compiled. docs/file-formats.md has both.

#include <cstddef>

#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"
#include "zarn_files/json_read.h"

namespace zarn_files {

/// Most tensors, and separately most operations, a graph file may describe.
inline constexpr std::size_t kMaxGraphTensors = 4096;
inline constexpr std::size_t kMaxGraphOperations = 4096;
/// Most entries of `outputs` (form 2) and most steps (form 1).
inline constexpr std::size_t kMaxGraphOutputs = 4096;
inline constexpr std::size_t kMaxGraphSteps = kMaxGraphTensors + kMaxGraphOutputs;

/// The graph a file describes. The outer result fails for a malformed file; the inner one carries a
/// builder failure while replaying form 1 (a shape rule, as `CompileError`), which is a failure of the
/// graph itself rather than of the file.
FileResult<zarn_compiler::CompileResult<zarn_compiler::Graph>> read_graph_file(const Node& root);

/// The graph record as form 2 writes it inside {"graph": ...}.
Json graph_json(const zarn_compiler::Graph& graph);

/// A complete form 2 file: {"graph": record}.
Json graph_file_json(const zarn_compiler::Graph& graph);

/// Tensor kind and operation kind names as the files write them ("Input", "MatMul").
std::string_view tensor_kind_name(zarn_compiler::TensorKind kind);
std::string_view op_kind_name(const zarn_compiler::OpKind& kind);

}  // namespace zarn_files
