#include "web/login_throttle.h"

#include <algorithm>

#include "util/logger.h"

namespace larkspire {

int LoginThrottle::SecondsToWaitLocked(const std::string& address) {
  auto found = entries_.find(address);
  if (found == entries_.end()) {
    return 0;
  }
  const Clock::duration left = found->second.blockedUntil - now_();
  if (left <= Clock::duration::zero()) {
    return 0;
  }
  LogLocked(address);
  return static_cast<int>(std::chrono::ceil<std::chrono::seconds>(left).count());
}

void LoginThrottle::FailedLocked(const std::string& address) {
  const Clock::time_point now = now_();
  if (!entries_.contains(address) && entries_.size() >= kMaxAddresses) {
    entries_.erase(std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
      return a.second.lastSeen < b.second.lastSeen;
    }));
  }
  Entry& entry = entries_[address];
  entry.lastSeen = now;
  if (++entry.failures >= kFreeFailures) {
    const int doublings = std::min(entry.failures - kFreeFailures, 6);
    entry.blockedUntil =
        now + std::min<std::chrono::seconds>(kFirstWait * (1 << doublings), kLongestWait);
  }
  LogLocked(address);
}

void LoginThrottle::SucceededLocked(const std::string& address) {
  entries_.erase(address);
}

void LoginThrottle::LogLocked(const std::string& address) {
  if (int count = log_.Count(address); count > 0) {
    g_log.Write("WARN", "Web login failed from " + address + " (" + std::to_string(count) +
                            (count == 1 ? " attempt" : " attempts") + " since the last report)");
  }
}

}  // namespace larkspire
