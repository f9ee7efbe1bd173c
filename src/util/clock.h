#pragma once

#include <chrono>
#include <cstdint>

namespace larkspire {

// Seconds since the Unix epoch by the wall clock: the time stamps that files, metrics and
// status replies carry. Intervals are measured with the steady clock instead.
inline int64_t UnixSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace larkspire
