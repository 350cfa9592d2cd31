#include "zarn_exchange/instruction_words.h"

#include <gtest/gtest.h>

#include <string>

#include "zarn_platform/format.h"

namespace zarn_exchange {
namespace {

using zarn_platform::format;
using zarn_platform::Hex;

ExchangeError schedule(std::string_view message) { return ExchangeError{ExchangeError::Schedule{message}}; }
ExchangeError address(std::uint32_t byte_address) { return ExchangeError{ExchangeError::Address{byte_address}}; }

TEST(InstructionWords, EncodersProduceExactWordsAndAdvances) {
  struct Case {
    std::string_view name;
    std::uint32_t word;
    std::uint32_t expected;
    std::uint32_t advance;
  };
  const Case cases[] = {
      {"delay(0)", delay(0), 0x40A00000, 1},
      {"delay(0x7FFFF)", delay(0x7FFFF), 0x40A7FFFF, 0x80000},
      {"delay(0x80000) drops the excess bit", delay(0x80000), 0x40A00000, 1},
      {"delay_pic(1, 0, 0)", delay_pic(1, 0, 0), 0x60080000, 2},
      {"marked delay_pic(0, 0, 0)", delay_pic(0, 0, 0) | RECEIVE_ADDRESS_MARK, 0x60014000, 1},
      {"delay_xpic(3, 0, 0)", delay_xpic(3, 0, 0), 0x6400C000, 4},
      {"delay_xpic(0, 0, 1600)", delay_xpic(0, 0, 1600), 0x64000640, 1},
      {"delay_xpic(0, 1, 0)", delay_xpic(0, 1, 0), 0x64002000, 1},
      {"send_off(0, 3, 0)", send_off(0, 3, 0), 0x70000003, 1},
      {"send_off(4083, 3, 0)", send_off(4083, 3, 0), 0x766FC003, 4084},
      {"send_off(4095, 0, 0)", send_off(4095, 0, 0), 0x77EFC000, 4096},
      {"row entry", EXCHANGE_ROW_ENTRY, 0x41800003, 0},
      {"row return", EXCHANGE_ROW_RETURN, 0x43A00000, 0},
      {"zero filler", 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name));
    EXPECT_EQ(c.word, c.expected) << Hex{c.word};
    EXPECT_EQ(instruction_advance(c.word), c.advance);
  }
}

TEST(InstructionWords, EncodersDropExcessFieldBitsIntoNoOtherField) {
  EXPECT_EQ(delay_pic(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF), 0x63FFFFFFu);
  EXPECT_EQ(delay_pic(0x80, 0x2, 0x40000), 0x60000000u);
  EXPECT_EQ(delay_xpic(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF), 0x67FFFFFFu);
  EXPECT_EQ(delay_xpic(0x1000, 0x2, 0x2000), 0x64000000u);
  EXPECT_EQ(send_off(0x1000, 8, 0x800), 0x70000000u);
}

TEST(InstructionWords, EncodeSendChecksEveryOperand) {
  struct Case {
    std::uint32_t count_minus_one, direction, base_word;
    ExchangeResult<std::uint32_t> expected;
    std::uint32_t advance;
  };
  const Case cases[] = {
      {3, 3, 0, 0x78600003u, 4},
      {63, 7, 0x3FFFF, 0x7FFFFFFFu, 64},
      {0, 0, 0, 0x78000000u, 1},
      {64, 0, 0, exchange_failure(ExchangeError::Schedule{"send instruction operand"}), 0},
      {0, 8, 0, exchange_failure(ExchangeError::Schedule{"send instruction operand"}), 0},
      {0, 0, 0x40000, exchange_failure(ExchangeError::Schedule{"send instruction operand"}), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format("encode_send({}, {}, {})", c.count_minus_one, c.direction, Hex{c.base_word}));
    const auto word = encode_send(c.count_minus_one, c.direction, c.base_word);
    EXPECT_EQ(word, c.expected);
    if (word) {
      EXPECT_EQ(instruction_advance(*word), c.advance);
    }
  }
}

TEST(InstructionWords, SetInstructionAdvanceRewritesOnlyTheAdvanceField) {
  struct Case {
    std::string_view name;
    std::uint32_t word;
    std::uint32_t advance;
    ExchangeResult<std::uint32_t> expected;  // the rewritten word, or the error
  };
  const Case cases[] = {
      {"delay to 4", delay(9), 4, delay(3)},
      {"delay to its longest", delay(0), 0x80000, 0x40A7FFFFu},
      {"delay beyond its field", delay(0), 0x80001, std::unexpected(schedule("delay advance overflow"))},
      {"PIC delay keeps bits 0..18", 0x60514005, 128, 0x63F94005u},
      {"PIC delay beyond its field", 0x60514005, 129, std::unexpected(schedule("PIC delay advance overflow"))},
      {"XPIC delay keeps its other fields", delay_xpic(3, 1, 1600), 4096, delay_xpic(4095, 1, 1600)},
      {"XPIC delay beyond its field", delay_xpic(3, 0, 0), 4097, std::unexpected(schedule("XPIC delay advance overflow"))},
      {"send", 0x78600003, 2, std::unexpected(schedule("first scheduled event is not a delay"))},
      {"send-off", send_off(5, 3, 0), 2, std::unexpected(schedule("first scheduled event is not a delay"))},
      {"row entry", EXCHANGE_ROW_ENTRY, 2, std::unexpected(schedule("first scheduled event is not a delay"))},
      {"zero advance on a delay", delay(9), 0, std::unexpected(schedule("zero event advance"))},
      {"zero advance on a send", 0x78600003, 0, std::unexpected(schedule("zero event advance"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name));
    std::uint32_t word = c.word;
    const auto result = set_instruction_advance(word, c.advance);
    if (c.expected) {
      ASSERT_TRUE(result.has_value()) << to_string(result.error());
      EXPECT_EQ(word, *c.expected) << Hex{word};
      EXPECT_EQ(instruction_advance(word), c.advance);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), c.expected.error());
      EXPECT_EQ(word, c.word) << "a failed rewrite leaves the word unchanged";
    }
  }
}

