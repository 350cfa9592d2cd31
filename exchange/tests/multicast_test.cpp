#include "zarn_exchange/multicast.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "zarn_platform/format.h"
#include "zarn_platform/log_capture.h"

namespace zarn_exchange {
namespace {

using zarn_platform::format;
using zarn_platform::ListOf;

// Cycles between a row's entry and return words: untimed words (entry, return, zero) add nothing.
std::uint32_t row_cycles(const ExchangeRow& row) {
  std::uint32_t cycles = 0;
  for (const auto word : row) cycles += instruction_advance(word);
  return cycles;
}

class MulticastTest : public ::testing::Test {
 protected:
  const Topology topology = Topology::k1472();
};

TEST_F(MulticastTest, WorkedExamplesGiveExactRows) {
  struct Case {
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t count;
    std::optional<ExchangeRow> sender_row;                // checked when given
    std::optional<std::vector<ExchangeRow>> receiver_rows;  // checked when given
  };
  const Case cases[] = {
      // Mux times -28 and -31: the send is issued at cycle 31.
      {0,
       {1, 2},
       4,
       ExchangeRow{0x41800003, 0x40A0001E, 0x78600003, 0x43A00000},
       std::vector<ExchangeRow>{
           {0x41800003, 0x6400C000, 0x6400C640, 0x61794000, 0x40A00008, 0x43A00000},
           {0x41800003, 0x64000000, 0x6400C640, 0x61894000, 0x40A00008, 0x43A00000},
       }},
      // Mux time 2: the send is issued at cycle 0, with no leading delay and a trailing delay(3).
      {7,
       {736},
       2,
       ExchangeRow{0x41800003, 0x78200003, 0x40A00003, 0x43A00000},
       std::vector<ExchangeRow>{{0x41800003, 0x640080C2, 0x64004640, 0x61894000, 0x40A00006, 0x43A00000}}},
      {0,
       {1},
       52,
       std::nullopt,
       std::vector<ExchangeRow>{{0x41800003, 0x64000000, 0x61914000, 0x64000640, 0x40A00038, 0x43A00000}}},
      {0,
       {1},
       53,
       std::nullopt,
       std::vector<ExchangeRow>{{0x41800003, 0x64000000, 0x61994000, 0x64000640, 0x40A00038, 0x43A00000}}},
      // Beyond 64 words the send word carries 64 and a send-off word the rest.
      {0, {1}, 65, ExchangeRow{0x41800003, 0x40A0001B, 0x7FE00003, 0x70000003, 0x43A00000}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format("multicast({}, {}, {}, 0)", c.sender, ListOf{c.receivers}, c.count));
    const auto plan = topology.multicast(c.sender, c.receivers, c.count, 0);
    ASSERT_TRUE(plan.has_value()) << to_string(plan.error());
    if (c.sender_row) {
      EXPECT_EQ(plan->sender, *c.sender_row);
    }
    ASSERT_EQ(plan->receivers.size(), c.receivers.size());
    if (c.receiver_rows) {
      EXPECT_EQ(plan->receivers, *c.receiver_rows);
    }
  }
}

TEST_F(MulticastTest, RowLengthsFollowTheTimingFormulas) {
  struct Case {
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t count;
    std::uint32_t sender_cycles;
    std::vector<std::uint32_t> receiver_cycles;
  };
  // Sender 0 to receivers 1 and 2: send at cycle 31, receive cycles 3 and 0, board rows 0 and 1.
  std::vector<Case> cases;
  for (const std::uint32_t count : {1u, 4u, 51u, 52u, 53u, 64u, 65u, 4148u}) {
    cases.push_back({0, {1, 2}, count, 31 + count, {61 + count, 60 + count}});
  }
  // A send at cycle 0 of two words still lasts six cycles; receive cycle 2, board row 0.
  cases.push_back({7, {736}, 2, 6, {2 + 2 + 0 + 58}});
  for (const auto& c : cases) {
    SCOPED_TRACE(format("multicast({}, {}, {}, 0)", c.sender, ListOf{c.receivers}, c.count));
    const auto plan = topology.multicast(c.sender, c.receivers, c.count, 0);
    ASSERT_TRUE(plan.has_value()) << to_string(plan.error());
    EXPECT_EQ(row_cycles(plan->sender), c.sender_cycles);
    ASSERT_EQ(plan->receivers.size(), c.receiver_cycles.size());
    for (std::size_t index = 0; index < c.receiver_cycles.size(); ++index) {
      EXPECT_EQ(row_cycles(plan->receivers[index]), c.receiver_cycles[index]) << "receiver " << index;
    }
  }
}

// Random senders, receiver sets, counts and offsets: every row is well formed, patchable, and lasts
// as long as the timing model says.
TEST_F(MulticastTest, SeededSampleFollowsTheTimingModel) {
  std::mt19937 random(0x5eed1472);
  const auto below = [&](std::uint32_t bound) { return static_cast<std::uint32_t>(random() % bound); };
  for (int trial = 0; trial < 400; ++trial) {
    const auto sender = static_cast<std::uint16_t>(below(1472));
    std::vector<std::uint16_t> receivers;
    const std::uint32_t receiver_count = trial % 20 == 0 ? 300 : 1 + below(8);
    while (receivers.size() < receiver_count) {
      const auto receiver = static_cast<std::uint16_t>(below(1472));
      if (receiver == sender || std::find(receivers.begin(), receivers.end(), receiver) != receivers.end()) continue;
      receivers.push_back(receiver);
    }
    const std::uint32_t interesting_counts[] = {1, 2, 5, 51, 52, 53, 64, 65, 4148};
    const std::uint32_t count = trial % 3 == 0 ? interesting_counts[below(9)] : 1 + below(4148);
    // Natural start at most 78 and mux time at most 112: offsets up to 3900 always fit 4095.
    const std::uint32_t offset = trial % 4 == 0 ? 3900 - below(50) : below(200);
    SCOPED_TRACE(format("trial {}: multicast({}, {} receivers, {}, {})", trial, sender, receivers.size(), count, offset));

    const std::uint32_t source = topology.logical_to_physical[sender];
    std::int32_t minimum_mux = 0;
    for (const auto receiver : receivers) {
      minimum_mux = std::min(minimum_mux, time_to_mux(source, topology.logical_to_physical[receiver]));
    }
    const std::uint32_t start_cycle = static_cast<std::uint32_t>(-minimum_mux) + offset;

    auto plan = topology.multicast(sender, receivers, count, offset);
    ASSERT_TRUE(plan.has_value()) << to_string(plan.error());
    ASSERT_EQ(plan->receivers.size(), receivers.size());

    EXPECT_EQ(row_cycles(plan->sender), std::max(start_cycle + count, 6u));
    EXPECT_TRUE(patch_sender_address(plan->sender, 0x100).has_value());
    for (std::size_t index = 0; index < receivers.size(); ++index) {
      const std::uint32_t destination = topology.logical_to_physical[receivers[index]];
      const auto receive_cycle = static_cast<std::uint32_t>(static_cast<std::int32_t>(start_cycle) +
                                                            time_to_mux(source, destination));
      const std::uint32_t receiver_phase = (destination >> 6) * 2;
      auto& row = plan->receivers[index];
      EXPECT_EQ(row_cycles(row), receive_cycle + count + receiver_phase + 58) << "receiver " << index;
      EXPECT_EQ(row[1], delay_xpic(receive_cycle, 0, source)) << "receiver " << index;
      EXPECT_TRUE(patch_multicast_receiver_address(row, 0x57FFC).has_value());
    }
    for (const auto* row : {&plan->sender, &plan->receivers.front()}) {
      const auto return_word = std::find(row->begin(), row->end(), EXCHANGE_ROW_RETURN);
      EXPECT_EQ((*row)[0], EXCHANGE_ROW_ENTRY);
      ASSERT_NE(return_word, row->end());
      EXPECT_TRUE(std::all_of(return_word + 1, row->end(), [](std::uint32_t word) { return word == 0; }));
    }
  }
}

TEST_F(MulticastTest, LatestStartAndReceiveCycleIs4095) {
  struct Case {
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t offset;
    std::optional<std::string_view> failure;
  };
  const Case cases[] = {
      {0, {1, 2}, 4064, std::nullopt},  // start cycle 4095
      {0, {1, 2}, 4065, "multicast start cycle"},
      {0, {1, 2}, 0xFFFFFFFF, "multicast start cycle"},  // natural start + offset overflows 32 bits
      {7, {736}, 4093, std::nullopt},  // receive cycle 4095
      {7, {736}, 4094, "multicast receive cycle"},
      {7, {736}, 0xFFFFFFFF, "multicast start cycle"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format("multicast({}, {}, 2, {})", c.sender, ListOf{c.receivers}, c.offset));
    const auto plan = topology.multicast(c.sender, c.receivers, 2, c.offset);
    if (c.failure) {
      EXPECT_EQ(plan, exchange_failure(ExchangeError::Schedule{*c.failure}));
    } else {
      EXPECT_TRUE(plan.has_value()) << to_string(plan.error());
    }
  }
  const std::vector<std::uint16_t> two_receivers = {1, 2};
  EXPECT_EQ(topology.multicast(0, two_receivers, 2, 4064)->sender[1], delay(4094));
  const std::vector<std::uint16_t> far_receiver = {736};
  EXPECT_EQ(topology.multicast(7, far_receiver, 2, 4093)->receivers[0][1], delay_xpic(4095, 0, 194));
}

TEST_F(MulticastTest, RefusesBadCountsTilesAndReceiverSetsInThatOrder) {
  const ExchangeError receiver_set{ExchangeError::ReceiverSet{}};
  struct Case {
    std::string_view name;
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t count;
    std::uint32_t offset;
    ExchangeError error;
  };
  const Case cases[] = {
      {"no words", 0, {1}, 0, 0, {ExchangeError::Count{0}}},
      {"too many words", 0, {1}, 4149, 0, {ExchangeError::Count{4149}}},
      {"sender beyond the board", 1472, {1}, 4, 0, {ExchangeError::Tile{1472}}},
      {"no receivers", 0, {}, 4, 0, receiver_set},
      {"sender receives", 0, {0}, 4, 0, receiver_set},
      {"sender receives after others", 5, {1, 2, 5}, 4, 0, receiver_set},
      {"receiver listed twice", 0, {1, 1}, 4, 0, receiver_set},
      {"receiver listed twice apart", 0, {1, 2, 3, 1}, 4, 0, receiver_set},
      {"receiver beyond the board", 0, {1472}, 4, 0, receiver_set},
      {"last receiver beyond the board", 0, {1, 65535}, 4, 0, receiver_set},
      {"count before sender", 1472, {}, 0, 0, {ExchangeError::Count{0}}},
      {"sender before receivers", 1472, {}, 4, 0, {ExchangeError::Tile{1472}}},
      {"receivers before timing", 0, {1, 1}, 4, 0xFFFFFFFF, receiver_set},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name));
    EXPECT_EQ(topology.multicast(c.sender, c.receivers, c.count, c.offset), std::unexpected(c.error));
  }
}

