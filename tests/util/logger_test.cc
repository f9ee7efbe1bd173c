#include "util/logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "support/stdout_capture.h"
#include "support/temp_dir.h"
#include "util/file.h"
#include "util/rate_limited_log.h"

namespace larkspire {
namespace {

// One byte-order mark even when a restart within the same second reopens the file.
TEST(LoggerTest, WritesEscapedLinesToAPrivateDatedFile) {
  TempDir dir;
  ::mkdir((dir / "Log").c_str(), 0755);  // as an older version left it
  StdoutCapture console;
  Logger log, second;
  log.Write("ERROR", "early");
  log.Open(dir.path());
  log.Write("INFO", "forged\n[00:00:00] ERROR line");
  second.Open(dir.path());
  second.Write("WARN", "two");
  const std::string stamp = R"(\[\d\d:\d\d:\d\d\] )";
  const std::string forged = stamp + R"(INFO forged\\n\[00:00:00\] ERROR line)" + "\n";
  const std::string two = second.Path() == log.Path() ? stamp + "WARN two\n" : "";
  EXPECT_TRUE(std::regex_match(
      console.Stop(), std::regex(stamp + "ERROR early\n" + forged + stamp + "WARN two\n")));
  EXPECT_TRUE(std::regex_match(ReadFile(log.Path()), std::regex("\xEF\xBB\xBF" + forged + two)));
  EXPECT_TRUE(
      std::regex_match(log.Path(), std::regex(dir.path() + R"(/Log/\d{6}/\d{8}_\d{6}\.log)")));
  EXPECT_EQ(FileMode(log.Path()), 0640);
  EXPECT_EQ(FileMode(dir / "Log"), 0750);
  WriteFileAtomic(dir / "work", "a file, not a directory", 0644);
  EXPECT_THROW(Logger().Open(dir / "work"), std::runtime_error);
}

// The first line at once, then one a minute at most, carrying the number left out.
TEST(RateLimitedLogTest, WritesTheFirstThenAtMostOneAMinuteWithTheCountLeftOut) {
  using namespace std::chrono_literals;
  RateLimitedLog log;
  StdoutCapture console;
  for (auto at : {0s, 59s, 59s, 60s, 61s, 120s}) {
    log.Warn("bad frame", RateLimitedLog::Clock::time_point{} + 1h + at);
  }
  EXPECT_EQ(std::regex_replace(console.Stop(), std::regex(R"(\[\d\d:\d\d:\d\d\] )"), ""),
            "WARN bad frame\n"
            "WARN bad frame (2 more like it since the last report)\n"
            "WARN bad frame (1 more like it since the last report)\n");
}

}  // namespace
}  // namespace larkspire
