#pragma once
/// Structured logging: events with a level, a target, a message and named fields.
///
/// The libraries emit through one process-wide sink that the embedding program installs. With no sink
/// installed, `emit` costs one atomic load and returns. The libraries never read the environment;
/// executables choose the level filter (see `parse_log_filter`) and install `stderr_log_sink`.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zarn_platform {

/// Severity, most severe first; a filter at level L passes L and everything above it.
enum class LogLevel : std::uint8_t { Error, Warn, Info, Debug, Trace };

/// "ERROR", "WARN", "INFO", "DEBUG" or "TRACE".
std::string_view level_name(LogLevel level);

/// One named field. Text values are borrowed for the duration of the `emit` call only.
struct LogField {
  std::string_view name;
  std::variant<std::uint64_t, std::string_view> value;
};

/// The event a sink receives; everything it refers to lives until the sink returns.
struct LogEvent {
  LogLevel level;
  std::string_view target;
  std::string_view message;
  std::span<const LogField> fields;
};

/// Called for every event that passes the filter; may be called from several threads at once.
using LogSink = std::function<void(const LogEvent&)>;

/// Installs `sink` for the whole process, replacing any earlier one; events less severe than
/// `max_level` are dropped before they reach it. Safe to call while other threads emit.
void install_log_sink(LogSink sink, LogLevel max_level = LogLevel::Trace);

/// Removes the installed sink; later events are dropped.
void remove_log_sink();

/// True when an event of `level` would reach a sink.
bool log_enabled(LogLevel level);

/// Sends one event to the installed sink, if any passes it.
void emit(LogLevel level, std::string_view target, std::string_view message,
          std::initializer_list<LogField> fields = {});

/// "INFO zarn_compiler: compiling graph operations=15 tensors=22 tiles=64"; text field values are
/// written in double quotes with backslash escapes.
std::string render_log_event(const LogEvent& event);

/// A sink that writes `render_log_event` lines to standard error, one write per event.
LogSink stderr_log_sink();

/// Reads a filter text as executables take it from ZARN_LOG: a level name in any case ("info",
/// "DEBUG"), or "off". Returns the level, std::nullopt for "off", or an error for anything else.
struct LogFilter {
  std::optional<LogLevel> max_level;
  friend bool operator==(const LogFilter&, const LogFilter&) = default;
};
std::optional<LogFilter> parse_log_filter(std::string_view text);

/// An event copied out of the sink, for tests and tools that keep events.
struct RecordedLogField {
  std::string name;
  std::variant<std::uint64_t, std::string> value;
  friend bool operator==(const RecordedLogField&, const RecordedLogField&) = default;
};

struct RecordedLogEvent {
  LogLevel level;
  std::string target;
  std::string message;
  std::vector<RecordedLogField> fields;
  friend bool operator==(const RecordedLogEvent&, const RecordedLogEvent&) = default;

  /// The unsigned value of field `name`, if the event has one.
  std::optional<std::uint64_t> unsigned_field(std::string_view name) const;
};

RecordedLogEvent record_log_event(const LogEvent& event);

}  // namespace zarn_platform
