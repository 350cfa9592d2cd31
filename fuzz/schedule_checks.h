#pragma once
// Checks shared by the file fuzz targets: everything a caller relies on from a schedule's three
// lowerings and from the schedule file format. A violation aborts, which libFuzzer reports as a crash.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <span>
#include <variant>
#include <vector>

#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/schedule.h"
#include "zarn_compiler/tile_program.h"
#include "zarn_exchange/instruction_words.h"
#include "zarn_exchange/row_program.h"
#include "zarn_exchange/topology.h"
#include "zarn_files/json_document.h"
#include "zarn_files/json_read.h"
#include "zarn_files/json_write.h"
#include "zarn_files/schedule_file.h"
#include "zarn_platform/log.h"

namespace zarn_fuzz {

inline void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

/// Installs a sink that renders every event, so that the logging paths run too.
inline void install_rendering_sink() {
  zarn_platform::install_log_sink([](const zarn_platform::LogEvent& event) {
    require(!zarn_platform::render_log_event(event).empty(), "log event renders");
  });
}

inline const zarn_exchange::Topology& board() {
  static const zarn_exchange::Topology topology = zarn_exchange::Topology::k1472();
  return topology;
}

/// Writing the schedule as a file and reading it back gives an equal schedule.
inline void check_schedule_round_trip(const zarn_compiler::Schedule& schedule) {
  const std::string text = zarn_files::write_json(zarn_files::schedule_json(schedule));
  auto document = zarn_files::parse_json(text, "schedule.json");
  require(document.has_value(), "a written schedule parses");
  auto read = zarn_files::read_schedule(zarn_files::root_node(*document, "schedule.json"));
  require(read.has_value(), "a written schedule reads back");
  require(*read == schedule, "a schedule reads back equal");
}

/// Every tile's command stream, all at once and tile by tile (for a few tiles).
inline void check_tile_commands(const zarn_compiler::Schedule& schedule) {
  using zarn_compiler::EncodedTileCommand;
  const auto all = schedule.all_tile_commands();
  // Only an index of 2^32 or more, which a hand-built schedule can hold, fails.
  if (!all) return;
  require(all->size() == schedule.tile_count, "one command stream per tile");
  for (const auto& commands : *all) {
    require(!commands.empty() && commands.back().words[0] == EncodedTileCommand::kEnd, "streams end in the end command");
    std::size_t ends = 0;
    for (const auto& command : commands) ends += command.words[0] == EncodedTileCommand::kEnd ? 1u : 0u;
    require(ends == 1, "exactly one end command");
  }
  const std::uint32_t tiles = schedule.tile_count;
  for (const std::uint32_t tile : {0u, 1u, tiles / 2, tiles - 1}) {
    if (tile >= tiles) continue;
    const auto one = schedule.tile_commands(static_cast<std::uint16_t>(tile));
    require(one.has_value() && *one == (*all)[tile], "tile_commands equals the stream of all_tile_commands");
  }
  require(!schedule.tile_commands(schedule.tile_count).has_value(), "a tile beyond the range is refused");
}

inline std::size_t exchange_phase_count(const zarn_compiler::Schedule& schedule) {
  std::size_t count = 0;
  for (const auto& phase : schedule.phases) {
    count += std::holds_alternative<zarn_compiler::Phase::Exchange>(phase.value) ? 1u : 0u;
  }
  return count;
}

/// The postconditions of a successful exchange lowering.
inline void check_lowered_exchanges(const zarn_compiler::Schedule& schedule,
                                    const std::vector<zarn_compiler::LoweredExchangePhase>& lowered) {
  using namespace zarn_compiler;
  require(lowered.size() == exchange_phase_count(schedule), "one lowered phase per exchange phase");
  std::size_t previous_phase = 0;
  for (std::size_t index = 0; index < lowered.size(); ++index) {
    const auto& phase = lowered[index];
    require(phase.phase < schedule.phases.size(), "a lowered phase names a phase of the schedule");
    require(std::holds_alternative<Phase::Exchange>(schedule.phases[phase.phase].value), "it names an exchange phase");
    require(index == 0 || phase.phase > previous_phase, "lowered phases in phase order");
    previous_phase = phase.phase;
    require(phase.epochs.size() <= 1, "at most one epoch per phase");
    if (phase.epochs.empty()) {
      require(phase.cost == ExchangeCost{}, "a phase without groups costs nothing");
      continue;
    }
    const auto& epoch = phase.epochs.front();
    require(epoch.cost == phase.cost && phase.cost.launches == 1, "one launch, its cost repeated in the epoch");
    require(!epoch.groups.empty(), "an epoch has groups");
    std::set<std::uint16_t> taking_part;
    std::uint64_t payload_words = 0;
    for (const auto& group : epoch.groups) {
      require(!group.destination_tiles.empty(), "a group has destinations");
      require(group.receivers.size() == group.destination_tiles.size(), "one receiver row per destination");
      for (std::size_t d = 1; d < group.destination_tiles.size(); ++d) {
        require(group.destination_tiles[d - 1] < group.destination_tiles[d], "destinations strictly ascending");
      }
      require(group.bytes > 0 && group.bytes % 4 == 0, "groups send whole words");
      require(group.addressing == ExchangeAddressing::Absolute, "groups address absolutely");
      payload_words += group.bytes / 4;
      taking_part.insert(group.source_tile);
      taking_part.insert(group.destination_tiles.begin(), group.destination_tiles.end());
    }
    require(payload_words == phase.cost.payload_words, "payload words are the groups' words");
    require(epoch.tile_rows.size() == taking_part.size(), "a program for exactly the tiles taking part");
    for (const auto& [tile, words] : epoch.tile_rows) {
      require(taking_part.contains(tile), "programs only for tiles taking part");
      require(words.size() >= 2 && words.front() == zarn_exchange::EXCHANGE_ROW_ENTRY &&
                  words.back() == zarn_exchange::EXCHANGE_ROW_RETURN,
              "a program opens with the entry word and closes with the return word");
      const auto cycles = zarn_exchange::plan_event_cycles(words);
      require(cycles.has_value() && *cycles == phase.cost.estimated_cycles, "every program ends at the horizon");
      require(epoch.row_for(tile) == words, "row_for returns the tile's program");
    }
    const auto idle = epoch.row_for(schedule.tile_count);
    require(epoch.tile_rows.contains(schedule.tile_count) ||
                idle == std::vector<std::uint32_t>(IDLE_EXCHANGE_ROW.begin(), IDLE_EXCHANGE_ROW.end()),
            "row_for of a tile taking no part is the idle row");
  }
}

/// The postconditions of successful per-tile programs, against the exchange lowering they used.
inline void check_tile_programs(const zarn_compiler::Schedule& schedule,
                                const std::vector<zarn_compiler::LoweredExchangePhase>& lowered,
                                const std::vector<zarn_compiler::LoweredTileProgram>& programs) {
  using namespace zarn_compiler;
  require(programs.size() == schedule.tile_count, "one program per tile");
  std::size_t epochs = 0;
  for (const auto& phase : lowered) epochs += phase.epochs.size();
  for (std::size_t tile = 0; tile < programs.size(); ++tile) {
    const auto& program = programs[tile];
    require(program.tile == tile, "program k runs on tile k");
    std::size_t exchange_steps = 0;
    std::size_t next_lowered = 0;
    for (const auto& step : program.steps) {
      const auto* exchange = std::get_if<LoweredTileStep::Exchange>(&step.value);
      if (exchange == nullptr) continue;
      ++exchange_steps;
      while (next_lowered < lowered.size() && lowered[next_lowered].phase < exchange->phase) ++next_lowered;
      require(next_lowered < lowered.size() && lowered[next_lowered].phase == exchange->phase,
              "an exchange step names a lowered phase");
      const auto& phase = lowered[next_lowered];
      require(exchange->epoch < phase.epochs.size(), "an exchange step names an epoch of its phase");
      require(exchange->row == phase.epochs[exchange->epoch].row_for(static_cast<std::uint16_t>(tile)),
              "an exchange step carries the tile's row of that epoch");
    }
    require(exchange_steps == epochs, "every tile takes one step per epoch");
  }
}

/// Runs the three lowerings of `schedule` and checks what each promises. `compiled` is true for a
/// schedule made by `compile` from a valid graph, where the programs cannot fail once the exchanges
/// have lowered.
inline void check_lowerings(const zarn_compiler::Schedule& schedule, bool compiled) {
  check_tile_commands(schedule);
  const auto exchanges = schedule.lower_exchanges(board());
  const auto again = schedule.lower_exchanges(board());
  require(exchanges == again, "lowering the exchanges twice gives equal results");
  const auto programs = schedule.lower_tile_programs(board());
  if (!exchanges) {
    require(!programs.has_value() && programs.error() == exchanges.error(),
            "the programs fail with the exchange lowering's error");
    return;
  }
  check_lowered_exchanges(schedule, *exchanges);
  const auto assembled = zarn_compiler::assemble_tile_programs(schedule, *exchanges);
  require(programs == assembled, "lower_tile_programs is lower_exchanges then assemble_tile_programs");
  if (compiled) require(programs.has_value(), "the programs of a compiled schedule do not fail");
  if (programs) check_tile_programs(schedule, *exchanges, *programs);
}

}  // namespace zarn_fuzz
