#include "util/command.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/command_recorder.h"
#include "support/stdout_capture.h"

namespace larkspire {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string RunLogged(const std::string& command, int* status) {
  StdoutCapture capture;
  *status = RunCommand(command);
  return capture.Stop();
}

TEST(RunCommandTest, RealShellRunsTheWholeLineAndReportsTheRawWaitStatus) {
  { CommandRecorder gone; }  // a recorder that went away leaves the real shell in place
  int status = -2;
  std::string log = RunLogged("exit 1", &status);
  EXPECT_EQ(status, 256);
  EXPECT_THAT(log, HasSubstr("] INFO exec: exit 1\n"));
  EXPECT_THAT(log, HasSubstr("] WARN command failed with code 256: exit 1\n"));

  log = RunLogged("true", &status);
  EXPECT_EQ(status, 0);
  EXPECT_THAT(log, HasSubstr("] INFO exec: true\n"));
  EXPECT_THAT(log, Not(HasSubstr("WARN")));

  RunLogged("exit 3 2>/dev/null || exit 7", &status);
  EXPECT_EQ(status, 3 << 8);
}

}  // namespace
}  // namespace larkspire
