#include "zarn_exchange/instruction_words.h"

namespace zarn_exchange {
namespace {

constexpr bool is_delay(std::uint32_t word) { return (word & 0xFFF80000u) == 0x40A00000u; }
constexpr bool is_pic_delay(std::uint32_t word) { return (word & 0xFC000000u) == 0x60000000u; }
constexpr bool is_xpic_delay(std::uint32_t word) { return (word & 0xFC000000u) == 0x64000000u; }
constexpr bool is_send(std::uint32_t word) { return (word & 0xF8000000u) == 0x78000000u; }
constexpr bool is_marked_pic_delay(std::uint32_t word) { return (word & 0xFC014000u) == 0x60014000u; }

}  // namespace

ExchangeResult<std::uint32_t> encode_send(std::uint32_t count_minus_one, std::uint32_t direction,
                                          std::uint32_t base_word) {
  if (count_minus_one > 63 || direction > 7 || base_word > 0x3FFFF) {
    return exchange_failure(ExchangeError::Schedule{"send instruction operand"});
  }
  return 0x78000000u | (count_minus_one << 21) | (base_word << 3) | direction;
}

ExchangeResult<void> set_instruction_advance(std::uint32_t& instruction, std::uint32_t advance) {
  if (advance == 0) return exchange_failure(ExchangeError::Schedule{"zero event advance"});
  const std::uint32_t immediate = advance - 1;
  if (is_delay(instruction)) {
    if (immediate > 0x7FFFF) return exchange_failure(ExchangeError::Schedule{"delay advance overflow"});
    instruction = (instruction & 0xFFF80000u) | immediate;
    return {};
  }
  if (is_pic_delay(instruction)) {
    if (immediate > 0x7F) return exchange_failure(ExchangeError::Schedule{"PIC delay advance overflow"});
    instruction = (instruction & 0xFC07FFFFu) | (immediate << 19);
    return {};
  }
  if (is_xpic_delay(instruction)) {
    if (immediate > 0xFFF) return exchange_failure(ExchangeError::Schedule{"XPIC delay advance overflow"});
    instruction = (instruction & 0xFC003FFFu) | (immediate << 14);
    return {};
  }
  return exchange_failure(ExchangeError::Schedule{"first scheduled event is not a delay"});
}

ExchangeResult<void> patch_sender_address(ExchangeRow& row, std::uint32_t byte_address) {
  // The send word's base field holds an 18-bit word address: byte addresses up to 0xFFFFC.
  if (byte_address % 4 != 0 || byte_address > 0xFFFFC) {
    return exchange_failure(ExchangeError::Address{byte_address});
  }
  const std::uint32_t word_address = byte_address / 4;
  for (auto& word : row) {
    if (!is_send(word)) continue;
    word = (word & 0xFFE00007u) | ((word_address << 3) & 0x1FFFF8u);
    return {};
  }
  return exchange_failure(ExchangeError::Address{byte_address});
}

ExchangeResult<void> patch_multicast_receiver_address(ExchangeRow& row, std::uint32_t byte_address) {
  if (byte_address < RECEIVE_WINDOW_BASE || byte_address % 4 != 0) {
    return exchange_failure(ExchangeError::Address{byte_address});
  }
  // The receiver's address field is a 13-bit word offset into the receive window.
  const std::uint32_t window_word = (byte_address - RECEIVE_WINDOW_BASE) / 4;
  if (window_word > 0x1FFF) return exchange_failure(ExchangeError::Address{byte_address});
  for (auto& word : row) {
    if (!is_marked_pic_delay(word)) continue;
    word = (word & 0xFFFFE000u) | window_word;
    return {};
  }
  return exchange_failure(ExchangeError::Address{byte_address});
}

ExchangeResult<void> validate_count(std::uint32_t count) {
  if (count == 0 || count > MAX_MULTICAST_COUNT) return exchange_failure(ExchangeError::Count{count});
  return {};
}

}  // namespace zarn_exchange
