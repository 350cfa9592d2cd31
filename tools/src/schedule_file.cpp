#include "zarn_files/schedule_file.h"

#include <array>

#include "zarn_platform/format.h"
#include "zarn_platform/overloaded.h"

namespace zarn_files {
namespace {

using zarn_compiler::Allocation;
using zarn_compiler::AllocationKind;
using zarn_compiler::KernelCommand;
using zarn_compiler::Layout;
using zarn_compiler::Phase;
using zarn_compiler::Schedule;
using zarn_compiler::Sharding;
using zarn_compiler::SpecializationKey;
using zarn_compiler::TensorId;
using zarn_compiler::Transfer;

constexpr std::array<VariantCase, 4> kShardings{{{"Replicated"}, {"Rows"}, {"Columns"}, {"Heads"}}};
constexpr std::array<VariantCase, 2> kPhases{{{"Exchange", true}, {"Compute", true}}};
constexpr std::array<VariantCase, 2> kAllocationKinds{{{"Home"}, {"ExchangeStaging", true}}};

template <typename T>
Json number_list(const std::vector<T>& values) {
  Json list = Json::array();
  for (const auto value : values) list.push_back(value);
  return list;
}

/// A tile that the schedule names: below its `tile_count`. A schedule that names a tile outside its
/// range would lower "successfully" without that tile's program or commands, so it is refused here.
FileResult<std::uint16_t> read_tile(const Node& node, std::uint16_t tile_count) {
  auto tile = read_unsigned<std::uint16_t>(node);
  if (tile && *tile >= tile_count) {
    return std::unexpected(
        error_at(node, zarn_platform::format("tile {} is not below the schedule's tile_count {}", *tile, tile_count)));
  }
  return tile;
}

FileResult<std::uint16_t> tile_member(const Object& object, std::string_view name, std::uint16_t tile_count) {
  auto member = object.member(name);
  if (!member) return std::unexpected(member.error());
  return read_tile(*member, tile_count);
}

FileResult<Layout> read_layout(const Node& node, std::uint16_t tile_count) {
  Object object;
  ZARN_FILES_ASSIGN(object, read_object(node, {"tensor", "tiles", "sharding", "alignment"}));
  Layout layout;
  ZARN_FILES_ASSIGN(layout.tensor, object.unsigned_member<TensorId>("tensor"));
  ZARN_FILES_ASSIGN(layout.tiles,
                    read_list(*object.member("tiles"), [&](const Node& tile) { return read_tile(tile, tile_count); }));
  VariantValue sharding;
  ZARN_FILES_ASSIGN(sharding, read_variant(*object.member("sharding"), "sharding", kShardings));
  layout.sharding = static_cast<Sharding>(sharding.index);
  ZARN_FILES_ASSIGN(layout.alignment, object.unsigned_member<std::uint32_t>("alignment"));
  return layout;
}

FileResult<Transfer> read_transfer(const Node& node, std::uint16_t tile_count) {
  Object object;
  ZARN_FILES_ASSIGN(object, read_object(node, {"source_tile", "destination_tile", "tensor", "bytes"}));
  Transfer transfer;
  ZARN_FILES_ASSIGN(transfer.source_tile, tile_member(object, "source_tile", tile_count));
  ZARN_FILES_ASSIGN(transfer.destination_tile, tile_member(object, "destination_tile", tile_count));
  ZARN_FILES_ASSIGN(transfer.tensor, object.unsigned_member<TensorId>("tensor"));
  ZARN_FILES_ASSIGN(transfer.bytes, object.unsigned_member<std::uint32_t>("bytes"));
  return transfer;
}

FileResult<SpecializationKey> read_specialization(const Node& node) {
  Object object;
  ZARN_FILES_ASSIGN(object, read_object(node, {"operation", "shape", "worker_count", "role", "alignment"}));
  SpecializationKey key;
  ZARN_FILES_ASSIGN(key.operation, object.string_member("operation"));
  ZARN_FILES_ASSIGN(key.shape, read_unsigned_list<std::size_t>(*object.member("shape")));
  ZARN_FILES_ASSIGN(key.worker_count, object.unsigned_member<std::uint8_t>("worker_count"));
  ZARN_FILES_ASSIGN(key.role, object.string_member("role"));
  ZARN_FILES_ASSIGN(key.alignment, object.unsigned_member<std::uint32_t>("alignment"));
  return key;
}

FileResult<KernelCommand> read_kernel_command(const Node& node, std::uint16_t tile_count) {
  Object object;
  ZARN_FILES_ASSIGN(object, read_object(node, {"tile", "output", "inputs", "specialization"}));
  KernelCommand command;
  ZARN_FILES_ASSIGN(command.tile, tile_member(object, "tile", tile_count));
  ZARN_FILES_ASSIGN(command.output, object.unsigned_member<TensorId>("output"));
  ZARN_FILES_ASSIGN(command.inputs, read_unsigned_list<TensorId>(*object.member("inputs")));
  ZARN_FILES_ASSIGN(command.specialization, read_specialization(*object.member("specialization")));
  return command;
}

FileResult<Phase> read_phase(const Node& node, std::uint16_t tile_count) {
  VariantValue variant;
  ZARN_FILES_ASSIGN(variant, read_variant(node, "phase", kPhases));
  Object object;
  if (variant.index == 0) {
    ZARN_FILES_ASSIGN(object, read_object(variant.payload, {"transfers"}));
    Phase::Exchange exchange;
    ZARN_FILES_ASSIGN(exchange.transfers, read_list(*object.member("transfers"), [&](const Node& transfer) {
                        return read_transfer(transfer, tile_count);
                      }));
    return Phase{std::move(exchange)};
  }
  ZARN_FILES_ASSIGN(object, read_object(variant.payload, {"op", "commands"}));
  Phase::Compute compute;
  ZARN_FILES_ASSIGN(compute.op, object.unsigned_member<zarn_compiler::OpId>("op"));
  ZARN_FILES_ASSIGN(compute.commands, read_list(*object.member("commands"), [&](const Node& command) {
                      return read_kernel_command(command, tile_count);
                    }));
  return Phase{std::move(compute)};
}

FileResult<Allocation> read_allocation(const Node& node, std::uint16_t tile_count) {
  Object object;
  ZARN_FILES_ASSIGN(object,
                    read_object(node, {"tensor", "tile", "address", "size", "live_from", "live_until", "kind"}));
  Allocation allocation;
  ZARN_FILES_ASSIGN(allocation.tensor, object.unsigned_member<TensorId>("tensor"));
  ZARN_FILES_ASSIGN(allocation.tile, tile_member(object, "tile", tile_count));
  ZARN_FILES_ASSIGN(allocation.address, object.unsigned_member<std::uint32_t>("address"));
  ZARN_FILES_ASSIGN(allocation.size, object.unsigned_member<std::uint32_t>("size"));
  ZARN_FILES_ASSIGN(allocation.live_from, object.unsigned_member<std::size_t>("live_from"));
  ZARN_FILES_ASSIGN(allocation.live_until, object.unsigned_member<std::size_t>("live_until"));
  VariantValue kind;
  ZARN_FILES_ASSIGN(kind, read_variant(*object.member("kind"), "allocation kind", kAllocationKinds));
  if (kind.index == 0) {
    allocation.kind = AllocationKind{AllocationKind::Home{}};
  } else {
    Object payload;
    ZARN_FILES_ASSIGN(payload, read_object(kind.payload, {"phase"}));
    AllocationKind::ExchangeStaging staging;
    ZARN_FILES_ASSIGN(staging.phase, payload.unsigned_member<std::size_t>("phase"));
    allocation.kind = AllocationKind{staging};
  }
  return allocation;
}

Json transfer_json(const Transfer& transfer) {
  return Json{{"source_tile", transfer.source_tile},
              {"destination_tile", transfer.destination_tile},
              {"tensor", transfer.tensor},
              {"bytes", transfer.bytes}};
}

Json phase_json(const Phase& phase) {
  return std::visit(zarn_platform::overloaded{
                        [](const Phase::Exchange& exchange) {
                          Json transfers = Json::array();
                          for (const auto& transfer : exchange.transfers) transfers.push_back(transfer_json(transfer));
                          return Json{{"Exchange", Json{{"transfers", std::move(transfers)}}}};
                        },
                        [](const Phase::Compute& compute) {
                          Json commands = Json::array();
                          for (const auto& command : compute.commands) {
                            commands.push_back(Json{{"tile", command.tile},
                                                    {"output", command.output},
                                                    {"inputs", number_list(command.inputs)},
                                                    {"specialization", specialization_json(command.specialization)}});
                          }
                          return Json{{"Compute", Json{{"op", compute.op}, {"commands", std::move(commands)}}}};
                        },
                    },
                    phase.value);
}

Json allocation_json(const Allocation& allocation) {
  Json kind = std::visit(zarn_platform::overloaded{
                             [](const AllocationKind::Home&) { return Json("Home"); },
                             [](const AllocationKind::ExchangeStaging& staging) {
                               return Json{{"ExchangeStaging", Json{{"phase", staging.phase}}}};
                             },
                         },
                         allocation.kind.value);
  return Json{{"tensor", allocation.tensor},         {"tile", allocation.tile},
              {"address", allocation.address},       {"size", allocation.size},
              {"live_from", allocation.live_from},   {"live_until", allocation.live_until},
              {"kind", std::move(kind)}};
}

}  // namespace

std::string_view sharding_name(Sharding sharding) { return kShardings[static_cast<std::size_t>(sharding)].name; }

FileResult<Schedule> read_schedule(const Node& node) {
  Object object;
  ZARN_FILES_ASSIGN(object, read_object(node, {"layouts", "phases", "allocations", "tile_count", "peak_sram"}));
  Schedule schedule;
  // The tile count first: every tile the other members name must lie below it.
  ZARN_FILES_ASSIGN(schedule.tile_count, object.unsigned_member<std::uint16_t>("tile_count"));
  const std::uint16_t tile_count = schedule.tile_count;
  ZARN_FILES_ASSIGN(schedule.layouts, read_list(*object.member("layouts"), [&](const Node& layout) {
                      return read_layout(layout, tile_count);
                    }));
  ZARN_FILES_ASSIGN(schedule.phases, read_list(
                                         *object.member("phases"),
                                         [&](const Node& phase) { return read_phase(phase, tile_count); },
                                         kMaxSchedulePhases));
  ZARN_FILES_ASSIGN(schedule.allocations, read_list(
                                              *object.member("allocations"),
                                              [&](const Node& allocation) { return read_allocation(allocation, tile_count); },
                                              kMaxScheduleAllocations));
  Node peaks_node;
  ZARN_FILES_ASSIGN(peaks_node, object.member("peak_sram"));
  ZARN_FILES_ASSIGN(schedule.peak_sram, (read_ordered_map<std::uint16_t>(peaks_node, [](const Node& value) {
                      return read_unsigned<std::uint32_t>(value);
                    })));
  // Keys ascend, so only the last can lie beyond the range.
  if (!schedule.peak_sram.empty() && schedule.peak_sram.rbegin()->first >= tile_count) {
    return std::unexpected(error_at(peaks_node, zarn_platform::format("tile {} is not below the schedule's tile_count {}",
                                                                      schedule.peak_sram.rbegin()->first, tile_count)));
  }
  return schedule;
}

Json schedule_json(const Schedule& schedule) {
  Json layouts = Json::array();
  for (const Layout& layout : schedule.layouts) {
    layouts.push_back(Json{{"tensor", layout.tensor},
                           {"tiles", number_list(layout.tiles)},
                           {"sharding", std::string(sharding_name(layout.sharding))},
                           {"alignment", layout.alignment}});
  }
  Json phases = Json::array();
  for (const Phase& phase : schedule.phases) phases.push_back(phase_json(phase));
  Json allocations = Json::array();
  for (const Allocation& allocation : schedule.allocations) allocations.push_back(allocation_json(allocation));
  Json peaks = Json::array();
  for (const auto& [tile, bytes] : schedule.peak_sram) peaks.push_back(Json::array({tile, bytes}));
  return Json{{"layouts", std::move(layouts)},
              {"phases", std::move(phases)},
              {"allocations", std::move(allocations)},
              {"tile_count", schedule.tile_count},
              {"peak_sram", std::move(peaks)}};
}

Json specialization_json(const SpecializationKey& key) {
  return Json{{"operation", key.operation},
              {"shape", number_list(key.shape)},
              {"worker_count", key.worker_count},
              {"role", key.role},
              {"alignment", key.alignment}};
}

Json tile_commands_json(const std::vector<zarn_compiler::EncodedTileCommand>& commands) {
  Json list = Json::array();
  for (const auto& command : commands) {
    Json words = Json::array();
    for (const auto word : command.words) words.push_back(word);
    list.push_back(std::move(words));
  }
  return list;
}

Json words_json(const std::vector<std::uint32_t>& words) { return number_list(words); }

}  // namespace zarn_files