TEST(InstructionWords, PatchSenderAddressWritesTheFirstSendWordOnly) {
  const ExchangeRow row = {EXCHANGE_ROW_ENTRY, 0x78000003, 0x78000003, send_off(4, 3, 0), EXCHANGE_ROW_RETURN};
  const ExchangeRow without_send = {EXCHANGE_ROW_ENTRY, delay(3), send_off(4, 3, 0), EXCHANGE_ROW_RETURN};
  struct Case {
    std::uint32_t byte_address;
    ExchangeRow row;
    ExchangeResult<std::uint32_t> second_word;  // the patched send word, or the error
  };
  const Case cases[] = {
      {0x100, row, 0x78000203u},
      {0, row, 0x78000003u},
      {0xFFFFC, row, 0x781FFFFBu},
      {0x102, row, std::unexpected(address(258))},
      {0x100000, row, std::unexpected(address(1048576))},
      {0x100, without_send, std::unexpected(address(0x100))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format("address {}", Hex{c.byte_address}));
    ExchangeRow patched = c.row;
    const auto result = patch_sender_address(patched, c.byte_address);
    if (!c.second_word) {
      EXPECT_EQ(result, std::unexpected(c.second_word.error()));
      EXPECT_EQ(patched, c.row) << "a failed patch leaves the row unchanged";
      continue;
    }
    ASSERT_TRUE(result.has_value());
    ExchangeRow expected = c.row;
    expected[1] = *c.second_word;
    EXPECT_EQ(patched, expected);
  }
}

TEST(InstructionWords, PatchReceiverAddressAcceptsExactlyTheReceiveWindow) {
  const std::uint32_t marked = delay_pic(51, 0, 0) | RECEIVE_ADDRESS_MARK;
  const ExchangeRow row = {EXCHANGE_ROW_ENTRY, delay_xpic(3, 0, 2), delay_xpic(3, 0, 1600), marked,
                           marked, delay(8), EXCHANGE_ROW_RETURN};
  struct Case {
    std::uint32_t byte_address;
    ExchangeResult<std::uint32_t> window_word;
  };
  const Case cases[] = {
      {0x50000, 0u},
      {0x50004, 1u},
      {0x57FFC, 0x1FFFu},
      {0x4FFFC, std::unexpected(address(0x4FFFC))},
      {0x50002, std::unexpected(address(0x50002))},
      {0x58000, std::unexpected(address(0x58000))},
      {0xFFFFFFFC, std::unexpected(address(0xFFFFFFFC))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format("address {}", Hex{c.byte_address}));
    ExchangeRow patched = row;
    const auto result = patch_multicast_receiver_address(patched, c.byte_address);
    if (!c.window_word) {
      EXPECT_EQ(result, std::unexpected(c.window_word.error()));
      EXPECT_EQ(patched, row);
      continue;
    }
    ASSERT_TRUE(result.has_value());
    ExchangeRow expected = row;
    expected[3] = marked | *c.window_word;  // the first marked PIC delay only
    EXPECT_EQ(patched, expected);
  }
}

TEST(InstructionWords, PatchReceiverAddressNeedsBothMarkBits) {
  struct Case {
    std::string_view name;
    std::uint32_t pic_word;
  };
  const Case cases[] = {
      {"no mark", delay_pic(51, 0, 0)},
      {"bit 14 only", delay_pic(51, 0, 0x4000)},
      {"bit 16 only", delay_pic(51, 0, 0x10000)},
      {"marked XPIC delay", delay_xpic(51, 0, 0) | RECEIVE_ADDRESS_MARK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name));
    const ExchangeRow row = {EXCHANGE_ROW_ENTRY, c.pic_word, EXCHANGE_ROW_RETURN};
    ExchangeRow patched = row;
    EXPECT_EQ(patch_multicast_receiver_address(patched, 0x50000), std::unexpected(address(0x50000)));
    EXPECT_EQ(patched, row);
  }
}

TEST(InstructionWords, ValidateCountAcceptsOneTo4148Words) {
  struct Case {
    std::uint32_t count;
    bool valid;
  };
  const Case cases[] = {{0, false}, {1, true}, {4148, true}, {4149, false}, {0xFFFFFFFF, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(format("count {}", c.count));
    const auto result = validate_count(c.count);
    if (c.valid) {
      EXPECT_TRUE(result.has_value());
    } else {
      EXPECT_EQ(result, std::unexpected(ExchangeError{ExchangeError::Count{c.count}}));
    }
  }
}

}  // namespace
}  // namespace zarn_exchange
