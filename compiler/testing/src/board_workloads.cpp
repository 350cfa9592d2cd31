#include "zarn_compiler_testing/board_workloads.h"

#include <map>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "zarn_compiler_testing/seeded_random.h"

namespace zarn_compiler_testing {

using zarn_compiler::Allocation;
using zarn_compiler::AllocationKind;
using zarn_compiler::Phase;
using zarn_compiler::Schedule;
using zarn_compiler::TensorId;
using zarn_compiler::Transfer;

namespace {

constexpr std::uint32_t kHomeBase = 0x60000;
constexpr std::uint32_t kStagingBase = 0x50000;

std::uint32_t align16(std::uint32_t bytes) { return (bytes + 15u) / 16u * 16u; }

using Random = SeededRandom;

struct RandomGroup {
  std::uint16_t source = 0;
  TensorId tensor = 0;
  std::uint32_t bytes = 0;
  std::vector<std::uint16_t> destinations;
  bool relay = false;
};

}  // namespace

zarn_compiler::EncoderConfig board_encoder_config() {
  return zarn_compiler::EncoderConfig{.sequence = 128, .hidden = 768, .heads = 12, .feed_forward = 3072};
}

zarn_compiler::CompilerOptions board_options() {
  zarn_compiler::CompilerOptions options;
  options.tile_count = kBoardTiles;
  return options;
}

Schedule board_exchange_schedule(std::span<const BoardTransfer> transfers, std::uint16_t tile_count) {
  Schedule schedule;
  schedule.tile_count = tile_count;
  std::vector<Transfer> phase;
  phase.reserve(transfers.size());
  for (const auto& entry : transfers) phase.push_back(entry.transfer);
  schedule.phases.push_back(Phase{Phase::Exchange{std::move(phase)}});

  // (tensor, tile, is staging) of every copy made so far, and each tile's next free address.
  std::set<std::tuple<TensorId, std::uint16_t, bool>> made;
  std::map<std::uint16_t, std::uint32_t> next_home;
  std::map<std::uint16_t, std::uint32_t> next_staging;
  const auto add_copy = [&](TensorId tensor, std::uint16_t tile, std::uint32_t bytes, bool staging) {
    if (!made.emplace(tensor, tile, staging).second) return;
    auto& next = staging ? next_staging.try_emplace(tile, kStagingBase).first->second
                         : next_home.try_emplace(tile, kHomeBase).first->second;
    schedule.allocations.push_back(Allocation{
        .tensor = tensor,
        .tile = tile,
        .address = next,
        .size = bytes,
        .live_from = 0,
        .live_until = 1,
        .kind = staging ? AllocationKind{AllocationKind::ExchangeStaging{0}} : AllocationKind{AllocationKind::Home{}}});
    next += align16(bytes);
  };
  for (const auto& entry : transfers) {
    const Transfer& transfer = entry.transfer;
    if (!entry.relay_source) add_copy(transfer.tensor, transfer.source_tile, transfer.bytes, false);
    add_copy(transfer.tensor, transfer.destination_tile, transfer.bytes, true);
  }
  return schedule;
}

Schedule all_tile_matching_schedule() {
  std::vector<BoardTransfer> transfers;
  transfers.reserve(kBoardTiles / 2);
  for (std::uint16_t pair = 0; pair < kBoardTiles / 2; ++pair) {
    transfers.push_back({Transfer{.source_tile = static_cast<std::uint16_t>(2 * pair),
                                  .destination_tile = static_cast<std::uint16_t>(2 * pair + 1),
                                  .tensor = pair,
                                  .bytes = 4}});
  }
  return board_exchange_schedule(transfers);
}

Schedule all_to_all_schedule(std::uint16_t tiles) {
  std::vector<BoardTransfer> transfers;
  for (std::uint16_t source = 0; source < tiles; ++source) {
    for (std::uint16_t destination = 0; destination < tiles; ++destination) {
      if (destination == source) continue;
      transfers.push_back(
          {Transfer{.source_tile = source, .destination_tile = destination, .tensor = source, .bytes = 4}});
    }
  }
  return board_exchange_schedule(transfers);
}

Schedule random_exchange_schedule(std::uint32_t seed, std::size_t group_count, std::uint16_t tile_count,
                                  std::uint32_t relay_one_in) {
  Random random(seed);
  std::vector<RandomGroup> groups;
  groups.reserve(group_count);
  // Destinations that already receive each tensor: a tile receives a tensor at most once per phase.
  std::map<TensorId, std::set<std::uint16_t>> receiving;

  for (std::size_t index = 0; index < group_count; ++index) {
    RandomGroup group;
    group.tensor = index;
    group.bytes = 4 * (1 + random.below(16));
    group.source = static_cast<std::uint16_t>(random.below(tile_count));
    // About one group in `relay_one_in` relays the copy an earlier (non-relay) group delivered.
    if (relay_one_in != 0 && !groups.empty() && random.below(relay_one_in) == 0) {
      const RandomGroup& earlier = groups[random.index_below(groups.size())];
      if (!earlier.relay) {
        group.relay = true;
        group.tensor = earlier.tensor;
        group.bytes = earlier.bytes;
        group.source = earlier.destinations[random.index_below(earlier.destinations.size())];
      }
    }
    auto& taken = receiving[group.tensor];
    taken.insert(group.source);
    const std::uint32_t wanted = 1 + random.below(8);
    for (std::uint32_t attempt = 0; group.destinations.size() < wanted && attempt < 64; ++attempt) {
      const auto tile = static_cast<std::uint16_t>(random.below(tile_count));
      if (taken.insert(tile).second) group.destinations.push_back(tile);
    }
    if (group.destinations.empty()) continue;
    groups.push_back(std::move(group));
  }

  std::vector<BoardTransfer> transfers;
  for (const auto& group : groups) {
    for (const std::uint16_t destination : group.destinations) {
      transfers.push_back({Transfer{.source_tile = group.source,
                                    .destination_tile = destination,
                                    .tensor = group.tensor,
                                    .bytes = group.bytes},
                           group.relay});
    }
  }
  // Interleave the groups' transfers, so that grouping has to gather each group's fan-out.
  for (std::size_t index = transfers.size(); index > 1; --index) {
    std::swap(transfers[index - 1], transfers[random.below(static_cast<std::uint32_t>(index))]);
  }
  return board_exchange_schedule(transfers, tile_count);
}

}  // namespace zarn_compiler_testing
