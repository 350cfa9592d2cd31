#include "zarn_exchange/topology.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "zarn_platform/format.h"

namespace zarn_exchange {
namespace {

using zarn_platform::format;

TEST(Topology, K1472MapsItsTilesOntoTheWholePhysicalRange) {
  const auto topology = Topology::k1472();
  ASSERT_EQ(topology.tile_count(), 1472u);
  std::vector<int> seen(1472, 0);
  for (std::size_t logical = 0; logical < topology.tile_count(); ++logical) {
    const auto physical = topology.logical_to_physical[logical];
    EXPECT_EQ(physical, k1472_logical_to_physical(static_cast<std::uint16_t>(logical)));
    ASSERT_LT(physical, 1472u) << "logical " << logical;
    ++seen[physical];
  }
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int times) { return times == 1; }));
}

TEST(Topology, K1472MappingRunsPairsAlongASerpentineOfBlocks) {
  struct Case {
    std::uint16_t logical;
    std::uint16_t physical;
  };
  const Case cases[] = {
      {0, 0},       {1, 2},       {2, 64},    {3, 66},   {44, 1408}, {45, 1410}, {46, 1409},
      {47, 1411},   {48, 1345},   {91, 3},    {92, 4},   {93, 6},    {1470, 61}, {1471, 63},
  };
  const auto topology = Topology::k1472();
  for (const auto& c : cases) {
    SCOPED_TRACE(format("logical {}", c.logical));
    EXPECT_EQ(k1472_logical_to_physical(c.logical), c.physical);
    EXPECT_EQ(topology.physical(c.logical), c.physical);
  }
}

TEST(Topology, PhysicalRefusesTilesBeyondTheBoard) {
  const auto topology = Topology::k1472();
  EXPECT_EQ(topology.physical(1471), std::uint16_t{63});
  for (const std::uint16_t logical : {std::uint16_t{1472}, std::uint16_t{65535}}) {
    SCOPED_TRACE(format("logical {}", logical));
    EXPECT_EQ(topology.physical(logical), exchange_failure(ExchangeError::Tile{logical}));
  }
}

struct PairCase {
  std::uint32_t source;
  std::uint32_t destination;
  std::int32_t expected;
};

TEST(Topology, RouteDisplacementSamples) {
  const PairCase cases[] = {
      {0, 2, 2}, {2, 0, 1}, {0, 64, 1}, {0, 1, 5}, {0, 3, 4}, {0, 4, 7}, {1409, 0, -5}, {0, 1409, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format("{} -> {}", c.source, c.destination));
    EXPECT_EQ(route_displacement(c.source, c.destination), c.expected);
  }
}

TEST(Topology, TimeToMuxSamples) {
  const PairCase cases[] = {
      {0, 2, -28}, {2, 0, -29}, {0, 64, -31}, {0, 1, -25}, {0, 3, -26}, {63, 0, -13}, {1409, 0, 19}, {0, 1409, -69},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format("{} -> {}", c.source, c.destination));
    EXPECT_EQ(time_to_mux(c.source, c.destination), c.expected);
  }
}

// The multicast planner relies on these bounds: the natural start never exceeds 78 cycles, and the
// mux time of a late send is at most 112 cycles.
TEST(Topology, TimingModelStaysWithinItsBoundsOverEveryPairOfTiles) {
  std::int32_t displacement_low = 0, displacement_high = 0, mux_low = 0, mux_high = 0;
  for (std::uint32_t source = 0; source < 1472; ++source) {
    for (std::uint32_t destination = 0; destination < 1472; ++destination) {
      const std::int32_t displacement = route_displacement(source, destination);
      displacement_low = std::min(displacement_low, displacement);
      displacement_high = std::max(displacement_high, displacement);
      if (source == destination) continue;
      const std::int32_t mux = time_to_mux(source, destination);
      mux_low = std::min(mux_low, mux);
      mux_high = std::max(mux_high, mux);
    }
  }
  EXPECT_EQ(displacement_low, -47);
  EXPECT_EQ(displacement_high, 47);
  EXPECT_EQ(mux_low, -78);
  EXPECT_EQ(mux_high, 112);
}

}  // namespace
}  // namespace zarn_exchange
