// Fuzz target: schedule file bytes -> parse -> read -> the three lowerings (commands, exchanges,
// per-tile programs), as `zarnc lower` runs them.
//
// Checked: nothing crashes or trips a sanitizer; a schedule read from a file writes back to a file
// that reads as an equal schedule; the lowerings hold their promises (see schedule_checks.h).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "schedule_checks.h"
#include "zarn_files/work_limits.h"

namespace {

/// Work bound of one input, far below zarnc's own limit, so that every input runs in milliseconds.
constexpr std::uint64_t kFuzzWorkLimit = 1u << 15;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zarn_fuzz::install_rendering_sink();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto document = zarn_files::parse_json(text, "schedule.json");
  if (!document) return 0;
  auto schedule = zarn_files::read_schedule(zarn_files::root_node(*document, "schedule.json"));
  if (!schedule) return 0;
  zarn_fuzz::check_schedule_round_trip(*schedule);
  if (zarn_files::lowering_work(*schedule).total() > kFuzzWorkLimit) return 0;
  zarn_fuzz::check_lowerings(*schedule, /*compiled=*/false);
  return 0;
}
