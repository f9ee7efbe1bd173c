#include "web/log_limiter.h"

#include <algorithm>
#include <utility>

namespace larkspire {

int LogLimiter::Count(const std::string& key) {
  const Clock::time_point now = now_();
  auto found = entries_.find(key);
  if (found == entries_.end()) {
    if (entries_.size() >= kMaxKeys) {
      entries_.erase(std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
        return a.second.lastLine < b.second.lastLine;
      }));
    }
    entries_[key] = Entry{now, 0};
    return 1;
  }
  Entry& entry = found->second;
  ++entry.unreported;
  if (now - entry.lastLine < interval_) {
    return 0;
  }
  const int count = std::exchange(entry.unreported, 0);
  entry.lastLine = now;
  return count;
}

}  // namespace larkspire
