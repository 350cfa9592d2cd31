#include "zarn_compiler/layout.h"

#include <algorithm>
#include <limits>

#include "invariant.h"
#include "zarn_platform/format.h"
#include "zarn_platform/overloaded.h"

namespace zarn_compiler {

namespace {

constexpr std::size_t kTileBytes = 1024;
/// Outputs of this many elements or more run on all six workers of their tile.
constexpr std::size_t kMultiWorkerElements = 96;

/// The tensor's byte size; past validation it is exact, before it a size past 64 bits saturates.
std::size_t tensor_bytes(const Tensor& tensor) {
  return tensor.byte_size().value_or(std::numeric_limits<std::size_t>::max());
}

std::size_t divide_rounding_up(std::size_t value, std::size_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

Sharding choose_sharding(const Tensor& tensor) {
  const auto rank = tensor.shape.size();
  if (tensor.kind == TensorKind::Weight && rank == 2) return Sharding::Columns;
  if (rank >= 3) return Sharding::Heads;
  if (rank == 2) return Sharding::Rows;
  return Sharding::Replicated;
}

}  // namespace

Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count) {
  detail::check_invariant(tile_count != 0, "choose_layout with tile count 0");
  // Clamp on the full-width count of started KiB before narrowing to a tile count.
  const std::size_t started_kib = divide_rounding_up(tensor_bytes(tensor), kTileBytes);
  const auto tiles = static_cast<std::uint16_t>(std::clamp<std::size_t>(started_kib, 1, tile_count));

  Layout layout{.tensor = tensor.id, .tiles = {}, .sharding = choose_sharding(tensor), .alignment = 16};
  layout.tiles.reserve(tiles);
  for (std::uint16_t tile = 0; tile < tiles; ++tile) layout.tiles.push_back(tile);
  return layout;
}

std::size_t local_bytes(const Tensor& tensor, const Layout& layout) {
  detail::check_invariant(!layout.tiles.empty(), "layout without tiles");
  return divide_rounding_up(tensor_bytes(tensor), layout.tiles.size());
}

CompileResult<std::uint32_t> local_bytes_u32(const Tensor& tensor, const Layout& layout) {
  const std::size_t bytes = local_bytes(tensor, layout);
  if (bytes > std::numeric_limits<std::uint32_t>::max()) {
    return memory_error(per_tile_size_message(tensor.name, bytes));
  }
  return static_cast<std::uint32_t>(bytes);
}

std::string per_tile_size_message(std::string_view label, std::uint64_t bytes) {
  return zarn_platform::format("{}: {} bytes per tile exceed the 32-bit address range", label, bytes);
}

std::uint8_t worker_count(const Tensor& tensor) { return tensor.elements() >= kMultiWorkerElements ? 6 : 1; }

std::string_view operation_name(const OpKind& kind) {
  using zarn_platform::overloaded;
  return std::visit(overloaded{
                        [](const OpKind::MatMul&) { return std::string_view("matmul"); },
                        [](const OpKind::Add&) { return std::string_view("add"); },
                        [](const OpKind::Mul&) { return std::string_view("mul"); },
                        [](const OpKind::Reshape&) { return std::string_view("reshape"); },
                        [](const OpKind::Transpose&) { return std::string_view("transpose"); },
                        [](const OpKind::LayerNorm&) { return std::string_view("layer_norm"); },
                        [](const OpKind::Softmax&) { return std::string_view("softmax"); },
                        [](const OpKind::Gelu&) { return std::string_view("gelu"); },
                    },
                    kind.value);
}

std::vector<KernelCommand> compute_commands(const Op& op, const Graph& graph, const Layout& output_layout) {
  detail::check_invariant(op.output < graph.tensors.size(), "operation output names no tensor");
  detail::check_invariant(!output_layout.tiles.empty(), "layout without tiles");
  const Tensor& output = graph.tensors[op.output];
  const SpecializationKey shared{.operation = std::string(operation_name(op.kind)),
                                 .shape = output.shape,
                                 .worker_count = worker_count(output),
                                 .role = "body",
                                 .alignment = output_layout.alignment};

  std::vector<KernelCommand> commands;
  commands.reserve(output_layout.tiles.size());
  for (const std::uint16_t tile : output_layout.tiles) {
    commands.push_back(
        KernelCommand{.tile = tile, .output = op.output, .inputs = op.inputs, .specialization = shared});
  }
  commands.back().specialization.role = "tail";
  return commands;
}

}  // namespace zarn_compiler
