// The libraries keep no state between calls besides the installed log sink, so calls on several
// threads at once are independent: every thread compiling and lowering one shared graph for one
// shared topology gets exactly the results of a single-threaded run, and the sink receives every
// event. The tsan preset runs this test under ThreadSanitizer (scripts/test), which reports any data
// race the calls have, also one that happens not to change a result.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "zarn_compiler/compile.h"
#include "zarn_compiler/encoder.h"
#include "zarn_compiler/lowered_exchange.h"
#include "zarn_compiler/schedule.h"
#include "zarn_compiler/tile_program.h"
#include "zarn_exchange/topology.h"
#include "zarn_platform/log_capture.h"

namespace zarn_compiler {
namespace {

/// Everything the libraries make from one graph and one set of options.
struct Results {
  CompileResult<Schedule> schedule;
  std::vector<CompileResult<std::vector<EncodedTileCommand>>> commands;
  CompileResult<std::vector<LoweredExchangePhase>> exchanges;
  CompileResult<std::vector<LoweredTileProgram>> programs;

  friend bool operator==(const Results&, const Results&) = default;
};

Results compile_and_lower(const Graph& graph, const CompilerOptions& options, const zarn_exchange::Topology& topology) {
  Results results{compile(graph, options), {}, {}, {}};
  if (!results.schedule) return results;
  for (std::uint16_t tile = 0; tile < results.schedule->tile_count; ++tile) {
    results.commands.push_back(results.schedule->tile_commands(tile));
  }
  results.exchanges = results.schedule->lower_exchanges(topology);
  results.programs = results.schedule->lower_tile_programs(topology);
  return results;
}

TEST(Concurrency, ThreadsCompilingAndLoweringOneGraphGetTheSingleThreadedResults) {
  const auto graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph) << to_string(graph.error());
  const auto topology = zarn_exchange::Topology::k1472();
  // Two option sets, so that threads working on different inputs also run at the same time.
  CompilerOptions wide;
  CompilerOptions narrow;
  narrow.tile_count = 16;
  const CompilerOptions option_sets[] = {wide, narrow};

  zarn_platform::LogCapture capture;
  std::vector<Results> expected;
  std::vector<std::size_t> events_per_run;
  for (const auto& options : option_sets) {
    const std::size_t before = capture.events().size();
    expected.push_back(compile_and_lower(*graph, options, topology));
    ASSERT_TRUE(expected.back().programs) << to_string(expected.back().programs.error());
    events_per_run.push_back(capture.events().size() - before);
  }
  const std::size_t events_before = capture.events().size();

  constexpr std::size_t kThreads = 4;
  constexpr std::size_t kRounds = 3;
  std::vector<std::vector<bool>> matches(kThreads, std::vector<bool>(kRounds, false));
  std::size_t expected_events = 0;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (std::size_t thread = 0; thread < kThreads; ++thread) {
    for (std::size_t round = 0; round < kRounds; ++round) expected_events += events_per_run[(thread + round) % 2];
    threads.emplace_back([&, thread] {
      for (std::size_t round = 0; round < kRounds; ++round) {
        const std::size_t set = (thread + round) % 2;
        matches[thread][round] = compile_and_lower(*graph, option_sets[set], topology) == expected[set];
      }
    });
  }
  for (auto& thread : threads) thread.join();

  for (std::size_t thread = 0; thread < kThreads; ++thread) {
    for (std::size_t round = 0; round < kRounds; ++round) {
      EXPECT_TRUE(matches[thread][round]) << "thread " << thread << ", round " << round;
    }
  }
  // Each run emits the same events as the single-threaded ones, and none is lost.
  const auto events = capture.events();
  EXPECT_EQ(events.size() - events_before, expected_events);
  EXPECT_EQ(capture.events_with_message("compiling graph").size(), 2 + kThreads * kRounds);
  EXPECT_EQ(capture.events_with_message("lowered per-tile programs").size(), 2 + kThreads * kRounds);
}

}  // namespace
}  // namespace zarn_compiler
