// Rendering a schedule as per-tile streams of eight-word commands.

#include <limits>
#include <string_view>
#include <utility>

#include "invariant.h"
#include "zarn_compiler/schedule.h"
#include "zarn_platform/format.h"
#include "zarn_platform/overloaded.h"

namespace zarn_compiler {

namespace {

/// Command words hold machine-word indexes as 32-bit values; a larger one fails rather than wraps.
CompileResult<std::uint32_t> command_word(std::string_view what, std::size_t value) {
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    return graph_error(zarn_platform::format("{} {} does not fit in a 32-bit command word", what, value));
  }
  return static_cast<std::uint32_t>(value);
}

CompileResult<EncodedTileCommand> transfer_command(std::size_t phase, const Transfer& transfer) {
  const auto phase_word = command_word("phase", phase);
  if (!phase_word) return std::unexpected(phase_word.error());
  const auto tensor_word = command_word("tensor", transfer.tensor);
  if (!tensor_word) return std::unexpected(tensor_word.error());
  return EncodedTileCommand{{EncodedTileCommand::kTransfer, *phase_word, transfer.source_tile,
                             transfer.destination_tile, *tensor_word, transfer.bytes, 0, 0}};
}

CompileResult<EncodedTileCommand> compute_command(std::size_t phase, OpId op, const KernelCommand& command) {
  EncodedTileCommand encoded;
  const std::pair<std::string_view, std::size_t> fields[] = {
      {"phase", phase}, {"operation", op}, {"tensor", command.output}, {"operand count", command.inputs.size()}};
  encoded.words[0] = EncodedTileCommand::kCompute;
  for (std::size_t index = 0; index < std::size(fields); ++index) {
    const auto word = command_word(fields[index].first, fields[index].second);
    if (!word) return std::unexpected(word.error());
    encoded.words[1 + index] = *word;
  }
  // Only the first three operands have slots; word 4 counts them all.
  for (std::size_t position = 0; position < command.inputs.size() && position < 3; ++position) {
    const auto word = command_word("tensor", command.inputs[position]);
    if (!word) return std::unexpected(word.error());
    encoded.words[5 + position] = *word;
  }
  return encoded;
}

}  // namespace

std::array<std::uint8_t, 32> EncodedTileCommand::to_le_bytes() const {
  std::array<std::uint8_t, 32> bytes{};
  for (std::size_t index = 0; index < words.size(); ++index) {
    for (std::size_t byte = 0; byte < 4; ++byte) {
      bytes[4 * index + byte] = static_cast<std::uint8_t>(words[index] >> (8 * byte));
    }
  }
  return bytes;
}

CompileResult<std::vector<EncodedTileCommand>> Schedule::tile_commands(std::uint16_t tile) const {
  using zarn_platform::overloaded;
  if (tile >= tile_count) return graph_error(zarn_platform::format("tile {} is out of range", tile));

  std::vector<EncodedTileCommand> commands;
  for (std::size_t index = 0; index < phases.size(); ++index) {
    const auto failure = std::visit(
        overloaded{
            [&](const Phase::Exchange& exchange) -> CompileResult<void> {
              for (const auto& transfer : exchange.transfers) {
                if (transfer.source_tile != tile && transfer.destination_tile != tile) continue;
                auto command = transfer_command(index, transfer);
                if (!command) return std::unexpected(std::move(command.error()));
                commands.push_back(*command);
              }
              return {};
            },
            [&](const Phase::Compute& compute) -> CompileResult<void> {
              for (const auto& kernel : compute.commands) {
                if (kernel.tile != tile) continue;
                auto command = compute_command(index, compute.op, kernel);
                if (!command) return std::unexpected(std::move(command.error()));
                commands.push_back(*command);
              }
              return {};
            },
        },
        phases[index].value);
    if (!failure) return std::unexpected(failure.error());
  }
  commands.push_back(EncodedTileCommand{{EncodedTileCommand::kEnd, 0, 0, 0, 0, 0, 0, 0}});
  return commands;
}

CompileResult<std::vector<std::vector<EncodedTileCommand>>> Schedule::all_tile_commands() const {
  // First the number of commands of every tile, so that each stream is allocated once.
  std::vector<std::size_t> counts(tile_count, 1);
  for (const Phase& phase : phases) {
    if (const auto* exchange = std::get_if<Phase::Exchange>(&phase.value)) {
      for (const auto& transfer : exchange->transfers) {
        if (transfer.source_tile < tile_count) ++counts[transfer.source_tile];
        if (transfer.destination_tile != transfer.source_tile && transfer.destination_tile < tile_count) {
          ++counts[transfer.destination_tile];
        }
      }
      continue;
    }
    for (const auto& kernel : std::get<Phase::Compute>(phase.value).commands) {
      if (kernel.tile < tile_count) ++counts[kernel.tile];
    }
  }
  std::vector<std::vector<EncodedTileCommand>> streams(tile_count);
  for (std::size_t tile = 0; tile < streams.size(); ++tile) streams[tile].reserve(counts[tile]);

  // Phase by phase, each command goes to the streams of the tiles it names, so every stream keeps
  // phase order and list order within a phase, as `tile_commands` builds it.
  bool failed = false;
  for (std::size_t index = 0; index < phases.size() && !failed; ++index) {
    if (const auto* exchange = std::get_if<Phase::Exchange>(&phases[index].value)) {
      for (const auto& transfer : exchange->transfers) {
        const bool source_listed = transfer.source_tile < tile_count;
        const bool destination_listed =
            transfer.destination_tile != transfer.source_tile && transfer.destination_tile < tile_count;
        if (!source_listed && !destination_listed) continue;
        const auto command = transfer_command(index, transfer);
        if (!command) {
          failed = true;
          break;
        }
        if (source_listed) streams[transfer.source_tile].push_back(*command);
        if (destination_listed) streams[transfer.destination_tile].push_back(*command);
      }
      continue;
    }
    const auto& compute = std::get<Phase::Compute>(phases[index].value);
    for (const auto& kernel : compute.commands) {
      if (kernel.tile >= tile_count) continue;
      const auto command = compute_command(index, compute.op, kernel);
      if (!command) {
        failed = true;
        break;
      }
      streams[kernel.tile].push_back(*command);
    }
  }
  if (failed) {
    // Which tile fails first depends on tile order, not phase order: let the per-tile walk say.
    for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
      auto stream = tile_commands(tile);
      if (!stream) return std::unexpected(std::move(stream.error()));
    }
    detail::check_invariant(false, "a command that failed once encodes on its own tile");
  }
  for (auto& stream : streams) stream.push_back(EncodedTileCommand{{EncodedTileCommand::kEnd, 0, 0, 0, 0, 0, 0, 0}});
  return streams;
}

}  // namespace zarn_compiler
