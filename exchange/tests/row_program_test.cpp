#include "zarn_exchange/row_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "zarn_exchange/multicast.h"
#include "zarn_platform/format.h"

namespace zarn_exchange {
namespace {

using zarn_platform::format;
using zarn_platform::Hex;
using Words = std::vector<std::uint32_t>;

constexpr std::uint32_t E = EXCHANGE_ROW_ENTRY;
constexpr std::uint32_t R = EXCHANGE_ROW_RETURN;
constexpr std::uint32_t LONGEST_DELAY = 0x40A7FFFF;  // delay(0x7FFFF), 0x80000 cycles

ExchangeError schedule(std::string_view message) { return ExchangeError{ExchangeError::Schedule{message}}; }

// The cycle at which the timed word at `index` starts on the program's timeline.
std::uint32_t start_cycle_of(const Words& words, std::size_t index) {
  std::uint32_t cycle = 0;
  for (std::size_t position = 0; position < index; ++position) cycle += instruction_advance(words[position]);
  return cycle;
}

class RowProgramTest : public ::testing::Test {
 protected:
  ExchangeRow sender_row(std::uint16_t sender, std::vector<std::uint16_t> receivers, std::uint32_t count,
                         std::uint32_t offset) const {
    const auto plan = topology.multicast(sender, receivers, count, offset);
    EXPECT_TRUE(plan.has_value());
    return plan->sender;
  }
  ExchangeRow receiver_row(std::uint16_t sender, std::vector<std::uint16_t> receivers, std::uint32_t count,
                           std::uint32_t offset, std::size_t index) const {
    const auto plan = topology.multicast(sender, receivers, count, offset);
    EXPECT_TRUE(plan.has_value());
    return plan->receivers.at(index);
  }
  static PlanProgramBuilder builder_with(const std::vector<ExchangeRow>& rows) {
    PlanProgramBuilder builder;
    for (const auto& row : rows) EXPECT_TRUE(builder.append_scheduled_row(row).has_value());
    return builder;
  }

