#include "zarn_compiler_testing/exchange_schedule.h"

#include <algorithm>
#include <vector>

namespace zarn_compiler_testing {

using zarn_compiler::Allocation;
using zarn_compiler::AllocationKind;
using zarn_compiler::Phase;
using zarn_compiler::Schedule;
using zarn_compiler::Transfer;

namespace {

bool has_copy(const std::vector<Allocation>& allocations, const Allocation& wanted) {
  return std::any_of(allocations.begin(), allocations.end(), [&](const Allocation& allocation) {
    return allocation.tensor == wanted.tensor && allocation.tile == wanted.tile && allocation.kind == wanted.kind;
  });
}

Allocation staging(zarn_compiler::TensorId tensor, std::uint16_t tile, std::uint32_t address, std::uint32_t size,
                   std::size_t phase, std::size_t live_from, std::size_t live_until) {
  return Allocation{.tensor = tensor,
                    .tile = tile,
                    .address = address,
                    .size = size,
                    .live_from = live_from,
                    .live_until = live_until,
                    .kind = AllocationKind{AllocationKind::ExchangeStaging{phase}}};
}

}  // namespace

Schedule exchange_schedule(std::span<const Transfer> transfers) {
  Schedule schedule;
  schedule.tile_count = 16;
  schedule.phases.push_back(Phase{Phase::Exchange{{transfers.begin(), transfers.end()}}});
  for (const auto& transfer : transfers) {
    const Allocation home{.tensor = transfer.tensor,
                          .tile = transfer.source_tile,
                          .address = kFixtureHomeAddress,
                          .size = transfer.bytes,
                          .live_from = 0,
                          .live_until = 1,
                          .kind = AllocationKind{AllocationKind::Home{}}};
    if (!has_copy(schedule.allocations, home)) schedule.allocations.push_back(home);
    const Allocation received =
        staging(transfer.tensor, transfer.destination_tile, kFixtureStagingAddress, transfer.bytes, 0, 0, 1);
    if (!has_copy(schedule.allocations, received)) schedule.allocations.push_back(received);
  }
  return schedule;
}

Schedule relay_schedule() {
  const std::vector<Transfer> transfers{{3, 1, 0, 256}, {1, 2, 0, 256}};
  Schedule schedule = exchange_schedule(transfers);
  std::erase_if(schedule.allocations,
                [](const Allocation& allocation) { return allocation.tensor == 0 && allocation.tile == 1; });
  schedule.allocations.push_back(staging(0, 1, 0x50400, 256, 0, 0, 1));
  return schedule;
}

Schedule live_staging_schedule(std::size_t tile1_live_until) {
  Schedule schedule;
  schedule.tile_count = 16;
  schedule.phases.push_back(Phase{Phase::Exchange{{Transfer{0, 1, 0, 64}}}});
  schedule.phases.push_back(Phase{Phase::Exchange{{Transfer{1, 2, 0, 64}}}});
  schedule.allocations = {
      Allocation{.tensor = 0,
                 .tile = 0,
                 .address = kFixtureHomeAddress,
                 .size = 64,
                 .live_from = 0,
                 .live_until = 2,
                 .kind = AllocationKind{AllocationKind::Home{}}},
      staging(0, 1, kFixtureStagingAddress, 64, 0, 0, tile1_live_until),
      staging(0, 2, 0x53000, 64, 1, 1, 2),
  };
  return schedule;
}

}  // namespace zarn_compiler_testing
