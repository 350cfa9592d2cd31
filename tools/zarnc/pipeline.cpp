#include "pipeline.h"

#include <utility>

#include "zarn_compiler/compile.h"
#include "zarn_exchange/topology.h"
#include "zarn_files/graph_file.h"
#include "zarn_files/lowered_file.h"
#include "zarn_files/schedule_file.h"

namespace zarnc {
namespace {

using zarn_compiler::CompileError;
using zarn_files::Json;

/// Runs the stages after the schedule on `results.schedule`.
void run_lowerings(Results& results, StageSet wanted, TimeReport* times) {
  if (!results.schedule) return;
  const zarn_compiler::Schedule& schedule = *results.schedule;
  if (wanted.has(Stage::Commands)) {
    // Every tile's stream in one walk over the phases; the same streams (and the same first failure)
    // as calling tile_commands tile by tile.
    auto commands = timed(times, stage_name(Stage::Commands), [&] { return schedule.all_tile_commands(); });
    if (!commands) {
      results.failure = StageFailure{Stage::Commands, commands.error()};
      return;
    }
    results.commands = std::move(*commands);
  }
  if (!wanted.has(Stage::Exchanges) && !wanted.has(Stage::Programs)) return;
  const auto topology = zarn_exchange::Topology::k1472();
  if (wanted.has(Stage::Exchanges)) {
    auto exchanges = timed(times, stage_name(Stage::Exchanges), [&] { return schedule.lower_exchanges(topology); });
    if (!exchanges) {
      results.failure = StageFailure{Stage::Exchanges, exchanges.error()};
      return;
    }
    results.exchanges = std::move(*exchanges);
  }
  if (wanted.has(Stage::Programs)) {
    auto programs = timed(times, stage_name(Stage::Programs), [&] { return schedule.lower_tile_programs(topology); });
    if (!programs) {
      results.failure = StageFailure{Stage::Programs, programs.error()};
      return;
    }
    results.programs = std::move(*programs);
  }
}

}  // namespace

std::string_view stage_name(Stage stage) {
  switch (stage) {
    case Stage::Graph: return "graph";
    case Stage::Schedule: return "schedule";
    case Stage::Commands: return "commands";
    case Stage::Exchanges: return "exchanges";
    case Stage::Programs: return "programs";
  }
  return "stage";
}

StageSet StageSet::all() {
  StageSet set;
  set.members.fill(true);
  return set;
}

bool StageSet::empty() const {
  for (const bool member : members) {
    if (member) return false;
  }
  return true;
}

Results run_compile(CompileInput input, StageSet wanted, TimeReport* times) {
  Results results;
  results.title = std::move(input.title);
  results.encoder = input.encoder;
  results.options = input.options;
  if (!input.graph) {
    results.failure = StageFailure{Stage::Graph, input.graph.error()};
    return results;
  }
  results.graph = std::move(*input.graph);
  auto schedule =
      timed(times, stage_name(Stage::Schedule), [&] { return zarn_compiler::compile(*results.graph, input.options); });
  if (!schedule) {
    results.failure = StageFailure{Stage::Schedule, schedule.error()};
    return results;
  }
  results.schedule = std::move(*schedule);
  run_lowerings(results, wanted, times);
  return results;
}

Results run_lower(LowerInput input, StageSet wanted, TimeReport* times) {
  Results results;
  results.title = std::move(input.title);
  results.schedule = std::move(input.schedule);
  run_lowerings(results, wanted, times);
  return results;
}

Json error_json(const CompileError& error) {
  return Json{{"kind", std::string(zarn_compiler::kind_name(error))}, {"message", zarn_compiler::message(error)}};
}

Json results_document(const Results& results, StageSet emitted) {
  Json document = Json::object();
  const auto put = [&](Stage stage, auto&& make) {
    if (!emitted.has(stage)) return;
    document[std::string(stage_name(stage))] = make();
  };
  put(Stage::Graph, [&] { return results.graph ? zarn_files::graph_json(*results.graph) : Json(nullptr); });
  put(Stage::Schedule, [&] { return results.schedule ? zarn_files::schedule_json(*results.schedule) : Json(nullptr); });
  put(Stage::Commands, [&] {
    if (!results.commands) return Json(nullptr);
    Json tiles = Json::array();
    for (const auto& commands : *results.commands) tiles.push_back(zarn_files::tile_commands_json(commands));
    return tiles;
  });
  put(Stage::Exchanges, [&] { return results.exchanges ? zarn_files::exchanges_json(*results.exchanges) : Json(nullptr); });
  put(Stage::Programs, [&] { return results.programs ? zarn_files::programs_json(*results.programs) : Json(nullptr); });
  if (results.failure) {
    const CompileError& error = results.failure->error;
    document["error"] = Json{{"stage", std::string(stage_name(results.failure->stage))},
                             {"kind", std::string(zarn_compiler::kind_name(error))},
                             {"message", zarn_compiler::message(error)}};
  } else {
    document["error"] = nullptr;
  }
  return document;
}

}  // namespace zarnc
