#pragma once
/// The self-check scenarios: a fixed table of named end-to-end checks over the libraries.
///
/// Each scenario body uses GoogleTest assertions; the entry point registers one test per row.

#include <span>
#include <string_view>

namespace zarn_selfcheck {

struct Scenario {
  std::string_view name;
  void (*run)();
};

/// Every scenario, in name order.
std::span<const Scenario> scenario_table();

// Scenario bodies, one source file each under scenarios/.
void constrained_allocator_obeys_bounds_and_reuses_dead_storage();
void encoder_reference_is_finite_and_repeatable();
void live_allocations_do_not_overlap();

}  // namespace zarn_selfcheck
