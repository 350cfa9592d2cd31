#pragma once
/// Schedule files and the JSON form of encoded tile commands.
///
/// A schedule is written as its record: {"layouts", "phases", "allocations", "tile_count",
/// "peak_sram"}; reading it back gives an equal `Schedule`, so lowering a schedule file gives exactly
/// what lowering the compiled schedule gives. A hand-built schedule is read with the same strict
/// types; its consistency is checked by the lowerings themselves.

#include <cstddef>
#include <vector>

#include "zarn_compiler/layout.h"
#include "zarn_compiler/schedule.h"
#include "zarn_files/json_read.h"

namespace zarn_files {

/// Most phases and most allocations a schedule file may hold. Every lowering walks the phases once
/// per tile, and looks addresses up by scanning the allocations.
inline constexpr std::size_t kMaxSchedulePhases = 16384;
inline constexpr std::size_t kMaxScheduleAllocations = std::size_t{1} << 20;

FileResult<zarn_compiler::Schedule> read_schedule(const Node& node);

Json schedule_json(const zarn_compiler::Schedule& schedule);

/// {"operation", "shape", "worker_count", "role", "alignment"}.
Json specialization_json(const zarn_compiler::SpecializationKey& key);

/// One tile's commands: an array of commands, each the array of its eight words.
Json tile_commands_json(const std::vector<zarn_compiler::EncodedTileCommand>& commands);

/// A list of 32-bit words as a JSON array.
Json words_json(const std::vector<std::uint32_t>& words);

std::string_view sharding_name(zarn_compiler::Sharding sharding);

}  // namespace zarn_files
