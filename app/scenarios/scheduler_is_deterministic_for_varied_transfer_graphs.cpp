// Sixty-four pseudo-random transfer lists among sixteen tiles: lowering each twice gives equal
// results, and every transfer reaches its destination through exactly one group.

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "scenario_checks.h"
#include "scenario_table.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/schedule.h"
#include "zarn_compiler_testing/exchange_schedule.h"
#include "zarn_exchange/topology.h"

namespace zarn_selfcheck {

using namespace zarn_compiler;

namespace {

/// The 32-bit linear congruential generator the transfer lists are drawn from.
struct Lcg {
  std::uint32_t state = 0x12345678;
  std::uint32_t next() {
    state = state * 1664525u + 1013904223u;  // modulo 2^32
    return state;
  }
};

std::vector<Transfer> random_transfers(Lcg& lcg) {
  std::vector<Transfer> transfers;
  std::set<std::pair<std::uint16_t, TensorId>> targeted;
  for (TensorId tensor = 0; tensor < 12; ++tensor) {
    const auto source = static_cast<std::uint16_t>(lcg.next() % 16);
    auto destination = static_cast<std::uint16_t>(lcg.next() % 16);
    if (destination == source) destination = static_cast<std::uint16_t>((destination + 1) % 16);
    const std::uint32_t bytes = (lcg.state % 64 + 1) * 4;
    if (targeted.emplace(destination, tensor).second) transfers.push_back({source, destination, tensor, bytes});
  }
  return transfers;
}

}  // namespace

void scheduler_is_deterministic_for_varied_transfer_graphs() {
  const auto topology = zarn_exchange::Topology::k1472();
  Lcg lcg;
  for (int list = 0; list < 64; ++list) {
    SCOPED_TRACE(testing::Message() << "transfer list " << list);
    const auto transfers = random_transfers(lcg);
    ASSERT_EQ(transfers.size(), 12u);
    const Schedule schedule = zarn_compiler_testing::exchange_schedule(transfers);

    const auto first = schedule.lower_exchanges(topology);
    ASSERT_TRUE(first.has_value()) << to_string(first.error());
    const auto second = schedule.lower_exchanges(topology);
    EXPECT_EQ(first, second);

    ASSERT_EQ(first->size(), 1u);
    std::size_t destinations = 0;
    for (const auto& epoch : (*first)[0].epochs) {
      for (const auto& group : epoch.groups) destinations += group.destination_tiles.size();
      expect_programs_end_together(epoch);
    }
    EXPECT_EQ(destinations, transfers.size());
  }
}

}  // namespace zarn_selfcheck
