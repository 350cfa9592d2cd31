#pragma once
/// Exchange instruction words: the bit layout of every word kind the exchange library emits, the
/// event advance of a word on the tile's exchange timeline, the address patches applied to finished
/// rows, and the bound on a multicast's word count.
///
/// Everything here is pure: plain 32-bit values in and out, or one word / one row changed in place.
/// Nothing allocates, logs or keeps state. A failing rewrite or patch leaves its word or row as it was.

#include <array>
#include <cstddef>
#include <cstdint>

#include "zarn_exchange/error.h"

namespace zarn_exchange {

/// One exchange row: exactly nine words. The rows the library builds hold the row entry word, the
/// body, the row return word, then zero words up to the ninth.
inline constexpr std::size_t EXCHANGE_ROW_WORDS = 9;
using ExchangeRow = std::array<std::uint32_t, EXCHANGE_ROW_WORDS>;

/// First word of every exchange row and of every finished per-tile program.
inline constexpr std::uint32_t EXCHANGE_ROW_ENTRY = 0x41800003;
/// Last word of every exchange row body and of every finished per-tile program.
inline constexpr std::uint32_t EXCHANGE_ROW_RETURN = 0x43A00000;

/// Bits 14 and 16 of a PIC delay's `c` field: this PIC delay carries the receiver's SRAM address
/// (bits 0..12 of `c`, a word offset into the receive window).
inline constexpr std::uint32_t RECEIVE_ADDRESS_MARK = 0x14000;

/// The receive window: the SRAM byte addresses a receiver row can write, first and last word.
inline constexpr std::uint32_t RECEIVE_WINDOW_BASE = 0x50000;
inline constexpr std::uint32_t RECEIVE_WINDOW_LAST = 0x57FFC;

/// The largest word count one multicast accepts: 4095 + 53, where the receiver's XPIC count field
/// (count - 53) reaches its 12-bit maximum.
inline constexpr std::uint32_t MAX_MULTICAST_COUNT = 4148;

/// Delay word 0x40A00000 | cycles (19 bits); lasts `cycles` + 1 cycles. Excess bits are dropped.
constexpr std::uint32_t delay(std::uint32_t cycles) { return 0x40A00000u | (cycles & 0x7FFFFu); }

/// PIC delay word 0x60000000 | a (bits 19..25, advance - 1) | b (bit 18) | c (bits 0..17).
/// Excess bits of every field are dropped.
constexpr std::uint32_t delay_pic(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  return 0x60000000u | ((a << 19) & 0x3F80000u) | ((b << 18) & 0x40000u) | (c & 0x3FFFFu);
}

/// XPIC delay word 0x64000000 | a (bits 14..25, advance - 1) | b (bit 13) | c (bits 0..12).
/// Excess bits of every field are dropped.
constexpr std::uint32_t delay_xpic(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  return 0x64000000u | ((a << 14) & 0x3FFC000u) | ((b << 13) & 0x2000u) | (c & 0x1FFFu);
}

/// Send-off word 0x70000000: the 12-bit `count_minus_one` split over bits 21..26 (low six bits)
/// and 14..19 (high six bits), `base_word` in bits 3..13 (11 bits), `direction` in bits 0..2.
/// Lasts `count_minus_one` + 1 cycles. Excess bits are dropped; no checks.
constexpr std::uint32_t send_off(std::uint32_t count_minus_one, std::uint32_t direction, std::uint32_t base_word) {
  return 0x70000000u | ((count_minus_one << 21) & 0x7E00000u) | (((count_minus_one >> 6) << 14) & 0xFC000u) |
         ((base_word << 3) & 0x3FF8u) | (direction & 7u);
}

/// Send word 0x78000000 | count_minus_one (bits 21..26) | base_word (bits 3..20, a word address) |
/// direction (bits 0..2); lasts `count_minus_one` + 1 cycles. Fails with Schedule "send instruction
/// operand" when an operand does not fit its field (count_minus_one > 63, direction > 7,
/// base_word > 0x3FFFF).
ExchangeResult<std::uint32_t> encode_send(std::uint32_t count_minus_one, std::uint32_t direction,
                                          std::uint32_t base_word);

/// The cycles a word takes on the exchange timeline (its event advance); 0 for untimed words such as
/// the row entry, the row return and the zero filler. Checked in this order: delay, PIC delay, XPIC
/// delay, send-off, send.
constexpr std::uint32_t instruction_advance(std::uint32_t instruction) {
  if ((instruction & 0xFFF80000u) == 0x40A00000u) return (instruction & 0x7FFFFu) + 1;
  if ((instruction & 0xFC000000u) == 0x60000000u) return ((instruction >> 19) & 0x7Fu) + 1;
  if ((instruction & 0xFC000000u) == 0x64000000u) return ((instruction >> 14) & 0xFFFu) + 1;
  if ((instruction & 0xF8000000u) == 0x70000000u) {
    return (((instruction >> 21) & 63u) | (((instruction >> 14) & 63u) << 6)) + 1;
  }
  if ((instruction & 0xF8000000u) == 0x78000000u) return ((instruction >> 21) & 63u) + 1;
  return 0;
}

/// Rewrites the advance field of a delay, PIC delay or XPIC delay word so that it lasts `advance`
/// cycles, keeping every other bit. Fails with Schedule "zero event advance" (advance 0), "delay
/// advance overflow" / "PIC delay advance overflow" / "XPIC delay advance overflow" (advance - 1 does
/// not fit the 19-, 7- or 12-bit field) or "first scheduled event is not a delay" (any other word).
ExchangeResult<void> set_instruction_advance(std::uint32_t& instruction, std::uint32_t advance);

/// Writes the sender's SRAM source address into the first send word of `row` (its 18-bit word
/// address field); later send and send-off words are left alone. Fails with Address(byte_address)
/// when the address is not a multiple of 4, exceeds 0xFFFFC, or the row holds no send word.
ExchangeResult<void> patch_sender_address(ExchangeRow& row, std::uint32_t byte_address);

/// Writes the receiver's SRAM destination address, as a word offset into the receive window, into
/// the first PIC delay word of `row` that carries RECEIVE_ADDRESS_MARK. Fails with
/// Address(byte_address) unless the address is an aligned address of the receive window
/// (0x50000..0x57FFC), or when the row holds no marked PIC delay.
ExchangeResult<void> patch_multicast_receiver_address(ExchangeRow& row, std::uint32_t byte_address);

/// Succeeds when 1 <= count <= MAX_MULTICAST_COUNT, else fails with Count(count).
ExchangeResult<void> validate_count(std::uint32_t count);

}  // namespace zarn_exchange
