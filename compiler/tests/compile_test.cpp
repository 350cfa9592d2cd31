#include "zarn_compiler/compile.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "zarn_compiler/encoder.h"
#include "zarn_platform/log_capture.h"

namespace zarn_compiler {
namespace {

using zarn_platform::LogCapture;
using zarn_platform::LogLevel;
using zarn_platform::RecordedLogEvent;
using zarn_platform::RecordedLogField;

Graph default_encoder() {
  auto graph = encoder_graph(EncoderConfig{});
  EXPECT_TRUE(graph.has_value());
  return *graph;
}

/// A single [4] input marked as output: the smallest valid graph.
Graph one_tensor_graph() {
  Graph graph;
  graph.mark_output(graph.input("x", {4}));
  return graph;
}

const Phase::Exchange& exchange_at(const Schedule& schedule, std::size_t index) {
  return std::get<Phase::Exchange>(schedule.phases[index].value);
}

TEST(Compile, DefaultEncoderRunsInSeventeenPhases) {
  const auto schedule = compile(default_encoder(), CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << to_string(schedule.error());
  ASSERT_EQ(schedule->phases.size(), 17u);
  ASSERT_EQ(schedule->layouts.size(), 22u);
  EXPECT_EQ(schedule->tile_count, 64);

  // Phases 7 and 12 are the exchanges before attention_context (op 7) and ffn_up (op 11); every other
  // phase computes the next operation.
  std::vector<OpId> compute_ops;
  for (std::size_t index = 0; index < 17; ++index) {
    SCOPED_TRACE(index);
    const auto* compute = std::get_if<Phase::Compute>(&schedule->phases[index].value);
    EXPECT_EQ(compute == nullptr, index == 7 || index == 12);
    if (compute != nullptr) compute_ops.push_back(compute->op);
  }
  EXPECT_EQ(compute_ops, (std::vector<OpId>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));

  const TensorId attention_softmax = 13;
  EXPECT_EQ(exchange_at(*schedule, 7).transfers,
            (std::vector<Transfer>{{0, 4, attention_softmax, 1024},
                                   {1, 5, attention_softmax, 1024},
                                   {2, 6, attention_softmax, 1024},
                                   {3, 7, attention_softmax, 1024}}));
  const TensorId norm2 = 17;
  std::vector<Transfer> ffn_up_transfers;
  for (std::uint16_t d = 8; d < 32; ++d) {
    ffn_up_transfers.push_back({static_cast<std::uint16_t>(d % 8), d, norm2, 1024});
  }
  EXPECT_EQ(exchange_at(*schedule, 12).transfers, ffn_up_transfers);

  // ffn_up's output [32, 256] runs on tiles 0 to 31.
  const auto& ffn_up = std::get<Phase::Compute>(schedule->phases[13].value);
  ASSERT_EQ(ffn_up.commands.size(), 32u);
  EXPECT_EQ(ffn_up.commands.back().tile, 31);
  EXPECT_EQ(ffn_up.commands.back().specialization.role, "tail");
  EXPECT_EQ(ffn_up.commands.front().specialization.role, "body");
}

TEST(Compile, DefaultEncoderIsDeterministicAndFitsItsWindows) {
  const Graph graph = default_encoder();
  const auto first = compile(graph, CompilerOptions{});
  const auto second = compile(graph, CompilerOptions{});
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(*first, *second);
  ASSERT_EQ(first->peak_sram.size(), 64u);  // w1 and w2 lie on every tile
  for (const auto& [tile, peak] : first->peak_sram) {
    SCOPED_TRACE(tile);
    EXPECT_LT(peak, 0x8E000u);
  }
  std::size_t staging = 0;
  for (const auto& allocation : first->allocations) {
    staging += std::holds_alternative<AllocationKind::ExchangeStaging>(allocation.kind.value);
  }
  EXPECT_EQ(staging, 28u);  // one per transfer of phases 7 and 12

  const auto commands = first->tile_commands(0);
  ASSERT_TRUE(commands.has_value());
  EXPECT_EQ(commands->back().words[0], 255u);
  EXPECT_EQ(commands->back().to_le_bytes().size(), 32u);
  EXPECT_TRUE(first->tile_commands(63).has_value());
  EXPECT_EQ(to_string(first->tile_commands(64).error()), "Graph: tile 64 is out of range");
}

TEST(Compile, SingleRowEncoderStaysOnTileZero) {
  const auto graph = encoder_graph(EncoderConfig{.sequence = 1});
  ASSERT_TRUE(graph.has_value());
  const auto schedule = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << to_string(schedule.error());
  ASSERT_EQ(schedule->phases.size(), 15u);
  for (std::size_t index = 0; index < 15; ++index) {
    SCOPED_TRACE(index);
    const auto* compute = std::get_if<Phase::Compute>(&schedule->phases[index].value);
    ASSERT_NE(compute, nullptr);
    EXPECT_EQ(compute->op, index);
    ASSERT_EQ(compute->commands.size(), 1u);
    EXPECT_EQ(compute->commands[0].tile, 0);
    EXPECT_EQ(compute->commands[0].specialization.role, "tail");
  }
}

TEST(Compile, OneTileHoldsEveryLayoutAndNeedsNoExchange) {
  const auto schedule = compile(default_encoder(), CompilerOptions{.tile_count = 1});
  ASSERT_TRUE(schedule.has_value()) << to_string(schedule.error());
  for (const auto& layout : schedule->layouts) EXPECT_EQ(layout.tiles, (std::vector<std::uint16_t>{0}));
  ASSERT_EQ(schedule->phases.size(), 15u);
  for (const auto& phase : schedule->phases) {
    const auto* compute = std::get_if<Phase::Compute>(&phase.value);
    ASSERT_NE(compute, nullptr);
    ASSERT_EQ(compute->commands.size(), 1u);
    EXPECT_EQ(compute->commands[0].tile, 0);
  }
  EXPECT_EQ(schedule->peak_sram.size(), 1u);
}

TEST(Compile, PeaksCountFromTheLowerWindowBase) {
  Graph graph;
  graph.mark_output(graph.input("x", {256}));  // 1024 bytes: one home copy at 0x58000 on tile 0
  const auto schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value());
  EXPECT_EQ(schedule->allocations,
            (std::vector<Allocation>{{0, 0, 0x58000, 1024, 0, 0, {AllocationKind::Home{}}}}));
  EXPECT_EQ(schedule->peak_sram, (std::map<std::uint16_t, std::uint32_t>{{0, 0x8400}}));
}

TEST(Compile, RejectsEachSingleOptionViolation) {
  struct Case {
    const char* name;
    CompilerOptions options;
  };
  const Case cases[] = {
      {"tile count 0", {.tile_count = 0}},
      {"exchange base 0x4ffff", {.exchange_base = 0x4FFFF}},
      {"exchange limit 0x58001", {.exchange_limit = 0x58001, .data_base = 0x58001}},
      {"exchange base equal to exchange limit", {.exchange_base = 0x54000, .exchange_limit = 0x54000}},
      {"data base below exchange limit", {.data_base = 0x57FF0}},
      {"data base equal to data limit", {.data_base = 0x60000, .data_limit = 0x60000}},
  };
  const Graph graph = one_tensor_graph();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto schedule = compile(graph, c.options);
    ASSERT_FALSE(schedule.has_value());
    EXPECT_EQ(schedule.error(), (CompileError{CompileError::Graph{"invalid compiler options"}}));
  }
  EXPECT_TRUE(compile(graph, CompilerOptions{.exchange_limit = 0x54000, .data_base = 0x54000}).has_value());
}

TEST(Compile, AnOperandListedTwiceThatMustMoveFails) {
  Graph graph;
  const TensorId x = graph.input("x", {1, 257});  // tiles 0 and 1
  graph.mark_output(*graph.op("twice", {OpKind::Mul{}}, {x, x}, {1, 1280}));  // tiles 0 to 4
  const auto schedule = compile(graph, CompilerOptions{});
  ASSERT_FALSE(schedule.has_value());
  EXPECT_EQ(schedule.error(),
            (CompileError{CompileError::Graph{"multiple sends target one tensor region in an epoch"}}));
}

TEST(Compile, ReturnsPlannerAndShareFailuresUnchanged) {
  struct Case {
    const char* name;
    std::vector<std::size_t> operand_shape;
    std::vector<std::size_t> output_shape;
    CompilerOptions options;
    std::string message;
  };
  const Case cases[] = {
      {"home region past the data window", {4}, {4}, {.data_limit = 0x58010},
       "tile 0 exceeds data limit allocating out"},
      {"staging region past the exchange window", {1, 257}, {1, 1280}, {.exchange_limit = 0x50100, .data_base = 0x58000},
       "tile 2 exceeds data limit allocating tensor 0 exchange staging"},
      // The data window may reach the top of the address space, but no region may pass it.
      {"home region past 2^32 - 1", {256}, {256}, {.data_base = 0xFFFFFF00, .data_limit = 0xFFFFFFFF},
       "address overflow"},
      // x ends at 0xFFFFFFF9; out collides with it, and x's end aligned to 16 would be 2^32.
      {"aligned end past 2^32 - 1", {4}, {4}, {.data_base = 0xFFFFFFE9, .data_limit = 0xFFFFFFFF},
       "address overflow"},
      // 2^38 bytes over all 64 tiles: 4 GiB per tile, one byte more than 32 bits count.
      {"per-tile share past 32 bits", {std::size_t{1} << 36}, {std::size_t{1} << 36}, {},
       "x: 4294967296 bytes per tile exceed the 32-bit address range"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    const TensorId x = graph.input("x", c.operand_shape);
    graph.mark_output(*graph.op("out", {OpKind::Mul{}}, {x}, c.output_shape));
    LogCapture capture;
    const auto schedule = compile(graph, c.options);
    ASSERT_FALSE(schedule.has_value());
    EXPECT_EQ(to_string(schedule.error()), "Memory: " + c.message);
    EXPECT_EQ(capture.events_with_message("compiling graph").size(), 1u);
    EXPECT_TRUE(capture.events_with_message("planned tile SRAM").empty());
    EXPECT_TRUE(capture.events_with_message("graph compilation completed").empty());
  }
}

TEST(Compile, LogsStartThenPeakThenCompletion) {
  LogCapture capture;
  const auto schedule = compile(default_encoder(), CompilerOptions{});
  ASSERT_TRUE(schedule.has_value());
  std::uint32_t peak_bytes = 0;
  for (const auto& [tile, peak] : schedule->peak_sram) peak_bytes = std::max(peak_bytes, peak);

  std::vector<RecordedLogEvent> events;
  for (const auto& event : capture.events()) {
    if (event.target == "zarn_compiler") events.push_back(event);
  }
  const std::vector<RecordedLogEvent> expected{
      {LogLevel::Info, "zarn_compiler", "compiling graph",
       {{"operations", std::uint64_t{15}}, {"tensors", std::uint64_t{22}}, {"tiles", std::uint64_t{64}}}},
      {LogLevel::Debug, "zarn_compiler", "planned tile SRAM", {{"peak_bytes", std::uint64_t{peak_bytes}}}},
      {LogLevel::Info, "zarn_compiler", "graph compilation completed",
       {{"phases", std::uint64_t{17}},
        {"allocations", std::uint64_t{schedule->allocations.size()}},
        {"peak_bytes", std::uint64_t{peak_bytes}}}},
  };
  EXPECT_EQ(events, expected);
}

TEST(Compile, GraphErrorsComeBeforeOptionErrors) {
  Graph no_outputs;
  no_outputs.input("x", {4});
  LogCapture capture;
  const auto schedule = compile(no_outputs, CompilerOptions{.tile_count = 0});
  ASSERT_FALSE(schedule.has_value());
  EXPECT_EQ(schedule.error(), (CompileError{CompileError::Graph{"graph has no outputs"}}));
  const auto started = capture.events_with_message("compiling graph");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].unsigned_field("operations"), 0u);
  EXPECT_EQ(started[0].unsigned_field("tensors"), 1u);
  EXPECT_EQ(started[0].unsigned_field("tiles"), 0u);
  EXPECT_TRUE(capture.events_with_message("graph compilation completed").empty());

  const auto zero_width = encoder_graph(EncoderConfig{.feed_forward = 0});
  ASSERT_TRUE(zero_width.has_value());
  EXPECT_EQ(compile(*zero_width, CompilerOptions{}).error(), (CompileError{CompileError::Graph{"invalid tensor w1"}}));
}

}  // namespace
}  // namespace zarn_compiler
