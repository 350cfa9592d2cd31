#pragma once
/// Tensor layouts over tiles and the per-tile kernel commands of an operation.
///
/// A tensor occupies one tile per started KiB of its data, always from tile 0, so every layout's
/// tiles are a prefix 0, 1, ..., n-1 of the tile range. An operation runs on the tiles of its output
/// tensor's layout, one `KernelCommand` per tile.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"

namespace zarn_compiler {

/// How a tensor's data is split over its tiles.
enum class Sharding : std::uint8_t { Replicated, Rows, Columns, Heads };

/// The tiles that hold a tensor, how it is split over them and the alignment of its per-tile storage.
struct Layout {
  TensorId tensor = 0;
  /// Ascending and never empty.
  std::vector<std::uint16_t> tiles;
  Sharding sharding = Sharding::Replicated;
  /// Alignment in bytes of the per-tile storage; always 16.
  std::uint32_t alignment = 16;

  friend bool operator==(const Layout&, const Layout&) = default;
};

/// Names the compute kernel variant a tile runs.
struct SpecializationKey {
  /// `operation_name` of the operation's kind.
  std::string operation;
  /// The full shape of the operation's output (not the per-tile share).
  std::vector<std::size_t> shape;
  /// Workers the kernel uses on its tile: 1 or 6.
  std::uint8_t worker_count = 1;
  /// "tail" on the last tile of the output layout, "body" on every other tile.
  std::string role;
  /// The output layout's alignment.
  std::uint32_t alignment = 16;

  friend bool operator==(const SpecializationKey&, const SpecializationKey&) = default;
};

/// One tile's share of an operation.
struct KernelCommand {
  std::uint16_t tile = 0;
  TensorId output = 0;
  /// The operation's operands, in operand order.
  std::vector<TensorId> inputs;
  SpecializationKey specialization;

  friend bool operator==(const KernelCommand&, const KernelCommand&) = default;
};

/// One tile per started KiB of the tensor's bytes, at least 1 and at most `tile_count` (which must be
/// at least 1); `Columns` for a two-dimensional weight, otherwise `Heads` for 3 or more dimensions,
/// `Rows` for 2 and `Replicated` for fewer.
Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count);

/// The bytes of the tensor one tile of the layout holds: its byte size divided by the number of tiles,
/// rounded up; not aligned. A byte size past 64 bits (which validation rejects) counts as SIZE_MAX.
std::size_t local_bytes(const Tensor& tensor, const Layout& layout);

/// `local_bytes` as the 32-bit count that SRAM sizes and transfers use. Fails (Memory) with
/// "{name}: {bytes} bytes per tile exceed the 32-bit address range" when it does not fit.
CompileResult<std::uint32_t> local_bytes_u32(const Tensor& tensor, const Layout& layout);

/// The message of a per-tile size that does not fit in 32-bit SRAM, for the region named `label`.
std::string per_tile_size_message(std::string_view label, std::uint64_t bytes);

/// 6 for a tensor of 96 or more elements, else 1.
std::uint8_t worker_count(const Tensor& tensor);

/// "matmul", "add", "mul", "reshape", "transpose", "layer_norm", "softmax" or "gelu"; payloads do not
/// enter the name.
std::string_view operation_name(const OpKind& kind);

/// One command per tile of `output_layout` (the layout of `op.output`), in its tile order, all with
/// the same specialization except that the last one alone has the role "tail".
std::vector<KernelCommand> compute_commands(const Op& op, const Graph& graph, const Layout& output_layout);

}  // namespace zarn_compiler
