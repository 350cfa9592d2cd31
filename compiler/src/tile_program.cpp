// Per-tile programs: every tile's exchange rows from the lowered exchange phases and its compute
// commands, whose addresses come from the allocation plan through an index by (tensor, tile).

#include "zarn_compiler/tile_program.h"

#include <map>
#include <utility>
#include <vector>

#include "copy_index.h"
#include "zarn_compiler/schedule.h"
#include "zarn_exchange/topology.h"
#include "zarn_platform/format.h"
#include "zarn_platform/log.h"

namespace zarn_compiler {

namespace {

bool is_home(const Allocation& allocation) { return std::holds_alternative<AllocationKind::Home>(allocation.kind.value); }

CompileResult<std::uint32_t> missing_home(TensorId tensor, std::uint16_t tile) {
  return memory_error(zarn_platform::format("missing home allocation for tensor {} on tile {}", tensor, tile));
}

/// `Schedule::home_address` through the index.
CompileResult<std::uint32_t> indexed_home_address(const detail::CopyIndex& copies, TensorId tensor,
                                                  std::uint16_t tile) {
  if (const Allocation* home = copies.first(tensor, tile, is_home)) return home->address;
  return missing_home(tensor, tile);
}

/// `Schedule::compute_input_address` through the index.
CompileResult<std::uint32_t> indexed_input_address(const detail::CopyIndex& copies, TensorId tensor,
                                                   std::uint16_t tile, std::size_t compute_phase) {
  const Allocation* delivered = copies.first(tensor, tile, [&](const Allocation& allocation) {
    return std::holds_alternative<AllocationKind::ExchangeStaging>(allocation.kind.value) &&
           allocation.live_until == compute_phase;
  });
  if (delivered != nullptr) return delivered->address;
  return indexed_home_address(copies, tensor, tile);
}

CompileResult<LoweredComputeCommand> lower_command(const detail::CopyIndex& copies, OpId op,
                                                   const KernelCommand& command, std::size_t compute_phase) {
  const auto output_address = indexed_home_address(copies, command.output, command.tile);
  if (!output_address) return std::unexpected(output_address.error());
  std::vector<std::uint32_t> input_addresses;
  input_addresses.reserve(command.inputs.size());
  for (const TensorId input : command.inputs) {
    const auto address = indexed_input_address(copies, input, command.tile, compute_phase);
    if (!address) return std::unexpected(address.error());
    input_addresses.push_back(*address);
  }
  return LoweredComputeCommand{.op = op,
                               .output_address = *output_address,
                               .input_addresses = std::move(input_addresses),
                               .specialization = command.specialization};
}

/// An exchange phase of the schedule with its lowered form (null when `lowered_phases` has none).
struct ExchangeStepSource {
  std::size_t phase = 0;
  const LoweredExchangePhase* lowered = nullptr;
};

/// A kernel command of a compute phase, filed under the tile that runs it.
struct ComputeStepSource {
  std::size_t phase = 0;
  OpId op = 0;
  const KernelCommand* command = nullptr;
};

}  // namespace

CompileResult<std::vector<LoweredTileProgram>> assemble_tile_programs(
    const Schedule& schedule, std::span<const LoweredExchangePhase> lowered_phases) {
  // Looked up only, never iterated.
  std::map<std::size_t, const LoweredExchangePhase*> lowered_by_phase;
  for (const auto& lowered : lowered_phases) lowered_by_phase.emplace(lowered.phase, &lowered);
  const detail::CopyIndex copies(schedule.allocations);
  const std::size_t tile_count = schedule.tile_count;

  // One walk over the phases files every kernel command under its tile (a counting sort, so each
  // tile's commands stay in phase order and list order); every tile then merges its own commands
  // with the exchange phases, which every tile takes part in, instead of walking all phases again.
  std::vector<ExchangeStepSource> exchanges;
  std::size_t exchange_steps = 0;
  std::vector<std::size_t> command_starts(tile_count + 1, 0);
  for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
    const auto& phase = schedule.phases[index].value;
    if (std::holds_alternative<Phase::Exchange>(phase)) {
      const auto lowered = lowered_by_phase.find(index);
      exchanges.push_back({index, lowered == lowered_by_phase.end() ? nullptr : lowered->second});
      if (exchanges.back().lowered != nullptr) exchange_steps += exchanges.back().lowered->epochs.size();
      continue;
    }
    for (const auto& command : std::get<Phase::Compute>(phase).commands) {
      if (command.tile < tile_count) ++command_starts[std::size_t{command.tile} + 1];
    }
  }
  for (std::size_t tile = 0; tile < tile_count; ++tile) command_starts[tile + 1] += command_starts[tile];
  std::vector<ComputeStepSource> commands(command_starts[tile_count]);
  std::vector<std::size_t> next(command_starts.begin(), command_starts.end() - 1);
  for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
    const auto* compute = std::get_if<Phase::Compute>(&schedule.phases[index].value);
    if (compute == nullptr) continue;
    for (const auto& command : compute->commands) {
      if (command.tile < tile_count) commands[next[command.tile]++] = {index, compute->op, &command};
    }
  }

  std::vector<LoweredTileProgram> programs;
  programs.reserve(tile_count);
  for (std::size_t tile_index = 0; tile_index < tile_count; ++tile_index) {
    const auto tile = static_cast<std::uint16_t>(tile_index);
    LoweredTileProgram program{.tile = tile, .steps = {}};
    const std::span<const ComputeStepSource> own(commands.data() + command_starts[tile_index],
                                                 command_starts[tile_index + 1] - command_starts[tile_index]);
    program.steps.reserve(exchange_steps + own.size());
    auto exchange = exchanges.begin();
    auto command = own.begin();
    // Phase order: a phase is either an exchange or a compute phase, so the two lists never share
    // a phase index.
    while (exchange != exchanges.end() || command != own.end()) {
      if (command == own.end() || (exchange != exchanges.end() && exchange->phase < command->phase)) {
        if (exchange->lowered == nullptr) {
          return graph_error(zarn_platform::format("missing lowered exchange phase {}", exchange->phase));
        }
        const auto& epochs = exchange->lowered->epochs;
        for (std::size_t epoch = 0; epoch < epochs.size(); ++epoch) {
          program.steps.push_back(LoweredTileStep{
              LoweredTileStep::Exchange{.phase = exchange->phase, .epoch = epoch, .row = epochs[epoch].row_for(tile)}});
        }
        ++exchange;
        continue;
      }
      auto lowered = lower_command(copies, command->op, *command->command, command->phase);
      if (!lowered) return std::unexpected(std::move(lowered.error()));
      program.steps.push_back(LoweredTileStep{LoweredTileStep::Compute{std::move(*lowered)}});
      ++command;
    }
    programs.push_back(std::move(program));
  }
  return programs;
}

