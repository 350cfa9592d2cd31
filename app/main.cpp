// The self-check executable: runs the scenario table under GoogleTest. It takes GoogleTest's own
// flags (--gtest_filter, --gtest_list_tests, ...) and nothing else.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "scenario_table.h"
#include "zarn_platform/log.h"

namespace {

class ScenarioTest : public testing::Test {
 public:
  explicit ScenarioTest(void (*run)()) : run_(run) {}
  void TestBody() override { run_(); }

 private:
  void (*run_)();
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc > 1) {
    std::fprintf(stderr, "zarn_selfcheck: unknown argument '%s' (only GoogleTest flags are accepted)\n", argv[1]);
    return 2;
  }

  const char* filter_text = std::getenv("ZARN_LOG");
  const auto filter = zarn_platform::parse_log_filter(filter_text != nullptr ? filter_text : "warn");
  if (!filter) {
    std::fprintf(stderr, "zarn_selfcheck: ZARN_LOG must be one of off, error, warn, info, debug, trace\n");
    return 2;
  }
  if (filter->max_level) zarn_platform::install_log_sink(zarn_platform::stderr_log_sink(), *filter->max_level);

  for (const auto& scenario : zarn_selfcheck::scenario_table()) {
    const std::string name(scenario.name);
    testing::RegisterTest("Scenarios", name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                          [run = scenario.run]() -> testing::Test* { return new ScenarioTest(run); });
  }
  return RUN_ALL_TESTS();
}
