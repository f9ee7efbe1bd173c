#include "util/logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/stdout_capture.h"
#include "support/temp_dir.h"
#include "util/file.h"
#include "util/test_errors.h"

namespace larkspire {
namespace {

const std::string kBom = "\xEF\xBB\xBF";
const std::string kStamp = R"(\[\d\d:\d\d:\d\d\] )";

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    lines.push_back(line);
  }
  return lines;
}

TEST(LoggerTest, OpenStartsOrExtendsADatedFileAfterConsoleOnlyLines) {
  TempDir dir;
  ::mkdir((dir / "Log").c_str(), 0755);  // as an older version left it
  Logger log;
  StdoutCapture console;
  std::time_t before = std::time(nullptr);
  log.Write("ERROR", "early");
  log.Open(dir.path());
  log.Write("INFO", "hello \xE4\xB8\xAD");
  log.Write("INFO", "forged\n[00:00:00] ERROR line");
  std::string printed = console.Stop();

  // Log/YYYYMM/YYYYMMDD_HHMMSS.log, the month taken from the same instant as the name.
  std::smatch match;
  const std::string path = log.Path();
  ASSERT_TRUE(std::regex_match(path, match,
                               std::regex(dir.path() + R"(/Log/(\d{6})/(\d{8})_(\d{6})\.log)")));
  EXPECT_EQ(match[2].str().substr(0, 6), match[1].str());
  std::tm local{};
  localtime_r(&before, &local);
  EXPECT_GE(std::stoi(match[1].str()), (local.tm_year + 1900) * 100 + local.tm_mon + 1);

  // The line from before Open reaches the console only; an embedded line break is escaped,
  // so it cannot start an entry of its own.
  const std::string opened =
      kStamp + "INFO hello \\S+\n" + kStamp + R"(INFO forged\\n\[00:00:00\] ERROR line)" + "\n";
  std::string text = ReadFile(path);
  ASSERT_EQ(text.substr(0, 3), kBom);
  EXPECT_TRUE(std::regex_match(text.substr(3), std::regex(opened))) << text;
  EXPECT_TRUE(std::regex_match(printed, std::regex(kStamp + "ERROR early\n" + opened))) << printed;
  EXPECT_TRUE(printed.ends_with(text.substr(3)));
  // Readable by the operator and the group only.
  EXPECT_EQ(FileMode(path), 0640);
  EXPECT_EQ(FileMode(dir / "Log"), 0750);
  EXPECT_EQ(FileMode(path.substr(0, path.rfind('/'))), 0750);

  // A second start within the same second extends that file rather than truncating it, and
  // adds no second byte-order mark in the middle.
  StdoutCapture quiet;
  Logger second;
  second.Open(dir.path());
  second.Write("WARN", "two");
  const std::string after = ReadFile(second.Path());
  if (second.Path() == path) {
    ASSERT_TRUE(after.starts_with(text)) << after;
    EXPECT_TRUE(
        std::regex_match(after.substr(text.size()), std::regex(kStamp + "WARN two\n")));
  } else {
    EXPECT_EQ(after.substr(0, 3), kBom);
  }
}

TEST(LoggerTest, UnopenableFileThrowsWithThePath) {
  TempDir dir;
  WriteFileAtomic(dir / "work", "a file, not a directory", 0644);
  Logger log;
  const std::string error = testing::ErrorOf<std::runtime_error>([&] { log.Open(dir / "work"); });
  EXPECT_EQ(error, "Failed to open log file: " + log.Path());
  EXPECT_EQ(log.Path().rfind(dir / "work/Log/", 0), 0u);
}

TEST(LoggerTest, ConcurrentLinesNeverInterleave) {
  TempDir dir;
  Logger log;
  StdoutCapture console;
  log.Open(dir.path());
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      const std::string filler(200 + t * 50, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        log.Write(t % 2 ? "WARN" : "INFO", "t" + std::to_string(t) + " " + filler);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  std::string printed = console.Stop();
  std::string text = ReadFile(log.Path());
  ASSERT_EQ(text.substr(0, 3), kBom);
  const std::regex line(kStamp + R"((INFO|WARN) t(\d) ([a-h]+))");
  std::vector<int> perThread(kThreads, 0);
  for (const auto& entry : SplitLines(text.substr(3))) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(entry, match, line)) << entry.substr(0, 120);
    int t = std::stoi(match[2].str());
    EXPECT_EQ(match[3].str(), std::string(200 + t * 50, static_cast<char>('a' + t)));
    ++perThread[t];
  }
  for (int count : perThread) {
    EXPECT_EQ(count, kLines);
  }
  // The console saw the same lines in the same order.
  EXPECT_EQ(printed, text.substr(3));
}

}  // namespace
}  // namespace larkspire
