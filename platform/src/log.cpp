#include "zarn_platform/log.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <mutex>

#include "zarn_platform/log_capture.h"

namespace zarn_platform {
namespace {

struct InstalledSink {
  LogSink sink;
  LogLevel max_level;
};

// The fast path reads only `installed_level`: the numeric max level plus one, 0 for "no sink".
std::atomic<int> installed_level{0};
std::mutex sink_mutex;
std::shared_ptr<const InstalledSink> installed_sink;

std::shared_ptr<const InstalledSink> current_sink() {
  std::lock_guard lock(sink_mutex);
  return installed_sink;
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  out += '"';
}

}  // namespace

std::string_view level_name(LogLevel level) {
  switch (level) {
    case LogLevel::Error: return "ERROR";
    case LogLevel::Warn: return "WARN";
    case LogLevel::Info: return "INFO";
    case LogLevel::Debug: return "DEBUG";
    case LogLevel::Trace: return "TRACE";
  }
  return "TRACE";
}

void install_log_sink(LogSink sink, LogLevel max_level) {
  if (!sink) {
    remove_log_sink();
    return;
  }
  auto next = std::make_shared<const InstalledSink>(InstalledSink{std::move(sink), max_level});
  std::lock_guard lock(sink_mutex);
  installed_sink = std::move(next);
  installed_level.store(static_cast<int>(max_level) + 1, std::memory_order_release);
}

void remove_log_sink() {
  std::lock_guard lock(sink_mutex);
  installed_sink.reset();
  installed_level.store(0, std::memory_order_release);
}

bool log_enabled(LogLevel level) {
  return static_cast<int>(level) < installed_level.load(std::memory_order_acquire);
}

void emit(LogLevel level, std::string_view target, std::string_view message,
          std::initializer_list<LogField> fields) {
  if (!log_enabled(level)) return;
  const auto sink = current_sink();
  if (!sink || level > sink->max_level) return;
  sink->sink(LogEvent{level, target, message, std::span<const LogField>(fields.begin(), fields.size())});
}

std::string render_log_event(const LogEvent& event) {
  std::string line;
  line += level_name(event.level);
  line += ' ';
  line += event.target;
  line += ": ";
  line += event.message;
  for (const auto& field : event.fields) {
    line += ' ';
    line += field.name;
    line += '=';
    if (const auto* number = std::get_if<std::uint64_t>(&field.value)) {
      line += std::to_string(*number);
    } else {
      append_quoted(line, std::get<std::string_view>(field.value));
    }
  }
  return line;
}

LogSink stderr_log_sink() {
  return [](const LogEvent& event) {
    std::string line = render_log_event(event);
    line += '\n';
    // One write per line so that lines of concurrent events do not interleave.
    std::size_t written = 0;
    while (written < line.size()) {
      const auto result = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
      if (result <= 0) return;
      written += static_cast<std::size_t>(result);
    }
  };
}

std::optional<LogFilter> parse_log_filter(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "off") return LogFilter{std::nullopt};
  for (const auto level : {LogLevel::Error, LogLevel::Warn, LogLevel::Info, LogLevel::Debug, LogLevel::Trace}) {
    std::string name(level_name(level));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == name) return LogFilter{level};
  }
  return std::nullopt;
}

std::optional<std::uint64_t> RecordedLogEvent::unsigned_field(std::string_view name) const {
  for (const auto& field : fields) {
    if (field.name != name) continue;
    if (const auto* number = std::get_if<std::uint64_t>(&field.value)) return *number;
    return std::nullopt;
  }
  return std::nullopt;
}

RecordedLogEvent record_log_event(const LogEvent& event) {
  RecordedLogEvent recorded{event.level, std::string(event.target), std::string(event.message), {}};
  recorded.fields.reserve(event.fields.size());
  for (const auto& field : event.fields) {
    RecordedLogField copy{std::string(field.name), std::uint64_t{0}};
    if (const auto* number = std::get_if<std::uint64_t>(&field.value)) {
      copy.value = *number;
    } else {
      copy.value = std::string(std::get<std::string_view>(field.value));
    }
    recorded.fields.push_back(std::move(copy));
  }
  return recorded;
}

LogCapture::LogCapture() : shared_(std::make_shared<Shared>()) {
  install_log_sink([shared = shared_](const LogEvent& event) {
    auto recorded = record_log_event(event);
    std::lock_guard lock(shared->mutex);
    shared->events.push_back(std::move(recorded));
  });
}

LogCapture::~LogCapture() { remove_log_sink(); }

std::vector<RecordedLogEvent> LogCapture::events() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->events;
}

std::vector<RecordedLogEvent> LogCapture::events_with_message(std::string_view message) const {
  std::vector<RecordedLogEvent> matching;
  std::lock_guard lock(shared_->mutex);
  for (const auto& event : shared_->events) {
    if (event.message == message) matching.push_back(event);
  }
  return matching;
}

}  // namespace zarn_platform
