// Hostile input through the zarnc binary: files built to crash it, hang it, exhaust its memory or
// make it report success for a wrong result. Each gets a clear error with its exit status (or, where
// the input is merely large, a bounded successful run). docs/robustness.md lists the same classes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "run_zarnc.h"
#include "zarn_files/json_document.h"
#include "zarn_files/work_limits.h"

namespace zarn_tools_test {
namespace {

using zarn_files::Json;

std::string one_input_graph(const std::string& shape) {
  return R"({"steps": [{"input": {"name": "x", "shape": )" + shape + R"(}}, {"mark_output": {"tensor": "x"}}]})";
}

/// A schedule of `tile_count` tiles in which tile 0 sends 64 bytes of tensor 0 to tile 1 and tile 1
/// then computes on it; `change` edits it before it is written.
std::string schedule_file(std::uint32_t tile_count, const std::function<void(Json&)>& change = {}) {
  Json schedule = Json::parse(R"({
    "layouts": [],
    "phases": [{"Exchange": {"transfers": [{"source_tile": 0, "destination_tile": 1, "tensor": 0, "bytes": 64}]}},
               {"Compute": {"op": 0, "commands": [{"tile": 1, "output": 1, "inputs": [0], "specialization":
                 {"operation": "gelu", "shape": [16], "worker_count": 1, "role": "tail", "alignment": 16}}]}}],
    "allocations": [
      {"tensor": 0, "tile": 0, "address": 401408, "size": 64, "live_from": 0, "live_until": 1, "kind": "Home"},
      {"tensor": 0, "tile": 1, "address": 335872, "size": 64, "live_from": 0, "live_until": 1,
       "kind": {"ExchangeStaging": {"phase": 0}}},
      {"tensor": 1, "tile": 1, "address": 401408, "size": 64, "live_from": 1, "live_until": 2, "kind": "Home"}],
    "tile_count": 16,
    "peak_sram": []})");
  schedule["tile_count"] = tile_count;
  if (change) change(schedule);
  return schedule.dump();
}

struct Case {
  const char* name;
  std::vector<std::string> arguments;  // "{file}" stands for the case's file
  std::string file;                    // the file's text; none when empty and unused
  int exit_code;
  std::string message;  // a part of standard error; empty for a successful run
};

void run_cases(const std::vector<Case>& cases) {
  TemporaryDirectory folder;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = folder.write(std::string(c.name) + ".json", c.file);
    std::vector<std::string> arguments;
    for (const auto& argument : c.arguments) arguments.push_back(argument == "{file}" ? path : argument);
    const auto result = run_zarnc(arguments);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    if (c.message.empty()) {
      EXPECT_EQ(result.err, "");
    } else {
      EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
  }
}

TEST(ZarncHostileInput, MalformedDocumentsAreRefusedBeforeAnyRecordIsBuilt) {
  const std::string deep = R"({"steps": )" + std::string(10000, '[') + std::string(10000, ']') + "}";
  const std::string deep_in_string = one_input_graph("[4]").insert(1, "\"" + std::string(10000, '[') + "\": 0, ");
  run_cases({
      {"empty", {"compile", "{file}"}, "", 2,
       "empty.json:1:1: syntax error while parsing value - unexpected end of input"},
      {"deep", {"compile", "{file}"}, deep, 2, "deep.json:1:74: nesting deeper than 64 levels"},
      // Brackets inside a string do not nest; the file then fails for its unknown member.
      {"deep-in-string", {"compile", "{file}"}, deep_in_string, 2, "deep-in-string.json: $: unknown member"},
      {"beyond-64-bits", {"compile", "{file}"}, one_input_graph("[18446744073709551616]"), 2,
       "$.steps[0].input.shape[0]: expected an unsigned 64-bit integer, found the number 18446744073709551616 "
       "(beyond 64 bits)"},
      {"negative-tile-count", {"lower", "{file}"}, schedule_file(16, [](Json& s) { s["tile_count"] = -1; }), 2,
       "$.tile_count: expected an unsigned 16-bit integer, found the negative number -1"},
      {"negative-address", {"lower", "{file}"},
       schedule_file(16, [](Json& s) { s["allocations"][0]["address"] = -4; }), 2,
       "$.allocations[0].address: expected an unsigned 32-bit integer, found the negative number -4"},
      {"fraction-for-unsigned", {"compile", "{file}"}, one_input_graph("[4.5]"), 2,
       "$.steps[0].input.shape[0]: expected an unsigned 64-bit integer"},
  });
}

TEST(ZarncHostileInput, HugeShapesAndTileCountsFailCleanlyOrStayBounded) {
  std::string many = R"({"steps": [)";
  for (int index = 0; index < 64; ++index) {
    many += R"({"input": {"name": "x)" + std::to_string(index) + R"(", "shape": [100000000, 100000000]}}, )";
  }
  many += R"({"mark_output": {"tensor": "x0"}}]})";
  run_cases({
      // Element counts and byte sizes beyond 64 bits.
      {"elements-overflow", {"compile", "{file}"}, one_input_graph("[4294967296, 4294967296]"), 1,
       "schedule stage failed: Graph: invalid tensor x"},
      {"bytes-overflow", {"compile", "{file}"}, one_input_graph("[2305843009213693952, 2]"), 1,
       "schedule stage failed: Graph: invalid tensor x"},
      // 4e16 bytes spread over all 65535 tiles: still 600 GB a tile.
      {"share-beyond-32-bits", {"compile", "{file}", "--tile-count", "65535"}, one_input_graph("[100000000, 100000000]"),
       1, "schedule stage failed: Memory: x: 610360875868 bytes per tile exceed the 32-bit address range"},
      // 64 such tensors would be 4 million home regions: refused before anything is built.
      {"too-much-work", {"compile", "{file}", "--tile-count", "65535"}, many, 2,
       "too-much-work.json: too large: the stages asked for would make 4259775 records (SRAM regions, transfers, "
       "commands and program steps) over 65535 tiles; zarnc makes at most 524288"},
      {"tile-count-zero", {"compile", "{file}", "--tile-count", "0"}, one_input_graph("[4]"), 1,
       "schedule stage failed: Graph: invalid compiler options"},
      // A tiny graph on 65535 tiles compiles; only the lowering for the 1472-tile board is refused.
      {"tile-count-65535", {"compile", "{file}", "--tile-count", "65535", "--emit", "schedule,commands", "--format", "json"},
       one_input_graph("[4]"), 0, ""},
      {"tile-count-65535-lowered", {"compile", "{file}", "--tile-count", "65535"}, one_input_graph("[4]"), 1,
       "exchanges stage failed: Graph: exchange topology has too few tiles"},
      {"schedule-tile-count-65535", {"lower", "{file}"}, schedule_file(65535), 1,
       "exchanges stage failed: Graph: exchange topology has too few tiles"},
  });
}

TEST(ZarncHostileInput, AddressesNearTheTopOfTheAddressSpace) {
  run_cases({
      {"data-window-at-the-top", {"compile", "{file}", "--data-base", "0xfffffff8", "--data-limit", "0xffffffff"},
       one_input_graph("[4]"), 1, "schedule stage failed: Memory: address overflow"},
      {"data-window-too-small", {"compile", "{file}", "--data-base", "0xffffff00", "--data-limit", "0xffffff08"},
       one_input_graph("[4]"), 1, "schedule stage failed: Memory: tile 0 exceeds data limit allocating x"},
      {"home-address-near-2-32", {"lower", "{file}"},
       schedule_file(16, [](Json& s) { s["allocations"][0]["address"] = 0xFFFFFFC0u; }), 1,
       "exchanges stage failed: Exchange: Address(4294967232)"},
      {"staging-address-near-2-32", {"lower", "{file}"},
       schedule_file(16, [](Json& s) { s["allocations"][1]["address"] = 0xFFFFFFF0u; }), 1,
       "exchanges stage failed: Exchange: Address(4294967280)"},
      {"unaligned-home-address", {"lower", "{file}"},
       schedule_file(16, [](Json& s) { s["allocations"][0]["address"] = 0x62002; }), 1,
       "exchanges stage failed: Exchange: Address(401410)"},
  });
}

TEST(ZarncHostileInput, TilesBeyondTheRangeOrTheBoard) {
  run_cases({
      {"transfer-beyond-board", {"lower", "{file}"},
       schedule_file(16, [](Json& s) { s["phases"][0]["Exchange"]["transfers"][0]["destination_tile"] = 2000; }), 2,
       "$.phases[0].Exchange.transfers[0].destination_tile: tile 2000 is not below the schedule's tile_count 16"},
      {"transfer-beyond-range", {"lower", "{file}"},
       schedule_file(16, [](Json& s) { s["phases"][0]["Exchange"]["transfers"][0]["source_tile"] = 100; }), 2,
       "$.phases[0].Exchange.transfers[0].source_tile: tile 100 is not below the schedule's tile_count 16"},
      {"command-beyond-range", {"lower", "{file}"},
       schedule_file(16, [](Json& s) { s["phases"][1]["Compute"]["commands"][0]["tile"] = 16; }), 2,
       "$.phases[1].Compute.commands[0].tile: tile 16 is not below the schedule's tile_count 16"},
      {"allocation-beyond-range", {"lower", "{file}"},
       schedule_file(16, [](Json& s) { s["allocations"][2]["tile"] = 65535; }), 2,
       "$.allocations[2].tile: tile 65535 is not below the schedule's tile_count 16"},
      {"board-sized-range", {"lower", "{file}"}, schedule_file(1472), 0, ""},
      {"beyond-board-range", {"lower", "{file}"}, schedule_file(1473), 1,
       "exchanges stage failed: Graph: exchange topology has too few tiles"},
  });
}

TEST(ZarncHostileInput, ReferencesToMissingTensorsAndOperations) {
  const auto form_two = [](const std::string& ops, const std::string& outputs) {
    return R"({"graph": {"tensors": [)"
           R"({"id": 0, "name": "x", "dtype": "F32", "shape": [4], "kind": "Input", "producer": null},)"
           R"({"id": 1, "name": "g", "dtype": "F32", "shape": [4], "kind": "Output", "producer": 0}],)"
           R"("ops": )" +
           ops + R"(, "outputs": )" + outputs + "}}";
  };
  run_cases({
      {"op-input-missing", {"compile", "{file}"},
       form_two(R"([{"id": 0, "name": "g", "kind": "Gelu", "inputs": [7], "output": 1}])", "[1]"), 1,
       "schedule stage failed: Graph: invalid op g"},
      {"op-output-missing", {"compile", "{file}"},
       form_two(R"([{"id": 0, "name": "g", "kind": "Gelu", "inputs": [0], "output": 9}])", "[1]"), 1,
       "schedule stage failed: Graph: invalid op g"},
      // A producer naming no operation is not examined by validation: the tensor is placed like an
      // input, and nothing computes it.
      {"producer-missing", {"compile", "{file}"}, form_two("[]", "[1]"), 0, ""},
      {"output-missing", {"compile", "{file}"},
       form_two(R"([{"id": 0, "name": "g", "kind": "Gelu", "inputs": [0], "output": 1}])", "[5]"), 1,
       "schedule stage failed: Graph: invalid output 5"},
      {"step-operand-missing", {"compile", "{file}"},
       R"({"steps": [{"input": {"name": "x", "shape": [4]}}, {"gelu": {"name": "g", "input": "y"}}]})", 2,
       "$.steps[1].gelu.input: no tensor named \"y\" exists before this step"},
      {"step-operand-id-ahead", {"compile", "{file}"},
       R"({"steps": [{"input": {"name": "x", "shape": [4]}}, {"gelu": {"name": "g", "input": 1}}]})", 2,
       "$.steps[1].gelu.input:"},
      // A transfer of a tensor no tile holds: no group can start.
      {"transfer-of-missing-tensor", {"lower", "{file}"},
       schedule_file(16, [](Json& s) { s["phases"][0]["Exchange"]["transfers"][0]["tensor"] = 99; }), 1,
       "exchanges stage failed: Graph: exchange staging dependencies contain a cycle"},
      {"compute-of-missing-tensor", {"lower", "{file}"},
       schedule_file(16, [](Json& s) { s["phases"][1]["Compute"]["commands"][0]["output"] = 999; }), 1,
       "programs stage failed: Memory: missing home allocation for tensor 999 on tile 1"},
      {"staging-of-missing-phase", {"lower", "{file}"},
       schedule_file(16, [](Json& s) { s["allocations"][1]["kind"]["ExchangeStaging"]["phase"] = 12; }), 1,
       "exchanges stage failed: Memory: missing staging allocation for tensor 0 on tile 1"},
  });
}

TEST(ZarncHostileInput, FilesOfManyMegabytes) {
  TemporaryDirectory folder;
  // Beyond the 64 MiB limit: refused from its size alone, without reading it.
  const std::string huge = (folder.path() / "huge.json").string();
  folder.write("huge.json", "");
  ASSERT_EQ(truncate(huge.c_str(), static_cast<off_t>(zarn_files::kMaxDocumentBytes) + 1), 0);
  auto result = run_zarnc({"compile", huge});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_NE(result.err.find("huge.json: file is larger than 67108864 bytes"), std::string::npos) << result.err;

  // 32 MiB of blanks around a small graph: read and compiled.
  const std::string padded = folder.write("padded.json", std::string(std::size_t{32} << 20, ' ') + one_input_graph("[4]"));
  result = run_zarnc({"compile", padded, "--emit", "schedule"});
  EXPECT_EQ(result.exit_code, 0) << result.err;

  // A list longer than a graph file may hold, in a few megabytes.
  std::string steps = R"({"steps": [)";
  for (int index = 0; index < 40000; ++index) steps += R"({"input": {"name": "x", "shape": [1]}}, )";
  steps += R"({"mark_output": {"tensor": 0}}]})";
  result = run_zarnc({"compile", folder.write("long.json", steps)});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_NE(result.err.find("long.json: $.steps: has 40001 elements; at most 8192 are accepted"), std::string::npos)
      << result.err;
}

}  // namespace
}  // namespace zarn_tools_test
