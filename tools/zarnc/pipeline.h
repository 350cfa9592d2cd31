#pragma once
// The stages zarnc runs, in order, and what each produced.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zarn_compiler/encoder.h"
#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/schedule.h"
#include "zarn_compiler/tile_program.h"
#include "time_report.h"
#include "zarn_files/json_document.h"

namespace zarnc {

/// The stages, in the order they run. Commands need only the schedule; the programs lower the
/// exchanges again themselves, as the library does.
enum class Stage : std::uint8_t { Graph, Schedule, Commands, Exchanges, Programs };
inline constexpr std::array<Stage, 5> kStages{Stage::Graph, Stage::Schedule, Stage::Commands, Stage::Exchanges,
                                              Stage::Programs};

/// "graph", "schedule", "commands", "exchanges", "programs".
std::string_view stage_name(Stage stage);

/// A set of stages.
struct StageSet {
  std::array<bool, kStages.size()> members{};

  static StageSet all();
  bool has(Stage stage) const { return members[static_cast<std::size_t>(stage)]; }
  void add(Stage stage) { members[static_cast<std::size_t>(stage)] = true; }
  bool empty() const;
};

/// Where the schedule comes from.
struct CompileInput {
  /// What the report's title names: "encoder layer (...)", the graph file's path.
  std::string title;
  /// Set for `encoder`.
  std::optional<zarn_compiler::EncoderConfig> encoder;
  /// The graph to compile, or its builder failure (a graph-stage failure).
  zarn_compiler::CompileResult<zarn_compiler::Graph> graph;
  zarn_compiler::CompilerOptions options;
};

struct LowerInput {
  std::string title;
  zarn_compiler::Schedule schedule;
};

struct StageFailure {
  Stage stage;
  zarn_compiler::CompileError error;
};

/// What the stages produced; a stage that did not run, or failed, or comes after a failure is empty.
struct Results {
  std::string title;
  std::optional<zarn_compiler::EncoderConfig> encoder;
  /// Absent when lowering a schedule file: its windows are not known then.
  std::optional<zarn_compiler::CompilerOptions> options;
  std::optional<zarn_compiler::Graph> graph;
  std::optional<zarn_compiler::Schedule> schedule;
  /// Entry t is tile t's commands, for every tile 0 to tile_count - 1.
  std::optional<std::vector<std::vector<zarn_compiler::EncodedTileCommand>>> commands;
  std::optional<std::vector<zarn_compiler::LoweredExchangePhase>> exchanges;
  std::optional<std::vector<zarn_compiler::LoweredTileProgram>> programs;
  std::optional<StageFailure> failure;
};

/// Runs the stages that `wanted` needs: the graph and schedule always, the others when asked for.
/// With `times`, records the wall time of each stage that runs (schedule, commands, exchanges,
/// programs) under its name.
Results run_compile(CompileInput input, StageSet wanted, TimeReport* times = nullptr);
/// As `run_compile`, from a schedule read from a file (there is no graph stage).
Results run_lower(LowerInput input, StageSet wanted, TimeReport* times = nullptr);

/// {"graph", "schedule", "commands", "exchanges", "programs", "error"} restricted to `emitted` (and
/// "error", always): every stage asked for, null where it did not produce; "error" is
/// {"stage", "kind", "message"} or null.
zarn_files::Json results_document(const Results& results, StageSet emitted);

/// {"kind", "message"} of a compiler error.
zarn_files::Json error_json(const zarn_compiler::CompileError& error);

}  // namespace zarnc
