#include <gtest/gtest.h>

#include <vector>

#include "scenario_table.h"
#include "zarn_compiler/allocation.h"

namespace zarn_selfcheck {

using namespace zarn_compiler;

void constrained_allocator_obeys_bounds_and_reuses_dead_storage() {
  const MemoryConstraint constraint{.base = 0x50000, .limit = 0x54000, .alignment = 32,
                                    .placement = MemoryPlacement::High};
  constexpr std::uint16_t kTile = 0;
  constexpr std::uint32_t kSize = 256;

  const auto first = find_free_region({}, kTile, kSize, 0, 1, constraint);
  ASSERT_TRUE(first.has_value()) << to_string(first.error());
  EXPECT_EQ(*first, 0x53F00u);

  const std::vector<Allocation> existing{{.tensor = 0,
                                          .tile = kTile,
                                          .address = *first,
                                          .size = kSize,
                                          .live_from = 0,
                                          .live_until = 1,
                                          .kind = {AllocationKind::Home{}}}};
  const auto concurrent = find_free_region(existing, kTile, kSize, 0, 1, constraint);
  ASSERT_TRUE(concurrent.has_value()) << to_string(concurrent.error());
  EXPECT_EQ(*concurrent, 0x53E00u);

  // The existing region is dead from phase 1 on, so a request starting there reuses its storage.
  const auto later = find_free_region(existing, kTile, kSize, 1, 2, constraint);
  ASSERT_TRUE(later.has_value()) << to_string(later.error());
  EXPECT_EQ(*later, *first);

  for (const std::uint32_t address : {*first, *concurrent, *later}) {
    EXPECT_EQ(address % constraint.alignment, 0u);
    EXPECT_GE(address, constraint.base);
    EXPECT_LE(address + kSize, constraint.limit);
  }
  EXPECT_TRUE(*concurrent + kSize <= *first || *first + kSize <= *concurrent);
}

}  // namespace zarn_selfcheck
