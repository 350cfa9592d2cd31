#include "stage_table.h"

#include "workloads.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/reference.h"
#include "zarn_compiler/tile_program.h"
#include "zarn_compiler_testing/straightforward.h"

namespace zarn_bench {
namespace {

namespace straightforward = zarn_compiler_testing::straightforward;
using zarn_compiler::CompileResult;

/// The size of a successful result, or 0 for a failure that `may_fail` allows.
template <typename T, typename Size>
std::size_t checked(const std::string& what, const CompileResult<T>& result, bool may_fail, Size size) {
  if (!result) {
    if (may_fail) return 0;
    fail(what, result.error());
  }
  return size(*result);
}

template <typename T>
std::size_t list_size(const std::vector<T>& list) {
  return list.size();
}

std::size_t command_count(const std::vector<std::vector<zarn_compiler::EncodedTileCommand>>& streams) {
  std::size_t count = 0;
  for (const auto& stream : streams) count += stream.size();
  return count;
}

/// Lowering fails only for the all-to-all among 64 tiles: its 64 slots need more than the 4095
/// cycles a launch can start a multicast in ("multicast start cycle"). The benchmark then measures
/// the time to that answer, the same work in both versions.
/// The input and weights of an encoder workload's reference evaluation, made once.
struct ReferenceInput {
  zarn_compiler::EncoderConfig config;
  std::vector<float> input;
  zarn_compiler::EncoderWeights weights;
};

const ReferenceInput& reference_input(std::size_t index) {
  static std::vector<ReferenceInput> inputs = [] {
    std::vector<ReferenceInput> made;
    for (const auto& workload : encoder_workloads()) {
      std::vector<float> input(workload.config.sequence * workload.config.hidden);
      for (std::size_t i = 0; i < input.size(); ++i) input[i] = (static_cast<float>(i % 97) - 48.0f) / 64.0f;
      made.push_back({workload.config, std::move(input), zarn_compiler::EncoderWeights::deterministic(workload.config)});
    }
    return made;
  }();
  return inputs[index];
}

bool lowering_may_fail(const std::string& workload) { return workload == "all_to_all_64"; }

std::vector<StageCase> make_stage_cases() {
  std::vector<StageCase> cases;
  for (std::size_t index = 0; index < encoder_workloads().size(); ++index) {
    const std::string name = encoder_workloads()[index].name;
    const auto workload = [index] { return &encoder_workloads()[index]; };
    cases.push_back({"compile", name,
                     [=] {
                       const auto* w = workload();
                       return checked(w->name, zarn_compiler::compile(w->graph, w->options), false,
                                      [](const auto& s) { return s.allocations.size(); });
                     },
                     [=] {
                       const auto* w = workload();
                       return checked(w->name, straightforward::compile(w->graph, w->options), false,
                                      [](const auto& s) { return s.allocations.size(); });
                     }});
  }

  for (std::size_t index = 0; index < schedule_workloads().size(); ++index) {
    const std::string name = schedule_workloads()[index].name;
    const bool may_fail = lowering_may_fail(name);
    const auto schedule = [index] { return &schedule_workloads()[index].schedule; };
    cases.push_back({"lower_exchanges", name,
                     [=] {
                       return checked(name, schedule()->lower_exchanges(board_topology()), may_fail,
                                      list_size<zarn_compiler::LoweredExchangePhase>);
                     },
                     [=] {
                       return checked(name, straightforward::lower_exchanges(*schedule(), board_topology()),
                                      may_fail, list_size<zarn_compiler::LoweredExchangePhase>);
                     }});
    cases.push_back({"lower_tile_programs", name,
                     [=] {
                       return checked(name, schedule()->lower_tile_programs(board_topology()), may_fail,
                                      list_size<zarn_compiler::LoweredTileProgram>);
                     },
                     [=] {
                       return checked(name, straightforward::lower_tile_programs(*schedule(), board_topology()),
                                      may_fail, list_size<zarn_compiler::LoweredTileProgram>);
                     }});
    cases.push_back({"tile_commands", name,
                     [=] { return checked(name, schedule()->all_tile_commands(), false, command_count); },
                     [=] { return checked(name, straightforward::all_tile_commands(*schedule()), false, command_count); }});
  }

  for (std::size_t index = 0; index < encoder_workloads().size(); ++index) {
    const std::string name = encoder_workloads()[index].name;
    cases.push_back({"reference", name,
                     [index] {
                       const ReferenceInput& input = reference_input(index);
                       return checked(encoder_workloads()[index].name,
                                      zarn_compiler::encoder_reference(input.config, input.input, input.weights),
                                      false, list_size<float>);
                     },
                     {}});
  }
  return cases;
}

}  // namespace

const std::vector<StageCase>& stage_cases() {
  static const std::vector<StageCase> cases = make_stage_cases();
  return cases;
}

}  // namespace zarn_bench
