#include "scenario_table.h"

#include <array>

namespace zarn_selfcheck {

std::span<const Scenario> scenario_table() {
  static constexpr std::array scenarios{
      Scenario{"constrained_allocator_obeys_bounds_and_reuses_dead_storage",
               &constrained_allocator_obeys_bounds_and_reuses_dead_storage},
      Scenario{"encoder_reference_is_finite_and_repeatable", &encoder_reference_is_finite_and_repeatable},
      Scenario{"live_allocations_do_not_overlap", &live_allocations_do_not_overlap},
  };
  return scenarios;
}

}  // namespace zarn_selfcheck
