#include "zarn_platform/log.h"

#include <gtest/gtest.h>

#include <thread>

#include "zarn_platform/log_capture.h"

namespace zarn_platform {
namespace {

TEST(Log, EventsWithoutSinkAreDropped) {
  remove_log_sink();
  EXPECT_FALSE(log_enabled(LogLevel::Error));
  emit(LogLevel::Error, "zarn_compiler", "nobody listens", {{"count", std::uint64_t{1}}});
}

TEST(Log, CaptureKeepsLevelTargetMessageAndFieldsInOrder) {
  LogCapture capture;
  emit(LogLevel::Info, "zarn_compiler", "compiling graph",
       {{"operations", std::uint64_t{15}}, {"tensors", std::uint64_t{22}}, {"label", std::string_view("x")}});
  const auto events = capture.events();
  ASSERT_EQ(events.size(), 1u);
  const RecordedLogEvent expected{LogLevel::Info,
                                  "zarn_compiler",
                                  "compiling graph",
                                  {{"operations", std::uint64_t{15}},
                                   {"tensors", std::uint64_t{22}},
                                   {"label", std::string("x")}}};
  EXPECT_EQ(events[0], expected);
  EXPECT_EQ(events[0].unsigned_field("tensors"), 22u);
  EXPECT_EQ(events[0].unsigned_field("label"), std::nullopt);
}

TEST(Log, FilterDropsLessSevereEvents) {
  std::vector<std::string> lines;
  install_log_sink([&](const LogEvent& event) { lines.push_back(render_log_event(event)); }, LogLevel::Info);
  EXPECT_TRUE(log_enabled(LogLevel::Info));
  EXPECT_FALSE(log_enabled(LogLevel::Debug));
  emit(LogLevel::Debug, "zarn_compiler", "planned tile SRAM", {{"peak_bytes", std::uint64_t{1}}});
  emit(LogLevel::Warn, "zarn_exchange", "warned");
  remove_log_sink();
  EXPECT_EQ(lines, std::vector<std::string>{"WARN zarn_exchange: warned"});
}

TEST(Log, RendersTheStderrLine) {
  const LogField fields[] = {{"operations", std::uint64_t{15}},
                             {"tensors", std::uint64_t{22}},
                             {"tiles", std::uint64_t{64}},
                             {"label", std::string_view("a \"b\"")}};
  EXPECT_EQ(render_log_event({LogLevel::Info, "zarn_compiler", "compiling graph", fields}),
            "INFO zarn_compiler: compiling graph operations=15 tensors=22 tiles=64 label=\"a \\\"b\\\"\"");
}

TEST(Log, ParsesFilterTexts) {
  struct Case {
    std::string_view text;
    std::optional<LogFilter> expected;
  };
  const Case cases[] = {
      {"info", LogFilter{LogLevel::Info}}, {"DEBUG", LogFilter{LogLevel::Debug}},
      {"Trace", LogFilter{LogLevel::Trace}}, {"off", LogFilter{std::nullopt}},
      {"verbose", std::nullopt},           {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(parse_log_filter(c.text), c.expected);
  }
}

TEST(Log, InstallingWhileOtherThreadsEmitIsSafe) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> emitters;
  for (int i = 0; i < 2; ++i) {
    emitters.emplace_back([&] {
      while (!stop.load()) emit(LogLevel::Info, "zarn_compiler", "tick", {{"n", std::uint64_t{1}}});
    });
  }
  for (int round = 0; round < 200; ++round) {
    LogCapture capture;
    (void)capture.events();
  }
  stop = true;
  for (auto& thread : emitters) thread.join();
}

}  // namespace
}  // namespace zarn_platform
