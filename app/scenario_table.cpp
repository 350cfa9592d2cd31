#include "scenario_table.h"

#include <array>

namespace zarn_selfcheck {

std::span<const Scenario> scenario_table() {
  static constexpr std::array scenarios{
      Scenario{"encoder_reference_is_finite_and_repeatable", &encoder_reference_is_finite_and_repeatable},
  };
  return scenarios;
}

}  // namespace zarn_selfcheck
