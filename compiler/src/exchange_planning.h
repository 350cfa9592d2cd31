#pragma once
/// Exchange planning and copy resolution over a `CopyIndex`, internal to the compiler library: what
/// `Schedule::lower_exchanges` runs for every exchange phase, with the allocation index built once
/// for the whole schedule. Each function gives exactly the result of its public namesake in
/// zarn_compiler/lowered_exchange.h, which reads the allocation list directly.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "copy_index.h"
#include "zarn_compiler/error.h"
#include "zarn_compiler/lowered_exchange.h"

namespace zarn_compiler::detail {

CompileResult<std::vector<std::vector<PendingGroup>>> plan_exchange_epochs(std::span<const Transfer> transfers,
                                                                           const CopyIndex& copies, std::size_t phase);

CompileResult<std::uint32_t> resolve_source_address(const CopyIndex& copies, TensorId tensor, std::uint16_t source,
                                                    std::size_t phase, bool delivered_in_phase);

CompileResult<std::vector<std::uint32_t>> resolve_destination_addresses(const CopyIndex& copies, TensorId tensor,
                                                                        std::span<const std::uint16_t> destinations,
                                                                        std::size_t phase);

}  // namespace zarn_compiler::detail
