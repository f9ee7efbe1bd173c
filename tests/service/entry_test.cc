// Runs the built agent binary as operators and the service manager do: command line, log
// file, signals and exit statuses.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "util/file.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;

const std::string kUsage =
    "Usage: larkspire-edge --config /etc/larkspire/edge.json --workdir /opt/larkspire/edge\n";
const std::string kBom = "\xEF\xBB\xBF";
const std::string kStartLine = "INFO LarkSpire Edge Linux starting. Log file: ";
const std::string kStopLine = "INFO LarkSpire Edge Linux stopped.";
// Generous bounds that only keep a broken agent from hanging the suite; nothing is timed.
constexpr auto kPatience = std::chrono::seconds(60);

// One started agent process. Standard output and standard error go to files in `dir`, or
// standard output to a pipe whose reader is already gone when `closedStdout` is set.
struct Agent {
  pid_t pid = -1;
  std::string stdoutPath;
  std::string stderrPath;
  std::string Stdout() const { return ReadFile(stdoutPath); }
};

// THE place where the agent is launched. Everything that needs a running agent goes through
// here, so it can later be wrapped to run inside the network-namespace lab next to a
// development Hub (prefix the argument vector with the wrapper command) without touching
// the tests; they rely only on the start lines, the stop line and the exit status.
Agent LaunchAgent(const std::vector<std::string>& args, const std::string& dir,
                  bool closedStdout = false) {
  Agent agent;
  agent.stdoutPath = dir + "/agent.stdout";
  agent.stderrPath = dir + "/agent.stderr";
  std::vector<std::string> argv = {LARKSPIRE_EDGE_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  int pipeFds[2] = {-1, -1};
  if (closedStdout && ::pipe(pipeFds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return agent;
  }
  agent.pid = ::fork();
  if (agent.pid == 0) {
    int out = closedStdout ? pipeFds[1]
                           : ::open(agent.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(agent.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (closedStdout) {
      ::close(pipeFds[0]);
    }
    // The test runner may block or ignore signals; the agent must start with the defaults.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    std::vector<char*> raw;
    for (auto& word : argv) {
      raw.push_back(word.data());
    }
    raw.push_back(nullptr);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  if (closedStdout) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
  }
  return agent;
}

// The wait status of the agent; kills it and fails the test if it does not end in time.
int WaitForExit(const Agent& agent) {
  auto deadline = std::chrono::steady_clock::now() + kPatience;
  int status = 0;
  while (::waitpid(agent.pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(agent.pid, SIGKILL);
      ::waitpid(agent.pid, &status, 0);
      ADD_FAILURE() << "agent did not exit";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - status; }

// Runs the agent to its end and returns its exit code.
int RunAgent(const std::vector<std::string>& args, const std::string& dir, Agent* agent) {
  *agent = LaunchAgent(args, dir);
  return ExitCode(WaitForExit(*agent));
}

// Every log file under <workDir>/Log.
std::vector<std::string> LogFiles(const std::string& workDir) {
  std::vector<std::string> files;
  std::error_code error;
  if (!fs::exists(workDir + "/Log", error)) {
    return files;
  }
  for (const auto& entry : fs::recursive_directory_iterator(workDir + "/Log")) {
    if (entry.is_regular_file()) {
      files.push_back(entry.path().string());
    }
  }
  return files;
}

// Waits until the agent's log file holds the "Config: " start line; returns the file's path.
std::string WaitForStart(const Agent& agent, const std::string& workDir) {
  auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    auto files = LogFiles(workDir);
    if (files.size() == 1 && ReadFile(files[0]).find("] INFO Config: ") != std::string::npos) {
      return files[0];
    }
    int status = 0;
    if (::waitpid(agent.pid, &status, WNOHANG) == agent.pid) {
      ADD_FAILURE() << "agent ended before its start lines, status " << status << "\n"
                    << ReadFile(agent.stdoutPath) << ReadFile(agent.stderrPath);
      return "";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "no start lines in a log file under " << workDir;
  ::kill(agent.pid, SIGKILL);
  return "";
}

std::string WriteSampleConfig(const TempDir& dir) {
  const std::string path = dir / "edge.json";
  // A port of its own keeps parallel runs apart; a port in use would only disable the page.
  const int webPort = 20000 + static_cast<int>(::getpid() % 20000);
  WriteFileAtomic(path,
                  "{\n  \"serverUrl\": \"http://127.0.0.1:31080\",\n"
                  "  \"webBindAddress\": \"127.0.0.1\",\n  \"webPort\": " +
                      std::to_string(webPort) + "\n}\n",
                  0600);
  return path;
}

TEST(EntryTest, HelpPrintsTheUsageLineAndStopsReadingArguments) {
  const std::vector<std::vector<std::string>> cases = {
      {"--help"}, {"-h"}, {"-h", "--bogus"}, {"--config", "x.json", "--help", "--workdir"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + " ... " + args.back());
    TempDir dir;
    Agent agent;
    EXPECT_EQ(RunAgent(args, dir.path(), &agent), 0);
    EXPECT_EQ(agent.Stdout(), kUsage);
  }
}

TEST(EntryTest, UnknownArgumentsEndWithStatusOneAndNoLogFile) {
  struct Case {
    std::vector<std::string> args;
    std::string word;
  };
  TempDir dir;
  const std::string work = dir / "work";
  const Case cases[] = {
      {{"--workdir", work, "--bogus"}, "--bogus"},
      {{"--workdir", work, "--config"}, "--config"},
      {{"--workdir", work, "--workdir"}, "--workdir"},
      {{"--workdir", work, "stray", "-h"}, "stray"},
      {{"--workdir", work, "--HELP"}, "--HELP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    Agent agent;
    EXPECT_EQ(RunAgent(c.args, dir.path(), &agent), 1);
    EXPECT_TRUE(std::regex_match(agent.Stdout(), std::regex(R"(\[\d\d:\d\d:\d\d\] ERROR Unknown argument: )" +
                                                            c.word + "\n")))
        << agent.Stdout();
    EXPECT_FALSE(fs::exists(work));
  }
}

TEST(EntryTest, MissingOrEmptyConfigurationIsFatal) {
  TempDir dir;
  WriteFileAtomic(dir / "empty.json", "", 0600);
  for (const std::string& config : {dir / "none.json", dir / "empty.json"}) {
    SCOPED_TRACE(config);
    const std::string work = dir / ("work-" + fs::path(config).stem().string());
    Agent agent;
    EXPECT_EQ(RunAgent({"--config", config, "--workdir", work}, dir.path(), &agent), 1);
    const std::string error = "] ERROR Config file was not found or is empty: " + config + "\n";
    EXPECT_NE(agent.Stdout().find(error), std::string::npos) << agent.Stdout();
    auto files = LogFiles(work);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(ReadFile(files[0]).find(error), std::string::npos);
    EXPECT_EQ(ReadFile(files[0]).find(kStopLine), std::string::npos);
  }
}

class EntrySignalTest : public testing::TestWithParam<int> {};

TEST_P(EntrySignalTest, StartsLogsAndStopsCleanly) {
  TempDir dir;
  const std::string config = WriteSampleConfig(dir);
  const std::string work = dir / "opt/larkspire/edge";  // missing parents are created
  Agent agent = LaunchAgent({"--workdir", work, "--config", config}, dir.path());
  const std::string logPath = WaitForStart(agent, work);
  ASSERT_FALSE(logPath.empty());

  EXPECT_TRUE(std::regex_match(logPath, std::regex(work + R"(/Log/(\d{6})/\1\d{2}_\d{6}\.log)")))
      << logPath;
  std::string log = ReadFile(logPath);
  EXPECT_EQ(log.substr(0, 3), kBom);
  EXPECT_TRUE(std::regex_search(
      log, std::regex(R"(^...\[\d\d:\d\d:\d\d\] )" + kStartLine + logPath + "\n" +
                      R"(\[\d\d:\d\d:\d\d\] INFO Config: )" + config + "\n")))
      << log;

  // A peer closing a socket on us raises SIGPIPE; it must not end the agent.
  ::kill(agent.pid, SIGPIPE);
  ::kill(agent.pid, GetParam());
  EXPECT_EQ(ExitCode(WaitForExit(agent)), 0);
  log = ReadFile(logPath);
  EXPECT_NE(log.find("] " + kStopLine + "\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
  EXPECT_NE(agent.Stdout().find(kStopLine), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(StopSignals, EntrySignalTest, testing::Values(SIGTERM, SIGINT),
                         [](const testing::TestParamInfo<int>& info) {
                           return info.param == SIGTERM ? std::string("Sigterm")
                                                        : std::string("Sigint");
                         });

TEST(EntryTest, ConsoleGoneDoesNotStopTheAgent) {
  // Started from a shell pipe whose reader has exited: console writes fail, the log file
  // still gets every line.
  TempDir dir;
  const std::string config = WriteSampleConfig(dir);
  const std::string work = dir / "work";
  Agent agent = LaunchAgent({"--config", config, "--workdir", work}, dir.path(), true);
  const std::string logPath = WaitForStart(agent, work);
  ASSERT_FALSE(logPath.empty());
  ::kill(agent.pid, SIGTERM);
  EXPECT_EQ(ExitCode(WaitForExit(agent)), 0);
  EXPECT_NE(ReadFile(logPath).find(kStopLine), std::string::npos);
}

}  // namespace
}  // namespace larkspire
