#include "zarn_compiler/allocation.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace zarn_compiler {
namespace {

Allocation home(std::uint16_t tile, std::uint32_t address, std::uint32_t size, std::size_t live_from,
                std::size_t live_until) {
  return {.tensor = 0,
          .tile = tile,
          .address = address,
          .size = size,
          .live_from = live_from,
          .live_until = live_until,
          .kind = {AllocationKind::Home{}}};
}

constexpr MemoryConstraint kHighWindow{0x50000, 0x54000, 32, MemoryPlacement::High};

struct SearchCase {
  const char* name;
  std::vector<Allocation> existing;
  std::uint16_t tile;
  std::uint32_t size;
  std::size_t live_from;
  std::size_t live_until;
  MemoryConstraint constraint;
  std::uint32_t expected;
};

TEST(FindFreeRegion, PlacesRegionsWithinBoundsAroundLiveOnes) {
  const SearchCase cases[] = {
      {"empty window, high end", {}, 0, 256, 0, 1, kHighWindow, 0x53F00},
      {"concurrent region moves below", {home(0, 0x53F00, 256, 0, 1)}, 0, 256, 0, 1, kHighWindow, 0x53E00},
      {"dead storage is reused", {home(0, 0x53F00, 256, 0, 1)}, 0, 256, 1, 2, kHighWindow, 0x53F00},
      {"other tile never blocks", {home(1, 0x53F00, 256, 0, 1)}, 0, 256, 0, 1, kHighWindow, 0x53F00},
      {"request ends where existing lifetime begins", {home(0, 0x53F00, 256, 4, 6)}, 0, 256, 2, 4, kHighWindow,
       0x53F00},
      {"spans that only touch", {home(0, 0x50100, 256, 0, 9), home(0, 0x4FF00, 256, 0, 9)}, 0, 256, 0, 1,
       {0x50000, 0x54000, 32, MemoryPlacement::Low}, 0x50000},
      {"low takes the first gap that fits", {home(0, 0x50000, 0x100, 0, 2), home(0, 0x50180, 0x80, 1, 3)}, 0,
       0x80, 1, 2, {0x50000, 0x54000, 0x80, MemoryPlacement::Low}, 0x50100},
      {"low skips a gap too small", {home(0, 0x50000, 0x100, 0, 2), home(0, 0x50180, 0x80, 1, 3)}, 0, 0x100, 1,
       2, {0x50000, 0x54000, 0x80, MemoryPlacement::Low}, 0x50200},
      {"whole window, low", {}, 0, 0x4000, 0, 1, {0x50000, 0x54000, 32, MemoryPlacement::Low}, 0x50000},
      {"whole window, high", {}, 0, 0x4000, 0, 1, {0x50000, 0x54000, 32, MemoryPlacement::High}, 0x50000},
      {"low aligns an unaligned base up", {}, 0, 0x10, 0, 1, {0x50001, 0x54000, 16, MemoryPlacement::Low},
       0x50010},
      {"high aligns limit - size down", {}, 0, 0x20, 0, 1, {0x50000, 0x50125, 16, MemoryPlacement::High},
       0x50100},
      // The record ends past 2^32 - 1; its end saturates instead of wrapping to a low address.
      {"existing end saturates", {home(0, 0xFFFFFF00, 0x200, 0, 1)}, 0, 0x10, 0, 1,
       {0xFFFFF000, 0xFFFFFFFF, 16, MemoryPlacement::High}, 0xFFFFFEF0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto address = find_free_region(c.existing, c.tile, c.size, c.live_from, c.live_until, c.constraint);
    ASSERT_TRUE(address.has_value()) << to_string(address.error());
    EXPECT_EQ(*address, c.expected);
  }
}

struct FailureCase {
  const char* name;
  std::vector<Allocation> existing;
  std::uint16_t tile;
  std::uint32_t size;
  std::size_t live_from;
  std::size_t live_until;
  MemoryConstraint constraint;
  std::string message;
};

TEST(FindFreeRegion, FailsWithTheReason) {
  const std::string invalid = "invalid allocation constraint";
  const FailureCase cases[] = {
      {"zero size", {}, 0, 0, 0, 1, kHighWindow, invalid},
      {"empty lifetime", {}, 0, 256, 5, 5, kHighWindow, invalid},
      {"backwards lifetime", {}, 0, 256, 6, 5, kHighWindow, invalid},
      {"alignment 0", {}, 0, 256, 0, 1, {0x50000, 0x54000, 0, MemoryPlacement::Low}, invalid},
      {"alignment 24", {}, 0, 256, 0, 1, {0x50000, 0x54000, 24, MemoryPlacement::Low}, invalid},
      {"base equal to limit", {}, 0, 256, 0, 1, {0x50000, 0x50000, 16, MemoryPlacement::Low}, invalid},
      {"size one byte over the window", {}, 0, 0x4001, 0, 1, kHighWindow, invalid},
      {"window taken", {home(2, 0x50000, 0x100, 0, 1)}, 2, 256, 0, 1, {0x50000, 0x50100, 16, MemoryPlacement::Low},
       "no 256-byte region for tile 2 in 0x50000..0x50100"},
      {"high first candidate below base", {}, 0, 0x100, 0, 1, {0x50001, 0x50105, 16, MemoryPlacement::High},
       "no 256-byte region for tile 0 in 0x50001..0x50105"},
      // Stepping down from 0 must stop, not wrap to the top of the address range.
      {"high search reaches address 0", {home(0, 0, 0x100, 0, 1)}, 0, 0x40, 0, 1,
       {0, 0x100, 0x40, MemoryPlacement::High}, "no 64-byte region for tile 0 in 0x0..0x100"},
      {"low base aligns past 2^32 - 1", {}, 0, 1, 0, 1, {0xFFFFFFF1, 0xFFFFFFFF, 16, MemoryPlacement::Low},
       "allocation address overflow"},
      {"low step passes 2^32 - 1", {home(0, 0x80000000, 1, 0, 1)}, 0, 1, 0, 1,
       {0x80000000, 0xFFFFFFFF, 0x80000000, MemoryPlacement::Low}, "allocation address overflow"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto address = find_free_region(c.existing, c.tile, c.size, c.live_from, c.live_until, c.constraint);
    ASSERT_FALSE(address.has_value()) << *address;
    EXPECT_EQ(address.error(), (CompileError{CompileError::Memory{c.message}}));
  }
}

TEST(AlignU32, RoundsUpToAnyNonZeroMultiple) {
  EXPECT_EQ(align_u32(100, 16), 112u);
  EXPECT_EQ(align_u32(100, 24), 120u);
  EXPECT_EQ(align_u32(96, 16), 96u);
  EXPECT_EQ(align_u32(0, 16), 0u);
  EXPECT_EQ(align_u32_checked(0xFFFFFFF0, 16), 0xFFFFFFF0u);
  EXPECT_EQ(align_u32_checked(0xFFFFFFF1, 16), std::nullopt);
  EXPECT_EQ(align_u32_checked(0xFFFFFFFF, 1), 0xFFFFFFFFu);
}

TEST(AlignU32DeathTest, StopsOnABrokenPrecondition) {
  EXPECT_DEATH(align_u32(1, 0), "alignment 0");
  EXPECT_DEATH(align_u32(0xFFFFFFF1, 16), "passes 2\\^32 - 1");
}

TEST(AllocationKind, StagingKindsDifferByPhase) {
  const AllocationKind staging_1{AllocationKind::ExchangeStaging{1}};
  EXPECT_EQ(staging_1, (AllocationKind{AllocationKind::ExchangeStaging{1}}));
  EXPECT_NE(staging_1, (AllocationKind{AllocationKind::ExchangeStaging{2}}));
  EXPECT_NE(staging_1, (AllocationKind{AllocationKind::Home{}}));
}

}  // namespace
}  // namespace zarn_compiler
