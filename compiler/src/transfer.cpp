#include "zarn_compiler/transfer.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <utility>

#include "invariant.h"
#include "tile_buckets.h"
#include "transfer_targets.h"

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

namespace detail {

std::vector<bool> repeated_targets(std::span<const Transfer> transfers) {
  // A transfer repeats an earlier one's (destination tile, tensor) unless it comes first among the
  // transfers with that pair: ordering by (destination, tensor, position) finds them all at once.
  struct Keyed {
    std::uint16_t destination = 0;
    TensorId tensor = 0;
    std::size_t position = 0;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(transfers.size());
  for (std::size_t position = 0; position < transfers.size(); ++position) {
    keyed.push_back({transfers[position].destination_tile, transfers[position].tensor, position});
  }
  keyed = bucket_by_tile(keyed, [](const Keyed& entry) { return entry.destination; });
  sort_within_tiles(keyed, [](const Keyed& entry) { return entry.destination; },
                    [](const Keyed& left, const Keyed& right) {
                      return std::tie(left.tensor, left.position) < std::tie(right.tensor, right.position);
                    });
  std::vector<bool> repeated(transfers.size(), false);
  for (std::size_t entry = 1; entry < keyed.size(); ++entry) {
    if (keyed[entry].destination == keyed[entry - 1].destination && keyed[entry].tensor == keyed[entry - 1].tensor) {
      repeated[keyed[entry].position] = true;
    }
  }
  return repeated;
}

}  // namespace detail

CompileResult<void> validate_transfers(std::span<const Transfer> transfers) {
  const std::vector<bool> repeated = detail::repeated_targets(transfers);
  // The first offending transfer in list order decides the message.
  for (std::size_t position = 0; position < transfers.size(); ++position) {
    const Transfer& transfer = transfers[position];
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return graph_error("invalid exchange transfer");
    }
    if (repeated[position]) return graph_error("multiple sends target one tensor region in an epoch");
  }
  return {};
}

}  // namespace zarn_compiler
