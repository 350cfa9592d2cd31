// Per-tile programs: the schedule walked once per tile, with exchange rows from the lowered exchange
// phases and compute commands whose addresses come from the allocation plan.

#include "zarn_compiler/tile_program.h"

#include <map>
#include <utility>

#include "zarn_compiler/schedule.h"
#include "zarn_exchange/topology.h"
#include "zarn_platform/format.h"
#include "zarn_platform/log.h"

namespace zarn_compiler {

namespace {

CompileResult<LoweredComputeCommand> lower_command(const Schedule& schedule, OpId op, const KernelCommand& command,
                                                   std::size_t compute_phase) {
  const auto output_address = schedule.home_address(command.output, command.tile);
  if (!output_address) return std::unexpected(output_address.error());
  std::vector<std::uint32_t> input_addresses;
  input_addresses.reserve(command.inputs.size());
  for (const TensorId input : command.inputs) {
    const auto address = schedule.compute_input_address(input, command.tile, compute_phase);
    if (!address) return std::unexpected(address.error());
    input_addresses.push_back(*address);
  }
  return LoweredComputeCommand{.op = op,
                               .output_address = *output_address,
                               .input_addresses = std::move(input_addresses),
                               .specialization = command.specialization};
}

}  // namespace

CompileResult<std::vector<LoweredTileProgram>> assemble_tile_programs(
    const Schedule& schedule, std::span<const LoweredExchangePhase> lowered_phases) {
  // Looked up only, never iterated.
  std::map<std::size_t, const LoweredExchangePhase*> lowered_by_phase;
  for (const auto& lowered : lowered_phases) lowered_by_phase.emplace(lowered.phase, &lowered);

  std::vector<LoweredTileProgram> programs;
  programs.reserve(schedule.tile_count);
  for (std::uint16_t tile = 0; tile < schedule.tile_count; ++tile) {
    LoweredTileProgram program{.tile = tile, .steps = {}};
    for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
      const auto& phase = schedule.phases[index].value;
      if (std::holds_alternative<Phase::Exchange>(phase)) {
        const auto lowered = lowered_by_phase.find(index);
        if (lowered == lowered_by_phase.end()) {
          return graph_error(zarn_platform::format("missing lowered exchange phase {}", index));
        }
        const auto& epochs = lowered->second->epochs;
        for (std::size_t epoch = 0; epoch < epochs.size(); ++epoch) {
          program.steps.push_back(LoweredTileStep{
              LoweredTileStep::Exchange{.phase = index, .epoch = epoch, .row = epochs[epoch].row_for(tile)}});
        }
        continue;
      }
      const auto& compute = std::get<Phase::Compute>(phase);
      for (const auto& command : compute.commands) {
        if (command.tile != tile) continue;
        auto lowered = lower_command(schedule, compute.op, command, index);
        if (!lowered) return std::unexpected(std::move(lowered.error()));
        program.steps.push_back(LoweredTileStep{LoweredTileStep::Compute{std::move(*lowered)}});
      }
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