TEST_F(MulticastTest, ReachesEveryOtherTileOfTheBoard) {
  std::vector<std::uint16_t> receivers;
  for (std::uint16_t tile = 1471; tile > 0; --tile) receivers.push_back(tile);
  const auto plan = topology.multicast(0, receivers, 16, 0);
  ASSERT_TRUE(plan.has_value()) << to_string(plan.error());
  EXPECT_EQ(plan->receivers.size(), 1471u);

  receivers.push_back(1471);
  EXPECT_EQ(topology.multicast(0, receivers, 16, 0), exchange_failure(ExchangeError::ReceiverSet{}));
}

TEST_F(MulticastTest, LogsOneEventOnSuccessOnly) {
  const zarn_platform::LogCapture capture;
  const std::vector<std::uint16_t> receivers = {1, 2};
  ASSERT_TRUE(topology.multicast(0, receivers, 4, 17).has_value());
  ASSERT_FALSE(topology.multicast(0, receivers, 4, 4065).has_value());
  ASSERT_FALSE(topology.multicast(0, receivers, 0, 0).has_value());

  const std::vector<zarn_platform::RecordedLogEvent> expected = {
      {zarn_platform::LogLevel::Debug,
       "zarn_exchange",
       "assembled multicast exchange",
       {{"sender_logical", std::uint64_t{0}},
        {"receivers", std::uint64_t{2}},
        {"count", std::uint64_t{4}},
        {"schedule_offset", std::uint64_t{17}}}},
  };
  EXPECT_EQ(capture.events(), expected);
}

}  // namespace
}  // namespace zarn_exchange