  const Topology topology = Topology::k1472();
};

TEST_F(RowProgramTest, FinishPadsTheProgramToExactlyTheHorizon) {
  struct Case {
    std::uint32_t horizon;
    Words program;
  };
  const Case cases[] = {
      {0, {E, R}},
      {5, {E, 0x40A00004, R}},
      // One delay word lasts at most 0x80000 cycles; longer padding takes several.
      {0x80000, {E, LONGEST_DELAY, R}},
      {0x80001, {E, LONGEST_DELAY, delay(0), R}},
      {0x100000, {E, LONGEST_DELAY, LONGEST_DELAY, R}},
      {0x100005, {E, LONGEST_DELAY, LONGEST_DELAY, delay(4), R}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format("horizon {}", Hex{c.horizon}));
    const auto program = PlanProgramBuilder{}.finish(c.horizon);
    ASSERT_TRUE(program.has_value());
    EXPECT_EQ(*program, c.program);
    EXPECT_EQ(plan_event_cycles(*program), c.horizon);
  }
}

TEST_F(RowProgramTest, FinishSplitsLongPaddingAfterTimedRows) {
  auto builder = builder_with({receiver_row(0, {1, 2}, 4, 0, 0)});  // 65 cycles
  Words expected = builder.words;
  expected.insert(expected.end(), {LONGEST_DELAY, delay(2), R});
  EXPECT_EQ(std::move(builder).finish(65 + 0x80000 + 3), expected);

  // The largest horizon: 0xFFFFFFFF - 65 cycles of padding, that is 8191 full-length delays and one
  // of 0x80000 - 66 cycles.
  builder = builder_with({receiver_row(0, {1, 2}, 4, 0, 0)});
  const std::size_t body_end = builder.words.size();
  const auto program = std::move(builder).finish(0xFFFFFFFF);
  ASSERT_TRUE(program.has_value());
  EXPECT_EQ(plan_event_cycles(*program), 0xFFFFFFFFu);
  ASSERT_EQ(program->size(), body_end + 8192 + 1);
  EXPECT_EQ(std::count(program->begin(), program->end(), E), 1);
  EXPECT_EQ(std::count(program->begin(), program->end(), R), 1);
  EXPECT_EQ(std::count(program->begin(), program->end(), LONGEST_DELAY), 8191);
  EXPECT_EQ(program->rbegin()[1], delay(0x80000 - 66 - 1));
  EXPECT_EQ(program->back(), R);
}

TEST_F(RowProgramTest, FinishRefusesAHorizonBeforeTheLastEvent) {
  auto builder = builder_with({receiver_row(0, {1, 2}, 4, 0, 0)});
  ASSERT_EQ(builder.event_cycles, 65u);
  const Words body = builder.words;
  EXPECT_EQ(PlanProgramBuilder(builder).finish(64), exchange_failure(ExchangeError::Schedule{"plan horizon precedes tile events"}));
  auto program = std::move(builder).finish(65);
  ASSERT_TRUE(program.has_value());
  Words expected = body;
  expected.push_back(R);  // equal horizon: the return word only
  EXPECT_EQ(*program, expected);
}

// Receiver 1 of multicast(0, [1, 2], 4, 0) lasts 65 cycles; tile 1 then sends to tile 2 with
// multicast(1, [2], 4, offset), whose send is issued at cycle 31 + offset of the launch.
TEST_F(RowProgramTest, LaterRolesKeepTheirLaunchCycles) {
  const ExchangeRow receiving = receiver_row(0, {1, 2}, 4, 0, 0);
  PlanProgramBuilder builder;
  ASSERT_TRUE(builder.append_scheduled_row(receiving).has_value());
  EXPECT_EQ(builder.words, (Words{E, 0x6400C000, 0x6400C640, 0x61794000, 0x40A00008}));
  EXPECT_EQ(builder.event_cycles, 65u);

  struct Case {
    std::uint32_t offset;
    std::optional<Words> added;  // nullopt: refused as overlapping
    std::uint32_t event_cycles;
  };
  const Case cases[] = {
      {0, std::nullopt, 65},   // send at cycle 31, inside the receiving role
      {34, std::nullopt, 65},  // send at cycle 65, the receiving role's last cycle
      {35, Words{0x40A00000, 0x78600003}, 70},
      {40, Words{delay(5), 0x78600003}, 75},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format("offset {}", c.offset));
    PlanProgramBuilder merged = builder;
    const auto appended = merged.append_scheduled_row(sender_row(1, {2}, 4, c.offset));
    if (!c.added) {
      EXPECT_EQ(appended, exchange_failure(ExchangeError::Schedule{"overlapping tile exchange roles"}));
      EXPECT_EQ(merged, builder) << "a refused row leaves the builder unchanged";
      continue;
    }
    ASSERT_TRUE(appended.has_value()) << to_string(appended.error());
    Words expected = builder.words;
    expected.insert(expected.end(), c.added->begin(), c.added->end());
    EXPECT_EQ(merged.words, expected);
    EXPECT_EQ(merged.event_cycles, c.event_cycles);
    EXPECT_EQ(start_cycle_of(merged.words, merged.words.size() - 1), 31 + c.offset) << "the send's launch cycle";
  }

  PlanProgramBuilder merged = builder;
  ASSERT_TRUE(merged.append_scheduled_row(sender_row(1, {2}, 4, 35)).has_value());
  const auto program = std::move(merged).finish(73);
  ASSERT_TRUE(program.has_value());
  EXPECT_EQ(*program, (Words{E, 0x6400C000, 0x6400C640, 0x61794000, 0x40A00008, 0x40A00000, 0x78600003, 0x40A00002, R}));
  EXPECT_EQ(plan_event_cycles(*program), 73u);
}

TEST_F(RowProgramTest, AppendShortensTheFirstTimedWordOfEveryDelayKind) {
  const ExchangeRow six_cycle_sender = sender_row(7, {736}, 2, 0);  // send at 0, row lasts 6 cycles
  ASSERT_EQ(builder_with({six_cycle_sender}).event_cycles, 6u);
  struct Case {
    std::string_view name;
    ExchangeRow row;
    Words added;
    std::uint32_t event_cycles;
  };
  const std::uint32_t marked_pic_20 = delay_pic(20, 0, 0) | RECEIVE_ADDRESS_MARK;
  const Case cases[] = {
      // Receiver 2 of multicast(0, [1, 2], 4, 10): receive cycle 10, board row 1.
      {"XPIC delay",
       receiver_row(0, {1, 2}, 4, 10, 1),
       {delay_xpic(4, 0, 0), 0x6400C640, 0x61894000, 0x40A00008},
       10 + 4 + 2 + 58},
      {"marked PIC delay", {E, marked_pic_20, R}, {delay_pic(14, 0, 0) | RECEIVE_ADDRESS_MARK}, 21},
      {"delay after untimed words", {E, 0, 0, delay(9), 0x78600003, R}, {0, 0, delay(3), 0x78600003}, 14},
      {"words after the return are not copied", {E, delay(9), R, delay(100), R}, {delay(3)}, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name));
    auto builder = builder_with({six_cycle_sender});
    Words expected = builder.words;
    expected.insert(expected.end(), c.added.begin(), c.added.end());
    ASSERT_TRUE(builder.append_scheduled_row(c.row).has_value());
    EXPECT_EQ(builder.words, expected);
    EXPECT_EQ(builder.event_cycles, c.event_cycles);
    EXPECT_EQ(plan_event_cycles(builder.words), builder.event_cycles);
  }
}

