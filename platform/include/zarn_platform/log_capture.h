#pragma once
/// A capturing sink for tests: installs itself for its lifetime and keeps every event it receives.

#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "zarn_platform/log.h"

namespace zarn_platform {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  /// A copy of the events received so far, in arrival order.
  std::vector<RecordedLogEvent> events() const;

  /// The events with this message, in arrival order.
  std::vector<RecordedLogEvent> events_with_message(std::string_view message) const;

 private:
  struct Shared {
    mutable std::mutex mutex;
    std::vector<RecordedLogEvent> events;
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace zarn_platform
