#include "zarn_files/lowered_file.h"

#include "zarn_files/schedule_file.h"
#include "zarn_platform/overloaded.h"

namespace zarn_files {
namespace {

using zarn_compiler::ExchangeAddressing;
using zarn_compiler::LoweredExchangeEpoch;
using zarn_compiler::LoweredExchangeGroup;
using zarn_compiler::LoweredTileStep;

template <typename Words>
Json word_list(const Words& words) {
  Json list = Json::array();
  for (const auto word : words) list.push_back(word);
  return list;
}

Json group_json(const LoweredExchangeGroup& group) {
  Json receivers = Json::array();
  for (const auto& row : group.receivers) receivers.push_back(word_list(row));
  return Json{{"source_tile", group.source_tile},
              {"destination_tiles", word_list(group.destination_tiles)},
              {"tensor", group.tensor},
              {"bytes", group.bytes},
              {"addressing", group.addressing == ExchangeAddressing::Absolute ? "Absolute" : "Relative"},
              {"sender", word_list(group.sender)},
              {"receivers", std::move(receivers)}};
}

Json epoch_json(const LoweredExchangeEpoch& epoch) {
  Json groups = Json::array();
  for (const auto& group : epoch.groups) groups.push_back(group_json(group));
  Json tile_rows = Json::array();
  for (const auto& [tile, words] : epoch.tile_rows) tile_rows.push_back(Json::array({tile, word_list(words)}));
  return Json{{"groups", std::move(groups)}, {"tile_rows", std::move(tile_rows)}, {"cost", exchange_cost_json(epoch.cost)}};
}

Json step_json(const LoweredTileStep& step) {
  return std::visit(zarn_platform::overloaded{
                        [](const LoweredTileStep::Exchange& exchange) {
                          return Json{{"Exchange", Json{{"phase", exchange.phase},
                                                        {"epoch", exchange.epoch},
                                                        {"row", word_list(exchange.row)}}}};
                        },
                        [](const LoweredTileStep::Compute& compute) {
                          const auto& command = compute.command;
                          return Json{{"Compute", Json{{"op", command.op},
                                                       {"output_address", command.output_address},
                                                       {"input_addresses", word_list(command.input_addresses)},
                                                       {"specialization", specialization_json(command.specialization)}}}};
                        },
                    },
                    step.value);
}

}  // namespace

Json exchange_cost_json(const zarn_compiler::ExchangeCost& cost) {
  return Json{{"launches", cost.launches},
              {"estimated_cycles", cost.estimated_cycles},
              {"payload_words", cost.payload_words}};
}

Json exchanges_json(const std::vector<zarn_compiler::LoweredExchangePhase>& phases) {
  Json list = Json::array();
  for (const auto& phase : phases) {
    Json epochs = Json::array();
    for (const auto& epoch : phase.epochs) epochs.push_back(epoch_json(epoch));
    list.push_back(Json{{"phase", phase.phase}, {"epochs", std::move(epochs)}, {"cost", exchange_cost_json(phase.cost)}});
  }
  return list;
}

Json programs_json(const std::vector<zarn_compiler::LoweredTileProgram>& programs) {
  Json list = Json::array();
  for (const auto& program : programs) {
    Json steps = Json::array();
    for (const auto& step : program.steps) steps.push_back(step_json(step));
    list.push_back(Json{{"tile", program.tile}, {"steps", std::move(steps)}});
  }
  return list;
}

}  // namespace zarn_files
