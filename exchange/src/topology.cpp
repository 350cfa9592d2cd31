#include "zarn_exchange/topology.h"

namespace zarn_exchange {

Topology Topology::k1472() {
  Topology topology;
  topology.logical_to_physical.reserve(K1472_TILE_COUNT);
  for (std::size_t logical = 0; logical < K1472_TILE_COUNT; ++logical) {
    topology.logical_to_physical.push_back(k1472_logical_to_physical(static_cast<std::uint16_t>(logical)));
  }
  return topology;
}

ExchangeResult<std::uint16_t> Topology::physical(std::uint16_t logical) const {
  if (logical >= logical_to_physical.size()) return exchange_failure(ExchangeError::Tile{logical});
  return logical_to_physical[logical];
}

}  // namespace zarn_exchange
