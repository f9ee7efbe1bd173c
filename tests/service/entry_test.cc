// Runs the built agent binary as operators and the service manager do: command line, log
// file and exit statuses of runs that end before the network is touched.

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
const std::string kStopLine = "INFO LarkSpire Edge Linux stopped.";
// Generous bounds that only keep a broken agent from hanging the suite; nothing is timed.
constexpr auto kPatience = std::chrono::seconds(60);

// One started agent process. Standard output and standard error go to files in `dir`.
struct Agent {
  pid_t pid = -1;
  std::string stdoutPath;
  std::string stderrPath;
  std::string Stdout() const { return ReadFile(stdoutPath); }
};

// Only runs that end before the service reaches the network are launched here, on the host:
// a running agent configures the kernel, so signals and stopping are tested in the
// namespace lab next to a development Hub (tests/e2e/edge_signals.sh).
Agent LaunchAgent(const std::vector<std::string>& args, const std::string& dir) {
  Agent agent;
  agent.stdoutPath = dir + "/agent.stdout";
  agent.stderrPath = dir + "/agent.stderr";
  std::vector<std::string> argv = {LARKSPIRE_EDGE_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  agent.pid = ::fork();
  if (agent.pid == 0) {
    int out = ::open(agent.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(agent.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
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

}  // namespace
}  // namespace larkspire
