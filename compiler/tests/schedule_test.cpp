#include "zarn_compiler/schedule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zarn_compiler {
namespace {

TEST(CompilerOptions, DefaultsAreTheDocumentedWindowsAndValid) {
  const CompilerOptions options;
  EXPECT_EQ(options, (CompilerOptions{64, 0x50000, 0x58000, 0x58000, 0xE0000}));
  EXPECT_TRUE(options.is_valid());
}

TEST(CompilerOptions, EachRuleRejectsItsViolation) {
  struct Case {
    const char* name;
    CompilerOptions options;
    bool valid;
  };
  const Case cases[] = {
      {"tile count 0", {0, 0x50000, 0x58000, 0x58000, 0xE0000}, false},
      {"exchange window below the receive range", {64, 0x4FFFF, 0x58000, 0x58000, 0xE0000}, false},
      {"exchange window above the receive range", {64, 0x50000, 0x58001, 0x58001, 0xE0000}, false},
      {"empty exchange window", {64, 0x54000, 0x54000, 0x58000, 0xE0000}, false},
      {"data window overlaps the exchange window", {64, 0x50000, 0x58000, 0x57FF0, 0xE0000}, false},
      {"empty data window", {64, 0x50000, 0x58000, 0x60000, 0x60000}, false},
      {"data window directly above a smaller exchange window", {64, 0x50000, 0x54000, 0x54000, 0x54010}, true},
      {"gap between the windows", {1, 0x57000, 0x57010, 0x60000, 0xFFFFFFFF}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.options.is_valid(), c.valid);
  }
}

Schedule two_allocation_schedule() {
  Schedule schedule;
  schedule.tile_count = 4;
  schedule.allocations = {{0, 0, 0x58000, 64, 0, 1, {AllocationKind::Home{}}},
                          {1, 0, 0x58040, 64, 0, 1, {AllocationKind::Home{}}}};
  schedule.peak_sram = {{0, 0x8080}};
  return schedule;
}

TEST(Schedule, EqualOnlyWhenEveryFieldIsEqual) {
  const Schedule schedule = two_allocation_schedule();
  EXPECT_EQ(schedule, two_allocation_schedule());

  Schedule other_peak = two_allocation_schedule();
  other_peak.peak_sram[0] = 0x8090;
  EXPECT_NE(schedule, other_peak);

  Schedule swapped = two_allocation_schedule();
  std::swap(swapped.allocations[0], swapped.allocations[1]);
  EXPECT_NE(schedule, swapped);
}

KernelCommand kernel(std::uint16_t tile, TensorId output, std::vector<TensorId> inputs) {
  return {.tile = tile,
          .output = output,
          .inputs = std::move(inputs),
          .specialization = {.operation = "mul", .shape = {4}, .worker_count = 1, .role = "tail", .alignment = 16}};
}

/// Phase 0 computes on tile 1; phase 1 on tiles 5 and 1 (four operands on tile 1); phase 2 moves
/// tensor 7 from tile 1 to tile 5 and tensor 8 between tiles 2 and 3; phase 3 computes without
/// operands on tile 1.
Schedule hand_made_schedule() {
  Schedule schedule;
  schedule.tile_count = 64;
  schedule.phases = {
      Phase{Phase::Compute{0, {kernel(1, 3, {0})}}},
      Phase{Phase::Compute{1, {kernel(5, 4, {1, 2}), kernel(1, 4, {0, 1, 2, 3})}}},
      Phase{Phase::Exchange{{{1, 5, 7, 1024}, {2, 3, 8, 64}}}},
      Phase{Phase::Compute{2, {kernel(1, 9, {})}}},
  };
  return schedule;
}

using Words = std::array<std::uint32_t, 8>;
constexpr Words kEnd{255, 0, 0, 0, 0, 0, 0, 0};

std::vector<Words> words_of(const std::vector<EncodedTileCommand>& commands) {
  std::vector<Words> words;
  for (const auto& command : commands) words.push_back(command.words);
  return words;
}

TEST(TileCommands, ListsEveryTransferAndComputeOfTheTileInPhaseOrder) {
  const Schedule schedule = hand_made_schedule();
  struct Case {
    std::uint16_t tile;
    std::vector<Words> expected;
  };
  const Case cases[] = {
      {1,
       {{2, 0, 0, 3, 1, 0, 0, 0},
        {2, 1, 1, 4, 4, 0, 1, 2},
        {1, 2, 1, 5, 7, 1024, 0, 0},
        {2, 3, 2, 9, 0, 0, 0, 0},
        kEnd}},
      {5, {{2, 1, 1, 4, 2, 1, 2, 0}, {1, 2, 1, 5, 7, 1024, 0, 0}, kEnd}},
      {3, {{1, 2, 2, 3, 8, 64, 0, 0}, kEnd}},
      {63, {kEnd}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tile);
    const auto commands = schedule.tile_commands(c.tile);
    ASSERT_TRUE(commands.has_value()) << to_string(commands.error());
    EXPECT_EQ(words_of(*commands), c.expected);
  }
}

TEST(TileCommands, RejectsATileOutsideTheSchedule) {
  const auto commands = hand_made_schedule().tile_commands(64);
  ASSERT_FALSE(commands.has_value());
  EXPECT_EQ(commands.error(), (CompileError{CompileError::Graph{"tile 64 is out of range"}}));
  EXPECT_FALSE(Schedule{}.tile_commands(0).has_value());
}

TEST(TileCommands, RejectsAnIndexBeyondThirtyTwoBitsInsteadOfWrapping) {
  Schedule schedule;
  schedule.tile_count = 2;
  schedule.phases = {Phase{Phase::Exchange{{{0, 1, std::size_t{1} << 32, 16}}}}};
  const auto commands = schedule.tile_commands(1);
  ASSERT_FALSE(commands.has_value());
  EXPECT_EQ(commands.error(),
            (CompileError{CompileError::Graph{"tensor 4294967296 does not fit in a 32-bit command word"}}));
  // Only commands the tile takes part in are encoded, so tile 0 is unaffected by the oversized index.
  schedule.phases = {Phase{Phase::Compute{std::size_t{1} << 33, {kernel(1, 0, {})}}}};
  EXPECT_TRUE(schedule.tile_commands(0).has_value());
  EXPECT_EQ(schedule.tile_commands(1).error(),
            (CompileError{CompileError::Graph{"operation 8589934592 does not fit in a 32-bit command word"}}));
}

TEST(EncodedTileCommand, SerialisesWordsLittleEndian) {
  std::array<std::uint8_t, 32> end_bytes{};
  end_bytes[0] = 0xFF;
  EXPECT_EQ(EncodedTileCommand{kEnd}.to_le_bytes(), end_bytes);

  const EncodedTileCommand transfer{{1, 2, 1, 5, 7, 1024, 0, 0}};
  const std::array<std::uint8_t, 32> transfer_bytes{1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0,
                                                    7, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(transfer.to_le_bytes(), transfer_bytes);

  const EncodedTileCommand wide{{0x04030201, 0, 0, 0, 0, 0, 0, 0xA1B2C3D4}};
  const auto bytes = wide.to_le_bytes();
  EXPECT_EQ((std::array<std::uint8_t, 4>{bytes[0], bytes[1], bytes[2], bytes[3]}),
            (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ((std::array<std::uint8_t, 4>{bytes[28], bytes[29], bytes[30], bytes[31]}),
            (std::array<std::uint8_t, 4>{0xD4, 0xC3, 0xB2, 0xA1}));
}

}  // namespace
}  // namespace zarn_compiler
