#pragma once
/// The compile pipeline: graph and options in, `Schedule` out.

#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"
#include "zarn_compiler/schedule.h"

namespace zarn_compiler {

/// Validates the graph, then the options ("invalid compiler options"), chooses every tensor's layout,
/// and walks the operations in order: an exchange phase with the operation's transfers when any
/// operand must move (the list is validated first), then always its compute phase. Then plans SRAM
/// and records each tile's peak.
///
/// Logs "compiling graph" (INFO; operations, tensors, tiles) on every call, and on success "planned
/// tile SRAM" (DEBUG; peak_bytes) and "graph compilation completed" (INFO; phases, allocations,
/// peak_bytes), all to the target "zarn_compiler". The first failure is returned unchanged.
CompileResult<Schedule> compile(const Graph& graph, const CompilerOptions& options);

}  // namespace zarn_compiler
