#pragma once
/// Checks shared by the exchange scenarios.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "zarn_compiler/lowered_exchange.h"
#include "zarn_exchange/instruction_words.h"
#include "zarn_exchange/row_program.h"

namespace zarn_selfcheck {

/// How often `word` occurs in `words`.
inline std::size_t occurrences(const std::vector<std::uint32_t>& words, std::uint32_t word) {
  return static_cast<std::size_t>(std::count(words.begin(), words.end(), word));
}

/// A program that one tile runs for a whole launch: exactly one entry word, first, exactly one return
/// word, last, and lasting exactly `cycles`.
inline void expect_launch_program(const std::vector<std::uint32_t>& program, std::uint64_t cycles) {
  ASSERT_GE(program.size(), 2u);
  EXPECT_EQ(program.front(), zarn_exchange::EXCHANGE_ROW_ENTRY);
  EXPECT_EQ(program.back(), zarn_exchange::EXCHANGE_ROW_RETURN);
  EXPECT_EQ(occurrences(program, zarn_exchange::EXCHANGE_ROW_ENTRY), 1u);
  EXPECT_EQ(occurrences(program, zarn_exchange::EXCHANGE_ROW_RETURN), 1u);
  const auto length = zarn_exchange::plan_event_cycles(program);
  ASSERT_TRUE(length.has_value());
  EXPECT_EQ(*length, cycles);
}

/// Every tile program of the epoch is a launch program ending at the epoch's estimated cycles.
inline void expect_programs_end_together(const zarn_compiler::LoweredExchangeEpoch& epoch) {
  for (const auto& [tile, program] : epoch.tile_rows) {
    SCOPED_TRACE(testing::Message() << "tile " << tile);
    expect_launch_program(program, epoch.cost.estimated_cycles);
  }
}

}  // namespace zarn_selfcheck
