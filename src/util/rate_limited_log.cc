#include "util/rate_limited_log.h"

#include "util/logger.h"

namespace larkspire {

void RateLimitedLog::Warn(const std::string& message, Clock::time_point now) {
  uint64_t leftOut = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (written_ && now - lastWritten_ < interval_) {
      ++suppressed_;
      return;
    }
    written_ = true;
    lastWritten_ = now;
    leftOut = suppressed_;
    suppressed_ = 0;
  }
  g_log.Write("WARN", leftOut == 0 ? message
                                   : message + " (" + std::to_string(leftOut) +
                                         " more like it since the last report)");
}

}  // namespace larkspire
