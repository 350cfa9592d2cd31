#pragma once
// zarnc's time report (--time): the wall time of every stage of one run and its share of the total,
// printed on standard error after everything else, like a compiler's time report.

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarnc {

class TimeReport {
 public:
  using Clock = std::chrono::steady_clock;

  /// Runs `work`, records its wall time under `name` and returns what it returned.
  template <typename Work>
  decltype(auto) time(std::string_view name, Work&& work) {
    const Clock::time_point start = Clock::now();
    struct Record {
      TimeReport& report;
      std::string_view name;
      Clock::time_point start;
      ~Record() { report.add(name, Clock::now() - start); }
    } record{*this, name, start};
    return std::forward<Work>(work)();
  }

  /// Adds `wall` to the stage `name`, listed in the order stages were first recorded.
  void add(std::string_view name, Clock::duration wall);

  /// The report: a heading, one line per stage with its wall time in milliseconds and its share of
  /// the total, then the total (the sum of the stages).
  std::string render() const;

 private:
  std::vector<std::pair<std::string, Clock::duration>> stages_;
};

/// Runs `work` under `report` when there is one, else just runs it.
template <typename Work>
decltype(auto) timed(TimeReport* report, std::string_view name, Work&& work) {
  if (report == nullptr) return std::forward<Work>(work)();
  return report->time(name, std::forward<Work>(work));
}

}  // namespace zarnc