CompileResult<std::vector<LoweredTileProgram>> Schedule::lower_tile_programs(
    const zarn_exchange::Topology& topology) const {
  const auto lowered_phases = lower_exchanges(topology);
  if (!lowered_phases) return std::unexpected(lowered_phases.error());
  auto programs = assemble_tile_programs(*this, *lowered_phases);
  if (!programs) return programs;
  zarn_platform::emit(zarn_platform::LogLevel::Info, "zarn_compiler", "lowered per-tile programs",
                      {{"tiles", std::uint64_t{programs->size()}}});
  return programs;
}

CompileResult<std::uint32_t> Schedule::home_address(TensorId tensor, std::uint16_t tile) const {
  for (const auto& allocation : allocations) {
    if (allocation.tensor == tensor && allocation.tile == tile &&
        std::holds_alternative<AllocationKind::Home>(allocation.kind.value)) {
      return allocation.address;
    }
  }
  return memory_error(zarn_platform::format("missing home allocation for tensor {} on tile {}", tensor, tile));
}

CompileResult<std::uint32_t> Schedule::compute_input_address(TensorId tensor, std::uint16_t tile,
                                                             std::size_t compute_phase) const {
  for (const auto& allocation : allocations) {
    if (allocation.tensor == tensor && allocation.tile == tile &&
        std::holds_alternative<AllocationKind::ExchangeStaging>(allocation.kind.value) &&
        allocation.live_until == compute_phase) {
      return allocation.address;
    }
  }
  return home_address(tensor, tile);
}

}  // namespace zarn_compiler
