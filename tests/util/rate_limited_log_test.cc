#include "util/rate_limited_log.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/stdout_capture.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

// The first line at once, then one a minute at most, carrying the number left out.
TEST(RateLimitedLogTest, WritesTheFirstThenAtMostOneAMinuteWithTheCountLeftOut) {
  RateLimitedLog log;
  const RateLimitedLog::Clock::time_point start{};
  StdoutCapture console;
  for (auto at : {0s, 59s, 59s, 60s, 61s, 120s}) {
    log.Warn("bad frame", start + 1h + at);
  }
  const std::string out =
      std::regex_replace(console.Stop(), std::regex(R"(\[\d\d:\d\d:\d\d\] )"), "");
  EXPECT_EQ(out,
            "WARN bad frame\n"
            "WARN bad frame (2 more like it since the last report)\n"
            "WARN bad frame (1 more like it since the last report)\n");
}

}  // namespace
}  // namespace larkspire
