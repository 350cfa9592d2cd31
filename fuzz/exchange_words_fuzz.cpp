// Fuzz target: raw exchange words and rows through the word functions and the row program builder.
//
// The input is read as a little-endian stream of 32-bit words. The first word picks the operation;
// the rest feed it. Every documented postcondition is checked; a violation aborts.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "zarn_exchange/instruction_words.h"
#include "zarn_exchange/row_program.h"

namespace {

using namespace zarn_exchange;

void require(bool condition) {
  if (!condition) std::abort();
}

struct WordStream {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t offset = 0;

  bool empty() const { return offset + 4 > size; }
  std::uint32_t next() {
    std::uint32_t word = 0;
    if (offset + 4 <= size) std::memcpy(&word, data + offset, 4);
    offset += 4;
    return word;
  }
  ExchangeRow row() {
    ExchangeRow words{};
    for (auto& word : words) word = next();
    return words;
  }
};

void fuzz_advance(WordStream& in) {
  std::uint32_t word = in.next();
  const std::uint32_t before = word;
  const std::uint32_t advance = in.next();
  if (set_instruction_advance(word, advance)) {
    require(instruction_advance(word) == advance);
  } else {
    require(word == before);
  }
}

void fuzz_sender_patch(WordStream& in) {
  ExchangeRow row = in.row();
  const ExchangeRow before = row;
  const std::uint32_t address = in.next();
  if (patch_sender_address(row, address)) {
    std::size_t changed = 0;
    for (std::size_t i = 0; i < row.size(); ++i) changed += row[i] != before[i] ? 1u : 0u;
    require(changed <= 1);
    require(address % 4 == 0 && address <= 0xFFFFC);
  } else {
    require(row == before);
  }
}

void fuzz_receiver_patch(WordStream& in) {
  ExchangeRow row = in.row();
  const ExchangeRow before = row;
  const std::uint32_t address = in.next();
  if (patch_multicast_receiver_address(row, address)) {
    require(address >= RECEIVE_WINDOW_BASE && address <= RECEIVE_WINDOW_LAST && address % 4 == 0);
  } else {
    require(row == before);
  }
}

void fuzz_builder(WordStream& in) {
  PlanProgramBuilder builder;
  const std::uint32_t rows = in.next() % 8;
  for (std::uint32_t i = 0; i < rows && !in.empty(); ++i) {
    const ExchangeRow row = in.row();
    const PlanProgramBuilder before = builder;
    if (!builder.append_scheduled_row(row)) require(builder == before);
    const auto cycles = plan_event_cycles(builder.words);
    require(cycles.has_value() && *cycles == builder.event_cycles);
  }
  const std::uint32_t horizon = in.next() % 0x400000;
  const std::uint32_t cycles_before = builder.event_cycles;
  const auto program = std::move(builder).finish(horizon);
  if (!program) {
    require(horizon < cycles_before);
    return;
  }
  require(program->front() == EXCHANGE_ROW_ENTRY && program->back() == EXCHANGE_ROW_RETURN);
  const auto cycles = plan_event_cycles(*program);
  require(cycles.has_value() && *cycles == horizon);
}

void fuzz_event_cycles(WordStream& in) {
  std::vector<std::uint32_t> words;
  while (!in.empty() && words.size() < 4096) words.push_back(in.next());
  std::uint64_t total = 0;
  for (const auto word : words) total += instruction_advance(word);
  const auto cycles = plan_event_cycles(words);
  if (total <= 0xFFFFFFFFu) {
    require(cycles.has_value() && *cycles == total);
  } else {
    require(!cycles.has_value());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  WordStream in{data, size};
  switch (in.next() % 5) {
    case 0: fuzz_advance(in); break;
    case 1: fuzz_sender_patch(in); break;
    case 2: fuzz_receiver_patch(in); break;
    case 3: fuzz_builder(in); break;
    default: fuzz_event_cycles(in); break;
  }
  return 0;
}
