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
void encoder_graph_compiles_deterministically();
void encoder_reference_is_finite_and_repeatable();
void live_allocations_do_not_overlap();
void scheduler_coalesces_fanout_and_packs_disjoint_groups();
void scheduler_colors_ring_and_all_to_all_fanout();
void scheduler_is_deterministic_for_varied_transfer_graphs();
void scheduler_packs_an_all_tile_matching_into_one_epoch();
void scheduler_relays_a_tensor_without_an_intermediate_launch();
void scheduler_times_tile_role_conflicts_within_one_launch();
void scheduler_uses_live_staging_as_a_later_phase_source();

}  // namespace zarn_selfcheck
