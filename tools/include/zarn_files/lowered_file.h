#pragma once
/// The JSON form of the lowerings: exchange phases with their groups, rows and costs, and per-tile
/// programs. These are written only; nothing reads them back (a schedule file is lowered again).

#include <vector>

#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/tile_program.h"
#include "zarn_files/json_document.h"

namespace zarn_files {

/// {"launches", "estimated_cycles", "payload_words"}.
Json exchange_cost_json(const zarn_compiler::ExchangeCost& cost);

/// An array of {"phase", "epochs", "cost"}; an epoch is {"groups", "tile_rows", "cost"}, `tile_rows`
/// the pairs [tile, [words...]] ascending by tile.
Json exchanges_json(const std::vector<zarn_compiler::LoweredExchangePhase>& phases);

/// An array of {"tile", "steps"}; a step is {"Exchange": {"phase", "epoch", "row"}} or
/// {"Compute": {"op", "output_address", "input_addresses", "specialization"}}.
Json programs_json(const std::vector<zarn_compiler::LoweredTileProgram>& programs);

}  // namespace zarn_files
