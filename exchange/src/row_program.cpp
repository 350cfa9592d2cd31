#include "zarn_exchange/row_program.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <utility>

namespace zarn_exchange {
namespace {

// The longest single delay word: its 19-bit field holds cycles - 1.
constexpr std::uint32_t MAX_DELAY_CYCLES = 0x80000;

}  // namespace

ExchangeResult<std::uint32_t> plan_event_cycles(std::span<const std::uint32_t> row) {
  std::uint32_t cycles = 0;
  for (const auto word : row) {
    const std::uint32_t advance = instruction_advance(word);
    if (advance > std::numeric_limits<std::uint32_t>::max() - cycles) {
      return exchange_failure(ExchangeError::Schedule{"plan event horizon overflow"});
    }
    cycles += advance;
  }
  return cycles;
}

ExchangeResult<void> PlanProgramBuilder::append_scheduled_row(const ExchangeRow& row) {
  if (row[0] != EXCHANGE_ROW_ENTRY) return exchange_failure(ExchangeError::Schedule{"exchange row entry"});
  const auto end = std::find(row.begin() + 1, row.end(), EXCHANGE_ROW_RETURN);
  if (end == row.end()) return exchange_failure(ExchangeError::Schedule{"exchange row return"});

  // The body is adjusted in a copy, so a refused row leaves the builder as it was.
  ExchangeRow body{};
  const auto body_size = static_cast<std::size_t>(end - (row.begin() + 1));
  std::copy(row.begin() + 1, end, body.begin());
  const std::span<std::uint32_t> body_words(body.data(), body_size);

  // At most seven body words of at most 0x80000 cycles each: the sum cannot overflow.
  const auto row_cycles = plan_event_cycles(body_words);
  assert(row_cycles.has_value());

  if (event_cycles != 0) {
    const auto first_timed = std::find_if(body_words.begin(), body_words.end(),
                                          [](std::uint32_t word) { return instruction_advance(word) != 0; });
    if (first_timed == body_words.end()) {
      return exchange_failure(ExchangeError::Schedule{"exchange row has no timed event"});
    }
    const std::uint32_t first_advance = instruction_advance(*first_timed);
    if (first_advance <= event_cycles) {
      return exchange_failure(ExchangeError::Schedule{"overlapping tile exchange roles"});
    }
    // Shorten the row's leading delay by the cycles already used; the shorter advance always fits
    // the word's field, so only a word that is no delay at all is refused here.
    if (auto adjusted = set_instruction_advance(*first_timed, first_advance - event_cycles); !adjusted) {
      return adjusted;
    }
  }

  words.insert(words.end(), body_words.begin(), body_words.end());
  // The row's events keep their launch-relative cycles, so the merged program now ends exactly
  // where the row ends on its own.
  event_cycles = *row_cycles;
  return {};
}

ExchangeResult<std::vector<std::uint32_t>> PlanProgramBuilder::finish(std::uint32_t horizon) && {
  if (horizon < event_cycles) {
    return exchange_failure(ExchangeError::Schedule{"plan horizon precedes tile events"});
  }
  std::uint32_t padding = horizon - event_cycles;
  // One delay word lasts at most 0x80000 cycles; a longer padding is split into full-length delays
  // followed by one for the remainder, so the program still lasts exactly `horizon` cycles.
  words.reserve(words.size() + padding / MAX_DELAY_CYCLES + 2);
  while (padding > MAX_DELAY_CYCLES) {
    words.push_back(delay(MAX_DELAY_CYCLES - 1));
    padding -= MAX_DELAY_CYCLES;
  }
  if (padding != 0) words.push_back(delay(padding - 1));
  words.push_back(EXCHANGE_ROW_RETURN);
  return std::move(words);
}

}  // namespace zarn_exchange
