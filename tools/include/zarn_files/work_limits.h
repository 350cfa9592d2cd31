#pragma once
/// How much a compilation or a lowering will make, counted before it runs, so that zarnc can refuse
/// work that a small file would otherwise turn into gigabytes.
///
/// A graph file of a few hundred bytes can name a tensor of 10^16 elements, and a tile count of
/// 65535 spreads every large tensor over all tiles: one home region per tile per tensor, one kernel
/// command per tile per operation, one program step per tile per exchange phase. The counts below
/// follow the layout and transfer rules exactly where that is cheap and bound them from above
/// otherwise; every record they count costs memory in the libraries and again in the files zarnc
/// writes. docs/robustness.md has the limits and why.

#include <cstddef>
#include <cstdint>

#include "zarn_compiler/graph.h"
#include "zarn_compiler/schedule.h"

namespace zarn_files {

/// Records each stage makes.
struct Work {
  /// Home and staging regions, transfers and kernel commands of the schedule.
  std::uint64_t schedule = 0;
  /// Encoded commands over all tiles (each tile's end command included).
  std::uint64_t commands = 0;
  /// Multicast rows of the exchange lowering (at most a sender and a receiver row per transfer).
  std::uint64_t exchanges = 0;
  /// Steps of the per-tile programs: one per tile per exchange phase, one per kernel command.
  std::uint64_t programs = 0;

  std::uint64_t total() const { return schedule + commands + exchanges + programs; }
  friend bool operator==(const Work&, const Work&) = default;
};

/// Most records one zarnc run makes over the stages it runs (2^19). Written out as JSON a record
/// takes about 1.4 KiB of memory, so the largest run stays below 1 GiB; an encoder layer of sequence
/// 512, hidden 1024 and feed-forward 4096 spread over all 1472 tiles of the board makes about
/// 100000.
inline constexpr std::uint64_t kMaxWorkRecords = std::uint64_t{1} << 19;

/// Tiles of the board the lowerings target; a larger tile count fails the exchange lowering at once.
inline constexpr std::uint64_t kBoardTiles = 1472;

/// The work of compiling `graph` with `options` and lowering the schedule, from the layouts the
/// tensors will get and the transfers the operations will need. Records of operations whose ids do
/// not name tensors (which validation rejects) are not counted; a tile count of 0 (which the options
/// check rejects) counts nothing.
Work compile_work(const zarn_compiler::Graph& graph, const zarn_compiler::CompilerOptions& options);

/// The work of lowering `schedule` (its `schedule` member counts the records it already holds).
Work lowering_work(const zarn_compiler::Schedule& schedule);

}  // namespace zarn_files
