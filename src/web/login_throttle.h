#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "web/log_limiter.h"

namespace larkspire {

// Failed logins per client address. The first kFreeFailures cost nothing; each one after
// them shuts the address out for kFirstWait, doubling up to kLongestWait; a success clears
// the address. Every failure is logged (WARN, with the address), at most one line a minute
// per address, with the count since the last line. Any thread may call; Lock() lets a caller
// make the check and the outcome of one attempt a single step.
class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kFreeFailures = 5;
  static constexpr std::chrono::seconds kFirstWait{1};
  static constexpr std::chrono::seconds kLongestWait{60};
  static constexpr size_t kMaxAddresses = 4096;

  explicit LoginThrottle(std::function<Clock::time_point()> now = Clock::now)
      : now_(now), log_(std::chrono::minutes(1), now) {}

  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }

  // Whole seconds (rounded up) the address must still wait; 0 when it may try. A refused
  // attempt is logged like a failure but does not lengthen the wait.
  int SecondsToWaitLocked(const std::string& address);
  void FailedLocked(const std::string& address);
  void SucceededLocked(const std::string& address);

 private:
  struct Entry {
    int failures = 0;
    Clock::time_point blockedUntil;
    Clock::time_point lastSeen;
  };
  void LogLocked(const std::string& address);

  std::function<Clock::time_point()> now_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  LogLimiter log_;
};

}  // namespace larkspire
