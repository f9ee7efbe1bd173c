#include "util/command.h"

#include <gtest/gtest.h>

#include "support/stdout_capture.h"

namespace larkspire {
namespace {

// The real shell runs the whole line; the raw wait status comes back and a failure is logged.
TEST(RunCommandTest, RealShellReportsTheRawWaitStatus) {
  StdoutCapture console;
  EXPECT_EQ(RunCommand("exit 3 2>/dev/null || exit 7"), 3 << 8);
  EXPECT_EQ(RunCommand("true"), 0);
  const std::string log = console.Stop();
  EXPECT_NE(log.find("] INFO exec: true\n"), std::string::npos);
  EXPECT_NE(log.find("] WARN command failed with code 768: exit 3"), std::string::npos);
  EXPECT_EQ(log.find("code 0"), std::string::npos);
}

}  // namespace
}  // namespace larkspire
