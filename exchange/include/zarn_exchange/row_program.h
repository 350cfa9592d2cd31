#pragma once
/// Per-tile row programs: the exchange rows of one tile within one launch (it may receive from one
/// tile and send to others, one role after the other) merged into a single program on one continuous
/// timeline, then padded to the launch's common length (the horizon).
///
/// Every row's times count from the start of the launch. Appending a row after earlier roles shortens
/// the row's first timed word, which must be a delay, by the cycles already used, so that the row's
/// events keep their launch-relative cycles; a row whose first event would not come after the
/// program's end is refused ("overlapping tile exchange roles").

#include <cstdint>
#include <span>
#include <vector>

#include "zarn_exchange/instruction_words.h"

namespace zarn_exchange {

/// The program of one tile for one launch, under construction. Invariant kept by every operation
/// (successful or not): `event_cycles` == plan_event_cycles(words).
struct PlanProgramBuilder {
  /// The row entry word followed by the body words of every appended row.
  std::vector<std::uint32_t> words{EXCHANGE_ROW_ENTRY};
  /// The program's length so far in cycles: the sum of the event advances of `words`.
  std::uint32_t event_cycles = 0;

  /// Appends the body of `row` (the words between its entry word and its first return word). While
  /// nothing is timed yet the body goes in unchanged; afterwards the body's first timed word must
  /// last longer than `event_cycles` and is shortened by it. Fails with Schedule "exchange row
  /// entry", "exchange row return", "exchange row has no timed event", "overlapping tile exchange
  /// roles", or a message of `set_instruction_advance` ("first scheduled event is not a delay", ...).
  /// A failed append leaves the builder unchanged.
  ExchangeResult<void> append_scheduled_row(const ExchangeRow& row);

  /// Pads the program to last exactly `horizon` cycles and closes it with the row return word:
  /// one entry word first, one return word last, plan_event_cycles of it equal to `horizon`.
  /// Padding beyond what one delay word holds (0x80000 cycles) takes as many delay words as needed.
  /// Fails with Schedule "plan horizon precedes tile events" when `horizon` < `event_cycles`.
  ExchangeResult<std::vector<std::uint32_t>> finish(std::uint32_t horizon) &&;

  friend bool operator==(const PlanProgramBuilder&, const PlanProgramBuilder&) = default;
};

/// Total event advance of `row` (any word sequence) in cycles, or Schedule "plan event horizon
/// overflow" when the sum does not fit 32 bits.
ExchangeResult<std::uint32_t> plan_event_cycles(std::span<const std::uint32_t> row);

}  // namespace zarn_exchange
