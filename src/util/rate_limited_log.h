#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace larkspire {

// Collapses a WARN line that a peer could make us repeat at packet rate: the first one is
// written at once, the ones after it within the interval are only counted, and the next one
// after the interval is written with the number left out. One per kind of line; any thread.
class RateLimitedLog {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RateLimitedLog(Clock::duration interval = std::chrono::minutes(1))
      : interval_(interval) {}
  RateLimitedLog(const RateLimitedLog&) = delete;
  RateLimitedLog& operator=(const RateLimitedLog&) = delete;

  void Warn(const std::string& message) { Warn(message, Clock::now()); }
  void Warn(const std::string& message, Clock::time_point now);

 private:
  const Clock::duration interval_;
  std::mutex mutex_;
  bool written_ = false;
  Clock::time_point lastWritten_;
  uint64_t suppressed_ = 0;
};

}  // namespace larkspire
