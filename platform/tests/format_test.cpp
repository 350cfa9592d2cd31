#include "zarn_platform/format.h"

#include <gtest/gtest.h>

namespace zarn_platform {
namespace {

TEST(Format, FillsPlaceholdersInOrder) {
  EXPECT_EQ(format("{}: incompatible matmul {} x {}", "q", ListOf{std::vector<std::size_t>{32, 64}},
                   ListOf{std::vector<std::size_t>{32, 64}}),
            "q: incompatible matmul [32, 64] x [32, 64]");
  EXPECT_EQ(format("no {}-byte region for tile {} in 0x{}..0x{}", 256u, std::uint16_t{2}, Hex{0x50000},
                   Hex{0x8e0ab}),
            "no 256-byte region for tile 2 in 0x50000..0x8e0ab");
  EXPECT_EQ(format("workers {}", std::uint8_t{6}), "workers 6");
  EXPECT_EQ(format("left {} {}", 1), "left 1 {}");
  EXPECT_EQ(format("none", 1, 2), "none");
  EXPECT_EQ(format("[]", ListOf{std::vector<int>{}}), "[]");
}

}  // namespace
}  // namespace zarn_platform
