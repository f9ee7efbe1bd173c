#include "util/command.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

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

TEST(CommandRecorderTest, RecordsInOrderAndAnswersByRuleThenByDefault) {
  CommandRecorder recorder;
  recorder.FailWhenContains("iptables -D", 256);
  recorder.FailWhenContains("sysctl", 512);
  recorder.FailWhenContains("ping", 0);
  // The default may query the recorder itself: it runs outside the recorder's lock.
  recorder.SetDefault([&](const std::string& command) {
    return recorder.Ran("first") && command.find("second") != std::string::npos ? 256 : 0;
  });
  StdoutCapture quiet;
  EXPECT_EQ(RunCommand("ip link set 'larkspire0' up"), 0);
  EXPECT_EQ(RunCommand("iptables -D FORWARD -j ACCEPT"), 256);
  EXPECT_EQ(RunCommand("sysctl -w net.ipv4.ip_forward=1"), 512);
  EXPECT_EQ(RunCommand("second"), 0);
  EXPECT_EQ(RunCommand("first"), 0);
  EXPECT_EQ(RunCommand("second"), 256);
  EXPECT_EQ(RunCommand("ping -c 1 second"), 0);

  EXPECT_EQ(recorder.Commands(),
            (std::vector<std::string>{"ip link set 'larkspire0' up",
                                      "iptables -D FORWARD -j ACCEPT",
                                      "sysctl -w net.ipv4.ip_forward=1", "second", "first",
                                      "second", "ping -c 1 second"}));
  EXPECT_EQ(recorder.CommandsContaining("second").size(), 3u);
  EXPECT_TRUE(recorder.Ran("ip_forward"));
  recorder.Clear();
  EXPECT_TRUE(recorder.Commands().empty());

  // A nested recorder takes over and puts this one back; none of them reaches the shell.
  {
    CommandRecorder inner;
    EXPECT_EQ(RunCommand("exit 1"), 0);
    EXPECT_EQ(inner.Commands().size(), 1u);
  }
  EXPECT_EQ(RunCommand("exit 1"), 0);
  EXPECT_EQ(recorder.Commands(), (std::vector<std::string>{"exit 1"}));
}

TEST(CommandRecorderTest, RecordsEveryCommandFromManyThreads) {
  CommandRecorder recorder;
  StdoutCapture quiet;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        RunCommand("cmd " + std::to_string(t) + " " + std::to_string(i));
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(recorder.Commands().size(), 400u);
}

}  // namespace
}  // namespace larkspire
