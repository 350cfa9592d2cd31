// The zarnc binary as a user runs it: the report, the round trip through a schedule file, every error
// class with its exit status, and -o folders that appear whole or not at all.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "run_zarnc.h"
#include "zarn_files/json_document.h"

namespace zarn_tools_test {
namespace {

namespace fs = std::filesystem;
using zarn_files::Json;

Json parse(const std::string& text) {
  auto document = zarn_files::parse_json(text, "stdout");
  EXPECT_TRUE(document) << document.error().message;
  return document ? *document : Json();
}

/// A hand-built schedule: tensor 0 sent from tile 0 to tile 1, with a home copy at 0x62000 and a
/// staging copy at 0x50000, followed by a gelu on tile 1.
Json small_schedule(std::uint32_t bytes) {
  return Json{
      {"layouts", Json::array()},
      {"phases", Json::array({Json{{"Exchange", Json{{"transfers", Json::array({Json{{"source_tile", 0},
                                                                                     {"destination_tile", 1},
                                                                                     {"tensor", 0},
                                                                                     {"bytes", bytes}}})}}}},
                              Json{{"Compute", Json{{"op", 0}, {"commands", Json::array()}}}}})},
      {"allocations", Json::array({Json{{"tensor", 0}, {"tile", 0}, {"address", 0x62000}, {"size", bytes},
                                        {"live_from", 0}, {"live_until", 1}, {"kind", "Home"}},
                                   Json{{"tensor", 0}, {"tile", 1}, {"address", 0x50000}, {"size", bytes},
                                        {"live_from", 0}, {"live_until", 1},
                                        {"kind", Json{{"ExchangeStaging", Json{{"phase", 0}}}}}}})},
      {"tile_count", 16},
      {"peak_sram", Json::array()}};
}

// After a deliberate change of the compiler's results, regenerate the golden file with
//   build/<preset>/tools/zarnc encoder > tools/tests/golden/encoder-report.txt
// and review the difference like any other change.
TEST(Zarnc, DefaultEncoderReportMatchesTheGoldenFile) {
  const auto result = run_zarnc({"encoder"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, read_file(fs::path(ZARN_TOOLS_TEST_DIR) / "golden" / "encoder-report.txt"));
}

TEST(Zarnc, AnswersHelpAndVersion) {
  struct Case {
    std::vector<std::string> arguments;
    std::string_view shown;
  };
  const Case cases[] = {
      {{"--help"}, "Subcommands:"},
      {{"encoder", "--help"}, "--feed-forward"},
      {{"compile", "--help"}, "GRAPH.json"},
      {{"lower", "--help"}, "SCHEDULE.json"},
      {{"reference", "--help"}, "--input"},
      {{"--version"}, "zarnc " ZARNC_VERSION "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.front());
    const auto result = run_zarnc(c.arguments);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_NE(result.out.find(c.shown), std::string::npos) << result.out;
  }
}

TEST(Zarnc, LoweringTheWrittenScheduleGivesWhatOneRunGives) {
  TemporaryDirectory folder;
  const std::string compiled = (folder.path() / "compiled").string();
  const std::string lowered = (folder.path() / "lowered").string();
  ASSERT_EQ(run_zarnc({"encoder", "--emit", "all", "-o", compiled}).exit_code, 0);
  ASSERT_EQ(run_zarnc({"lower", compiled + "/schedule.json", "--emit", "all", "-o", lowered}).exit_code, 0);

  for (const std::string name : {"schedule.json", "exchanges.json", "programs.json"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(read_file(fs::path(compiled) / name), read_file(fs::path(lowered) / name));
  }
  EXPECT_TRUE(fs::exists(fs::path(compiled) / "graph.json"));
  EXPECT_FALSE(fs::exists(fs::path(lowered) / "graph.json"));
  std::vector<std::string> command_files;
  for (const auto& name : tree(compiled)) {
    if (!name.starts_with("commands/")) continue;
    command_files.push_back(name);
    EXPECT_EQ(read_file(fs::path(compiled) / name), read_file(fs::path(lowered) / name)) << name;
  }
  ASSERT_EQ(command_files.size(), 64u);
  EXPECT_EQ(command_files.front(), "commands/tile-0000.bin");
  const std::string tile_zero = read_file(fs::path(compiled) / command_files.front());
  ASSERT_EQ(tile_zero.size() % 32, 0u);
  EXPECT_EQ(tile_zero.substr(tile_zero.size() - 32), std::string("\xff", 1) + std::string(31, '\0'));

  // The one-document form holds the same stages as the files.
  const auto one_go = run_zarnc({"encoder", "--emit", "all", "--format", "json"});
  const auto from_file = run_zarnc({"lower", compiled + "/schedule.json", "--emit", "all", "--format", "json"});
  ASSERT_EQ(one_go.exit_code, 0);
  ASSERT_EQ(from_file.exit_code, 0);
  const Json first = parse(one_go.out);
  const Json second = parse(from_file.out);
  for (const std::string key : {"schedule", "commands", "exchanges", "programs"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(first[key], second[key]);
  }
  EXPECT_EQ(parse(read_file(fs::path(compiled) / "exchanges.json")), first["exchanges"]);
  EXPECT_EQ(first["error"], nullptr);
  EXPECT_EQ(second["graph"], nullptr);
  EXPECT_EQ(first["commands"].size(), 64u);
}

TEST(Zarnc, EveryErrorClassHasItsExitStatus) {
  TemporaryDirectory folder;
  const auto file = [&](const std::string& name, const std::string& text) { return folder.write(name, text); };
  const std::string no_outputs = file("no-outputs.json", R"({"steps": [{"input": {"name": "x", "shape": [4]}}]})");
  const std::string not_json = file("not-json.json", "{\"steps\": [\n  {\"input\": }\n]}");
  const std::string wrong_type = file("wrong-type.json", R"({"steps": [{"input": {"name": "x", "shape": "4"}}]})");
  const std::string negative = file("negative.json", R"({"steps": [{"input": {"name": "x", "shape": [-4]}}]})");
  const std::string shape_rule = file("shape.json", R"({"steps": [{"input": {"name": "x", "shape": [4, 3]}},
      {"matmul": {"name": "m", "left": "x", "right": "x"}}]})");
  Json big_tile = small_schedule(64);
  big_tile["tile_count"] = 70000;
  const std::string too_large = file("too-large.json", big_tile.dump());
  Json unknown_kind = small_schedule(64);
  unknown_kind["allocations"][0]["kind"] = "Resident";
  const std::string unknown_variant = file("unknown-variant.json", unknown_kind.dump());
  Json no_peaks = small_schedule(64);
  no_peaks.erase("peak_sram");
  const std::string missing_field = file("missing-field.json", no_peaks.dump());
  Json wide = small_schedule(64);
  wide["tile_count"] = 1473;
  const std::string too_many_tiles = file("too-many-tiles.json", wide.dump());
  const std::string too_many_words = file("count.json", small_schedule(16596).dump());
  Json unstaged = small_schedule(64);
  unstaged["allocations"].erase(1);
  const std::string no_staging = file("no-staging.json", unstaged.dump());
  const std::string short_input = file("short-input.json", "[1, 2, 3]");
  const std::string fifo = (folder.path() / "fifo.json").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // opening it must not wait for a writer
  const std::string text_input = file("text-input.json", R"([1, "2"])");

  struct Case {
    std::vector<std::string> arguments;
    int exit_code;
    std::string message;  // a line of standard error
  };
  const Case cases[] = {
      // Usage errors.
      {{}, 2, "zarnc: error: A subcommand is required"},
      {{"encoder", "--bogus"}, 2, "The following argument was not expected: --bogus"},
      {{"compile"}, 2, "GRAPH is required"},
      {{"encoder", "--tile-count", "12x"}, 2,
       "zarnc: error: --tile-count: expected a decimal or 0x-prefixed hexadecimal number, found \"12x\""},
      {{"encoder", "--tile-count", "65536"}, 2,
       "zarnc: error: --tile-count: 65536 is larger than the largest accepted value 65535"},
      {{"encoder", "--data-limit", "-1"}, 2, "--data-limit: expected a decimal or 0x-prefixed hexadecimal number"},
      {{"encoder", "--emit", "schedule,graphs"}, 2,
       "zarnc: error: --emit: unknown stage \"graphs\" (expected graph, schedule, commands, exchanges, programs or all)"},
      {{"encoder", "--format", "xml"}, 2, "--format: xml not in {text,json}"},
      {{"encoder", "-o", ""}, 2, "zarnc: error: -o: name a folder"},
      {{"reference", "--hidden", "8192"}, 2,
       "zarnc: error: the wq matrix would be 8192 x 8192; the reference evaluation takes at most 16777216 elements "
       "per matrix"},
      // Malformed or unreadable files.
      {{"compile", not_json}, 2, "zarnc: error: " + not_json + ":2:13: syntax error while parsing value"},
      {{"compile", wrong_type}, 2,
       "zarnc: error: " + wrong_type + ": $.steps[0].input.shape: expected an array, found a string"},
      {{"compile", negative}, 2,
       "zarnc: error: " + negative +
           ": $.steps[0].input.shape[0]: expected an unsigned 64-bit integer, found the negative number -4"},
      {{"lower", too_large}, 2,
       "zarnc: error: " + too_large +
           ": $.tile_count: expected an unsigned 16-bit integer, found the number 70000 (larger than 65535)"},
      {{"lower", unknown_variant}, 2,
       "zarnc: error: " + unknown_variant +
           ": $.allocations[0].kind: unknown allocation kind \"Resident\" (expected one of \"Home\", "
           "\"ExchangeStaging\")"},
      {{"lower", missing_field}, 2, "zarnc: error: " + missing_field + ": $: missing member \"peak_sram\""},
      {{"compile", (folder.path() / "absent.json").string()}, 2, "absent.json: cannot open: No such file or directory"},
      {{"compile", folder.path().string()}, 2, ": not a regular file"},
      {{"lower", fifo}, 2, "fifo.json: not a regular file"},
      {{"reference", "--input", text_input}, 2,
       "zarnc: error: " + text_input + ": $[1]: expected a number, found a string"},
      // Compilation, lowering and evaluation failures.
      {{"compile", no_outputs}, 1, "zarnc: error: schedule stage failed: Graph: graph has no outputs"},
      {{"compile", shape_rule}, 1, "zarnc: error: graph stage failed: Graph: m: incompatible matmul [4, 3] x [4, 3]"},
      {{"encoder", "--heads", "0"}, 1, "zarnc: error: graph stage failed: Graph: invalid encoder dimensions"},
      {{"encoder", "--tile-count", "0"}, 1, "zarnc: error: schedule stage failed: Graph: invalid compiler options"},
      {{"encoder", "--data-limit", "0x58100"}, 1,
       "zarnc: error: schedule stage failed: Memory: tile 0 exceeds data limit allocating input"},
      {{"lower", too_many_tiles}, 1, "zarnc: error: exchanges stage failed: Graph: exchange topology has too few tiles"},
      {{"lower", too_many_words}, 1, "zarnc: error: exchanges stage failed: Exchange: Count(4149)"},
      {{"lower", no_staging}, 1,
       "zarnc: error: exchanges stage failed: Memory: missing staging allocation for tensor 0 on tile 1"},
      {{"reference", "--sequence", "1", "--hidden", "2", "--heads", "1", "--input", short_input}, 1,
       "zarnc: error: reference evaluation failed: Graph: encoder input size mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? std::string("(none)") : c.arguments.front() + " " + c.arguments.back());
    const auto result = run_zarnc(c.arguments);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  }
  EXPECT_EQ(run_zarnc({"encoder"}, {"ZARN_LOG=loud"}).exit_code, 2);
}

TEST(Zarnc, TheJsonDocumentNullsEveryStageFromTheFailureOn) {
  TemporaryDirectory folder;
  Json wide = small_schedule(64);
  wide["tile_count"] = 1473;
  const auto result = run_zarnc({"lower", folder.write("wide.json", wide.dump()), "--emit", "all", "--format", "json"});
  EXPECT_EQ(result.exit_code, 1);
  const Json document = parse(result.out);
  EXPECT_EQ(document["graph"], nullptr);
  EXPECT_EQ(document["schedule"]["tile_count"], 1473);
  EXPECT_EQ(document["commands"].size(), 1473u);  // commands need no lowering
  EXPECT_EQ(document["exchanges"], nullptr);
  EXPECT_EQ(document["programs"], nullptr);
  EXPECT_EQ(document["error"], (Json{{"stage", "exchanges"}, {"kind", "Graph"},
                                     {"message", "exchange topology has too few tiles"}}));

  const auto failed_compile = run_zarnc({"encoder", "--heads", "3", "--format", "json", "--emit", "graph,programs"});
  EXPECT_EQ(failed_compile.exit_code, 1);
  EXPECT_EQ(parse(failed_compile.out),
            (Json{{"graph", nullptr},
                  {"programs", nullptr},
                  {"error", Json{{"stage", "graph"}, {"kind", "Graph"}, {"message", "invalid encoder dimensions"}}}}));
}

TEST(Zarnc, AnOutputFolderAppearsWholeOrNotAtAll) {
  TemporaryDirectory folder;
  const std::string out = (folder.path() / "out").string();
  const std::string bad = folder.write("bad.json", R"({"steps": [{"input": {"name": "x", "shape": [4]}}]})");
  const std::string example = std::string(ZARN_EXAMPLES_DIR) + "/tiny-mlp.json";
  const std::vector<std::string> inputs_only{"bad.json"};

  // A failing compilation leaves nothing: no folder, no temporary folder beside it.
  EXPECT_EQ(run_zarnc({"compile", bad, "-o", out}).exit_code, 1);
  EXPECT_EQ(tree(folder.path()), inputs_only);

  const auto written = run_zarnc({"compile", example, "-o", out});
  ASSERT_EQ(written.exit_code, 0);
  EXPECT_TRUE(written.out.starts_with("zarnc report: "));  // -o without --emit: every stage, and the report
  const auto complete = tree(out);
  for (const std::string name : {"graph.json", "schedule.json", "exchanges.json", "programs.json", "manifest.json",
                                 "commands/tile-0063.bin"}) {
    EXPECT_NE(std::find(complete.begin(), complete.end(), name), complete.end()) << name;
  }
  const std::string schedule_before = read_file(fs::path(out) / "schedule.json");

  // A failure keeps the earlier output exactly as it was.
  EXPECT_EQ(run_zarnc({"compile", bad, "-o", out}).exit_code, 1);
  EXPECT_EQ(tree(out), complete);
  EXPECT_EQ(read_file(fs::path(out) / "schedule.json"), schedule_before);

  // A later success replaces it whole: nothing of the earlier stages stays.
  const auto replaced = run_zarnc({"compile", example, "--emit", "schedule", "-o", out});
  EXPECT_EQ(replaced.exit_code, 0);
  EXPECT_EQ(replaced.out, "");
  EXPECT_EQ(tree(out), (std::vector<std::string>{"manifest.json", "schedule.json"}));
  EXPECT_EQ(tree(folder.path()).size(), 4u);  // bad.json, out, out/manifest.json, out/schedule.json

  // Anything else at DIR is refused before any work, and left alone.
  const fs::path foreign = folder.path() / "notes";
  fs::create_directory(foreign);
  folder.write("notes/keep.txt", "mine");
  const auto refused = run_zarnc({"compile", example, "-o", foreign.string()});
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_NE(refused.err.find("exists and is not a zarnc output folder"), std::string::npos) << refused.err;
  EXPECT_EQ(tree(foreign), std::vector<std::string>{"keep.txt"});
  EXPECT_EQ(run_zarnc({"compile", example, "-o", bad}).exit_code, 2);
  EXPECT_EQ(run_zarnc({"compile", example, "-o", (folder.path() / "missing" / "out").string()}).exit_code, 2);
}

TEST(Zarnc, ReferenceReproducesTheSelfCheckConfiguration) {
  const std::vector<std::string> small{"reference", "--sequence", "4", "--hidden", "8", "--heads", "2",
                                       "--feed-forward", "16"};
  auto json_arguments = small;
  json_arguments.insert(json_arguments.end(), {"--format", "json"});
  const auto result = run_zarnc(json_arguments);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const Json document = parse(result.out);
  EXPECT_NEAR(document["checksum"].get<double>(), 107.46423, 1e-4);
  ASSERT_EQ(document["outputs"].size(), 32u);
  EXPECT_FLOAT_EQ(document["outputs"][0].get<float>(), 17.354069f);
  EXPECT_FLOAT_EQ(document["outputs"][3].get<float>(), -26.392069f);

  // The ramp given as a file gives the same outputs bit for bit.
  TemporaryDirectory folder;
  Json ramp = Json::array();
  for (int index = 0; index < 32; ++index) ramp.push_back((static_cast<float>(index) - 9.0f) / 16.0f);
  auto with_file = json_arguments;
  with_file.insert(with_file.end(), {"--input", folder.write("ramp.json", ramp.dump())});
  const auto from_file = run_zarnc(with_file);
  ASSERT_EQ(from_file.exit_code, 0) << from_file.err;
  EXPECT_EQ(parse(from_file.out)["outputs"], document["outputs"]);

  const auto text = run_zarnc(small);
  EXPECT_EQ(text.exit_code, 0);
  EXPECT_NE(text.out.find("  row 0: 17.354069 8.073391 5.544778 -26.392069"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("checksum: 107.46423"), std::string::npos) << text.out;
}

TEST(Zarnc, ReportsTheSlotsOfAHandBuiltRing) {
  // Tile i sends tensor i to tile i + 1 (mod 4): each group conflicts with its neighbours, so the
  // four groups need two slots within the one launch.
  Json transfers = Json::array();
  Json allocations = Json::array();
  for (int tile = 0; tile < 4; ++tile) {
    const int next = (tile + 1) % 4;
    transfers.push_back(Json{{"source_tile", tile}, {"destination_tile", next}, {"tensor", tile}, {"bytes", 4}});
    allocations.push_back(Json{{"tensor", tile}, {"tile", tile}, {"address", 0x62000}, {"size", 4}, {"live_from", 0},
                               {"live_until", 1}, {"kind", "Home"}});
    allocations.push_back(Json{{"tensor", tile}, {"tile", next}, {"address", 0x52000}, {"size", 4}, {"live_from", 0},
                               {"live_until", 1}, {"kind", Json{{"ExchangeStaging", Json{{"phase", 0}}}}}});
  }
  const Json ring{{"layouts", Json::array()},
                  {"phases", Json::array({Json{{"Exchange", Json{{"transfers", transfers}}}}})},
                  {"allocations", allocations},
                  {"tile_count", 16},
                  {"peak_sram", Json::array()}};
  TemporaryDirectory folder;
  const auto result = run_zarnc({"lower", folder.write("ring.json", ring.dump())});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("          phase  groups  slots  launch cycles  payload words  tiles\n"
                            "              0       4      2"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("8 allocations: 4 home, 4 staging"), std::string::npos) << result.out;
}

/// The stage names of a time report on standard error, in order, after checking its form: a heading,
/// one "  name   N.NNN ms   N.N%" line per stage (the name in a 12-character column), and a total
/// whose share is 100%.
std::vector<std::string> time_report_stages(const std::string& err) {
  std::istringstream lines(err);
  std::string line;
  EXPECT_TRUE(std::getline(lines, line) && line == "zarnc: time report (wall time)") << err;
  std::vector<std::string> stages;
  while (std::getline(lines, line)) {
    std::string name = line.substr(2, 12);
    name.erase(name.find_last_not_of(' ') + 1);
    std::istringstream numbers(line.substr(14));
    double milliseconds = -1;
    std::string unit, share;
    numbers >> milliseconds >> unit >> share;
    EXPECT_GE(milliseconds, 0.0) << line;
    EXPECT_EQ(unit, "ms") << line;
    EXPECT_TRUE(share.ends_with("%")) << line;
    if (name == "total") {
      EXPECT_EQ(share, "100.0%");
      EXPECT_FALSE(std::getline(lines, line)) << "after the total: " << line;
      return stages;
    }
    stages.push_back(name);
  }
  ADD_FAILURE() << "no total line: " << err;
  return stages;
}

TEST(Zarnc, TimeReportGoesLastToStandardErrorAndChangesNothingElse) {
  TemporaryDirectory folder;
  const std::string failing = folder.write("count.json", small_schedule(16596).dump());
  const std::string graph = (fs::path(ZARN_EXAMPLES_DIR) / "tiny-mlp.json").string();
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> stages;
  };
  const Case cases[] = {
      {{"encoder"}, {"graph", "schedule", "commands", "exchanges", "programs", "output"}},
      {{"encoder", "--emit", "schedule", "--format", "json"}, {"graph", "schedule", "output"}},
      {{"compile", graph, "--emit", "commands"}, {"read input", "graph", "schedule", "commands", "output"}},
      // A failing lowering: the error line comes first, unchanged, then the report.
      {{"lower", failing, "--emit", "exchanges,programs"}, {"read input", "exchanges", "output"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.front() + " " + c.arguments.back());
    const auto plain = run_zarnc(c.arguments);
    auto timed_arguments = c.arguments;
    timed_arguments.push_back("--time");
    const auto timed = run_zarnc(timed_arguments);
    EXPECT_EQ(timed.exit_code, plain.exit_code);
    EXPECT_EQ(timed.out, plain.out);
    ASSERT_TRUE(timed.err.starts_with(plain.err)) << timed.err;
    EXPECT_EQ(time_report_stages(timed.err.substr(plain.err.size())), c.stages);
  }
}

TEST(Zarnc, ColoursOnlyWhenAsked) {
  EXPECT_EQ(run_zarnc({"encoder"}).out.find("\x1b["), std::string::npos);
  EXPECT_NE(run_zarnc({"encoder", "--color", "always"}).out.find("\x1b[1m"), std::string::npos);
}

TEST(Zarnc, ListsStagesAsText) {
  const auto result = run_zarnc({"encoder", "--emit", "schedule,commands,exchanges,programs"});
  EXPECT_EQ(result.exit_code, 0);
  for (const std::string_view heading :
       {"schedule: 64 tiles, 17 phases", "commands: 64 tiles", "exchanges: 2 exchange phases", "programs: 64 tiles",
        "    00000002 00000000 00000000 00000007 00000001 00000000 00000000 00000000"}) {
    EXPECT_NE(result.out.find(heading), std::string::npos) << heading;
  }
}

}  // namespace
}  // namespace zarn_tools_test