TEST_F(RowProgramTest, AppendRefusesMalformedAndUntimeableRows) {
  const ExchangeRow one_cycle = {E, delay(0), R};
  const ExchangeRow two_cycles = {E, delay(1), R};
  const ExchangeRow untimed = {E, 0, 0, R};
  const ExchangeRow send_at_zero = sender_row(7, {736}, 2, 0);  // its two-word send comes first
  struct Case {
    std::string_view name;
    std::vector<ExchangeRow> before;
    ExchangeRow row;
    std::optional<std::string_view> failure;
  };
  const Case cases[] = {
      {"no entry word", {}, {0, delay(3), R}, "exchange row entry"},
      {"return word as entry", {}, {R, delay(3), R}, "exchange row entry"},
      {"no return word", {}, {E, delay(3), 0x78600003, 0, 0, 0, 0, 0, 0}, "exchange row return"},
      {"untimed body first", {}, untimed, std::nullopt},
      {"empty body first", {}, {E, R}, std::nullopt},
      {"untimed body later", {one_cycle}, untimed, "exchange row has no timed event"},
      {"empty body later", {one_cycle}, {E, R}, "exchange row has no timed event"},
      {"send longer than the program", {one_cycle}, send_at_zero, "first scheduled event is not a delay"},
      {"send as long as the program", {two_cycles}, send_at_zero, "overlapping tile exchange roles"},
      {"untimed rows time nothing", {untimed}, send_at_zero, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name));
    auto builder = builder_with(c.before);
    const PlanProgramBuilder before = builder;
    const auto appended = builder.append_scheduled_row(c.row);
    if (c.failure) {
      EXPECT_EQ(appended, exchange_failure(ExchangeError::Schedule{*c.failure}));
      EXPECT_EQ(builder, before) << "a refused row leaves the builder unchanged";
    } else {
      EXPECT_TRUE(appended.has_value()) << to_string(appended.error());
      EXPECT_EQ(plan_event_cycles(builder.words), builder.event_cycles);
    }
  }
}

TEST_F(RowProgramTest, PlanEventCyclesSumsAdvancesWithoutWrapping) {
  Words longest(8191, LONGEST_DELAY);  // 0xFFF80000 cycles
  Words at_limit = longest;
  at_limit.push_back(delay(0x7FFFE));  // 0xFFFFFFFF
  Words beyond = at_limit;
  beyond.push_back(delay(0));
  struct Case {
    std::string_view name;
    Words words;
    ExchangeResult<std::uint32_t> expected;
  };
  const Case cases[] = {
      {"empty", {}, 0u},
      {"entry and return", {E, R}, 0u},
      {"a receiver row", Words{E, 0x6400C000, 0x6400C640, 0x61794000, 0x40A00008, R, 0, 0, 0}, 65u},
      {"largest total", at_limit, 0xFFFFFFFFu},
      {"one cycle too many", beyond, std::unexpected(schedule("plan event horizon overflow"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name));
    EXPECT_EQ(plan_event_cycles(c.words), c.expected);
  }
}

}  // namespace
}  // namespace zarn_exchange
