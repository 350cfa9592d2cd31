#include "time_report.h"

#include <cstdio>

namespace zarnc {

void TimeReport::add(std::string_view name, Clock::duration wall) {
  for (auto& [stage, total] : stages_) {
    if (stage == name) {
      total += wall;
      return;
    }
  }
  stages_.emplace_back(std::string(name), wall);
}

std::string TimeReport::render() const {
  using Milliseconds = std::chrono::duration<double, std::milli>;
  Clock::duration total{};
  for (const auto& [stage, wall] : stages_) total += wall;
  const double total_ms = Milliseconds(total).count();

  std::string text = "zarnc: time report (wall time)\n";
  char line[96];
  const auto add_line = [&](std::string_view name, double ms) {
    const double share = total_ms > 0 ? 100.0 * ms / total_ms : 0.0;
    std::snprintf(line, sizeof line, "  %-12.*s %12.3f ms %6.1f%%\n", static_cast<int>(name.size()), name.data(), ms,
                  share);
    text += line;
  };
  for (const auto& [stage, wall] : stages_) add_line(stage, Milliseconds(wall).count());
  add_line("total", total_ms);
  return text;
}

}  // namespace zarnc
