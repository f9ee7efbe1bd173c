#include "util/rate_limited_log.h"

#include <gtest/gtest.h>

#include <string>

#include "support/stdout_capture.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

// The first line at once, then one a minute at most, carrying the number left out.
TEST(RateLimitedLogTest, WritesTheFirstThenAtMostOneAMinuteWithTheCountLeftOut) {
  RateLimitedLog log;
  const RateLimitedLog::Clock::time_point start{};
  StdoutCapture console;
  log.Warn("bad frame", start + 1h);
  for (int i = 0; i < 20000; ++i) {
    log.Warn("bad frame", start + 1h + 59s);
  }
  log.Warn("bad frame", start + 1h + 60s);
  log.Warn("bad frame", start + 1h + 61s);
  log.Warn("bad frame", start + 1h + 121s);
  const std::string out = console.Stop();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
  EXPECT_NE(out.find("WARN bad frame\n"), std::string::npos) << out;
  EXPECT_NE(out.find("WARN bad frame (20000 more like it since the last report)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("WARN bad frame (1 more like it since the last report)\n"), std::string::npos)
      << out;
}

}  // namespace
}  // namespace larkspire
