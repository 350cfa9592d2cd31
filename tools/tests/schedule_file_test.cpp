// Schedule files: a compiled schedule reads back equal, and a hand-built one is held to the field
// widths and variant names of the records.

#include "zarn_files/schedule_file.h"

#include <gtest/gtest.h>

#include <string>

#include "zarn_compiler/compile.h"
#include "zarn_compiler/encoder.h"
#include "zarn_files/json_write.h"

namespace zarn_files {
namespace {

using zarn_compiler::Schedule;

std::string read_text(std::string_view text, Schedule* schedule = nullptr) {
  auto document = parse_json(text, "s.json");
  if (!document) return document.error().message;
  auto read = read_schedule(root_node(*document, "s.json"));
  if (!read) return read.error().message;
  if (schedule != nullptr) *schedule = *read;
  return "ok";
}

TEST(ScheduleFile, ACompiledScheduleReadsBackEqual) {
  for (const std::uint16_t tiles : {std::uint16_t{64}, std::uint16_t{1}}) {
    SCOPED_TRACE(tiles);
    auto graph = zarn_compiler::encoder_graph({});
    ASSERT_TRUE(graph);
    zarn_compiler::CompilerOptions options;
    options.tile_count = tiles;
    auto compiled = zarn_compiler::compile(*graph, options);
    ASSERT_TRUE(compiled);
    Schedule read;
    ASSERT_EQ(read_text(write_json(schedule_json(*compiled)), &read), "ok");
    EXPECT_EQ(read, *compiled);
  }
}

TEST(ScheduleFile, HandBuiltSchedulesAreReadStrictly) {
  // One exchange phase, one compute phase, one allocation of each kind.
  const auto file = [](std::string_view layout, std::string_view transfer, std::string_view allocation,
                       std::string_view peaks) {
    return std::string(R"({"layouts": [)") + std::string(layout) + R"(], "phases": [{"Exchange": {"transfers": [)" +
           std::string(transfer) +
           R"(]}}, {"Compute": {"op": 0, "commands": [{"tile": 1, "output": 1, "inputs": [0], "specialization": )"
           R"({"operation": "gelu", "shape": [4], "worker_count": 1, "role": "tail", "alignment": 16}}]}}], )"
           R"("allocations": [)" +
           std::string(allocation) + R"(], "tile_count": 2, "peak_sram": )" + std::string(peaks) + "}";
  };
  const std::string layout = R"({"tensor": 0, "tiles": [0], "sharding": "Replicated", "alignment": 16})";
  const std::string transfer = R"({"source_tile": 0, "destination_tile": 1, "tensor": 0, "bytes": 16})";
  const std::string allocation =
      R"({"tensor": 0, "tile": 1, "address": 327680, "size": 16, "live_from": 0, "live_until": 1, )"
      R"("kind": {"ExchangeStaging": {"phase": 0}}})";
  const std::string peaks = "[[0, 16], [1, 16]]";
  struct Case {
    std::string text;
    std::string_view expected;
  };
  const Case cases[] = {
      {file(layout, transfer, allocation, peaks), "ok"},
      {file(R"({"tensor": 0, "tiles": [65536], "sharding": "Rows", "alignment": 16})", transfer, allocation, peaks),
       "s.json: $.layouts[0].tiles[0]: expected an unsigned 16-bit integer, found the number 65536 (larger than 65535)"},
      {file(R"({"tensor": 0, "tiles": [0], "sharding": "Diagonal", "alignment": 16})", transfer, allocation, peaks),
       R"(s.json: $.layouts[0].sharding: unknown sharding "Diagonal" (expected one of "Replicated", "Rows", )"
       R"("Columns", "Heads"))"},
      {file(layout, R"({"source_tile": 0, "destination_tile": 1, "tensor": 0, "bytes": 4294967296})", allocation, peaks),
       "s.json: $.phases[0].Exchange.transfers[0].bytes: expected an unsigned 32-bit integer, found the number "
       "4294967296 (larger than 4294967295)"},
      {file(layout, transfer,
            R"({"tensor": 0, "tile": 1, "address": -16, "size": 16, "live_from": 0, "live_until": 1, "kind": "Home"})",
            peaks),
       "s.json: $.allocations[0].address: expected an unsigned 32-bit integer, found the negative number -16"},
      {file(layout, transfer,
            R"({"tensor": 0, "tile": 1, "address": 0, "size": 16, "live_from": 0, "live_until": 1, )"
            R"("kind": "ExchangeStaging"})",
            peaks),
       R"(s.json: $.allocations[0].kind: allocation kind "ExchangeStaging" carries fields; write it as )"
       R"({"ExchangeStaging": {...}})"},
      {file(layout, transfer, allocation, "[[1, 16], [0, 16]]"),
       "s.json: $.peak_sram[1][0]: keys must be strictly ascending"},
      {file(layout, transfer, allocation, R"({"0": 16})"), "s.json: $.peak_sram: expected an array, found an object"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(read_text(c.text), c.expected);
  }
  EXPECT_EQ(read_text(R"({"layouts": [], "phases": [{"Idle": {}}], "allocations": [], "tile_count": 1, "peak_sram": []})"),
            R"(s.json: $.phases[0]: unknown phase "Idle" (expected one of "Exchange", "Compute"))");
  EXPECT_EQ(read_text(R"({"layouts": [], "phases": [], "allocations": [], "tile_count": 1})"),
            R"(s.json: $: missing member "peak_sram")");
}

TEST(ScheduleFile, EveryTileIsBelowTheTileCount) {
  // A schedule naming a tile outside its range would lower without that tile's program or commands;
  // it is refused when read, wherever the tile appears.
  const Json base = Json::parse(R"({
    "layouts": [{"tensor": 0, "tiles": [0, 1], "sharding": "Rows", "alignment": 16}],
    "phases": [{"Exchange": {"transfers": [{"source_tile": 0, "destination_tile": 1, "tensor": 0, "bytes": 16}]}},
               {"Compute": {"op": 0, "commands": [{"tile": 1, "output": 1, "inputs": [0], "specialization":
                 {"operation": "gelu", "shape": [4], "worker_count": 1, "role": "tail", "alignment": 16}}]}}],
    "allocations": [{"tensor": 0, "tile": 1, "address": 327680, "size": 16, "live_from": 0, "live_until": 1,
                     "kind": "Home"}],
    "tile_count": 2,
    "peak_sram": [[0, 16], [1, 16]]})");
  struct Case {
    Json::json_pointer field;
    std::string_view expected;
  };
  const Case cases[] = {
      {Json::json_pointer("/layouts/0/tiles/1"), "s.json: $.layouts[0].tiles[1]: tile 2 is not below the schedule's tile_count 2"},
      {Json::json_pointer("/phases/0/Exchange/transfers/0/source_tile"),
       "s.json: $.phases[0].Exchange.transfers[0].source_tile: tile 2 is not below the schedule's tile_count 2"},
      {Json::json_pointer("/phases/0/Exchange/transfers/0/destination_tile"),
       "s.json: $.phases[0].Exchange.transfers[0].destination_tile: tile 2 is not below the schedule's tile_count 2"},
      {Json::json_pointer("/phases/1/Compute/commands/0/tile"),
       "s.json: $.phases[1].Compute.commands[0].tile: tile 2 is not below the schedule's tile_count 2"},
      {Json::json_pointer("/allocations/0/tile"), "s.json: $.allocations[0].tile: tile 2 is not below the schedule's tile_count 2"},
      {Json::json_pointer("/peak_sram/1/0"), "s.json: $.peak_sram: tile 2 is not below the schedule's tile_count 2"},
  };
  EXPECT_EQ(read_text(base.dump()), "ok");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.field.to_string());
    Json document = base;
    document[c.field] = 2;
    EXPECT_EQ(read_text(document.dump()), c.expected);
  }
  Json no_tiles = base;
  no_tiles["tile_count"] = 0;
  EXPECT_EQ(read_text(no_tiles.dump()), "s.json: $.layouts[0].tiles[0]: tile 0 is not below the schedule's tile_count 0");
}

}  // namespace
}  // namespace zarn_files
