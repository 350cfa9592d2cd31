#include "zarn_compiler/transfer.h"

#include <optional>
#include <set>
#include <utility>

#include "invariant.h"

namespace zarn_compiler {

CompileResult<std::vector<Transfer>> operation_transfers(const Op& op, const Graph& graph,
                                                          std::span<const Layout> layouts) {
  detail::check_invariant(op.output < layouts.size(), "operation output has no layout");
  const Layout& output_layout = layouts[op.output];
  std::vector<Transfer> transfers;
  for (const TensorId operand : op.inputs) {
    detail::check_invariant(operand < layouts.size() && operand < graph.tensors.size(),
                            "operand has no layout");
    const Layout& operand_layout = layouts[operand];
    if (operand_layout.tiles == output_layout.tiles && operand_layout.sharding == output_layout.sharding) {
      continue;
    }
    const auto& sources = operand_layout.tiles;
    detail::check_invariant(!sources.empty(), "layout without tiles");
    // The share is narrowed only once some tile actually receives it.
    std::optional<std::uint32_t> share;
    for (std::size_t position = 0; position < output_layout.tiles.size(); ++position) {
      const std::uint16_t destination = output_layout.tiles[position];
      const std::uint16_t source = sources[position % sources.size()];
      if (source == destination) continue;
      if (!share) {
        auto bytes = local_bytes_u32(graph.tensors[operand], operand_layout);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        share = *bytes;
      }
      transfers.push_back(
          Transfer{.source_tile = source, .destination_tile = destination, .tensor = operand, .bytes = *share});
    }
  }
  return transfers;
}

CompileResult<void> validate_transfers(std::span<const Transfer> transfers) {
  std::set<std::pair<std::uint16_t, TensorId>> targeted;
  for (const auto& transfer : transfers) {
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return graph_error("invalid exchange transfer");
    }
    if (!targeted.emplace(transfer.destination_tile, transfer.tensor).second) {
      return graph_error("multiple sends target one tensor region in an epoch");
    }
  }
  return {};
}

}  // namespace zarn_compiler
