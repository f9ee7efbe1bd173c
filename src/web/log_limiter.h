#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace larkspire {

// Keeps hostile clients from flooding the log: for each key (a client address, a kind of
// refusal) at most one line per interval, carrying how many events it stands for. Not
// thread-safe: the owner serialises calls. At most kMaxKeys keys are remembered; a new key
// beyond that pushes out the one silent the longest.
class LogLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxKeys = 1024;

  explicit LogLimiter(std::chrono::seconds interval,
                      std::function<Clock::time_point()> now = Clock::now)
      : interval_(interval), now_(std::move(now)) {}

  // Counts one event for `key`; returns how many events the line due now stands for, or 0
  // when no line is due yet.
  int Count(const std::string& key);

 private:
  struct Entry {
    Clock::time_point lastLine;
    int unreported = 0;
  };
  std::chrono::seconds interval_;
  std::function<Clock::time_point()> now_;
  std::map<std::string, Entry> entries_;
};

}  // namespace larkspire
