#pragma once
/// Which transfers of a list repeat an earlier transfer's (destination tile, tensor), internal to the
/// compiler library: the transfer check rejects such a list, and the SRAM plan gives such a transfer
/// no staging region of its own.

#include <span>
#include <vector>

#include "zarn_compiler/transfer.h"

namespace zarn_compiler::detail {

/// Entry i is true when an earlier transfer of `transfers` has transfer i's destination tile and
/// tensor. Linear in the list (a counting sort by destination tile) up to sorting each tile's few
/// transfers.
std::vector<bool> repeated_targets(std::span<const Transfer> transfers);

}  // namespace zarn_compiler::detail
