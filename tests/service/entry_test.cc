// Runs the built agent binary as operators and the service manager do: command line, log
// file and exit statuses of runs that end before the network is touched.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

const std::string kUsage =  // as a regular expression
    R"(Usage: larkspire-edge --config /etc/larkspire/edge\.json --workdir /opt/larkspire/edge\n)";
const std::string kStopLine = "INFO LarkSpire Edge Linux stopped.";
// Generous bounds that only keep a broken agent from hanging the suite; nothing is timed.
constexpr auto kPatience = std::chrono::seconds(60);

// Only runs that end before the service reaches the network are launched here, on the host:
// a running agent configures the kernel, so signals and stopping are tested in the
// namespace lab next to a development Hub (tests/e2e/edge_signals.sh).
//
// Runs the agent to its end, with standard output and standard error in files in `dir`, and
// returns its exit code; kills it and fails the test if it does not end in time.
int RunAgent(const std::vector<std::string>& args, const std::string& dir, std::string* out) {
  const std::string stdoutPath = dir + "/agent.stdout";
  const std::string stderrPath = dir + "/agent.stderr";
  std::vector<std::string> argv = {LARKSPIRE_EDGE_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
    ::dup2(::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
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
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "agent did not exit";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  *out = ReadFile(stdoutPath);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - status;
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

// Help stops reading arguments and succeeds; an unknown argument fails. Neither run gets as
// far as the work directory.
TEST(EntryTest, HelpOrAnUnknownArgumentEndsTheRunBeforeTheLogFile) {
  TempDir dir;
  const std::string work = dir / "work";
  const std::string unknown = R"(\[\d\d:\d\d:\d\d\] ERROR Unknown argument: )";
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string output;  // a regular expression
  };
  const Case cases[] = {
      {{"--help"}, 0, kUsage},
      {{"--workdir", work, "-h", "--bogus"}, 0, kUsage},
      {{"--workdir", work, "--config", "x.json", "--help", "--workdir"}, 0, kUsage},
      {{"--no-tun-offload", "--workdir", work, "--help"}, 0, kUsage},
      {{"--workdir", work, "--bogus"}, 1, unknown + "--bogus\n"},
      {{"--workdir", work, "--config"}, 1, unknown + "--config\n"},
      {{"--workdir", work, "--workdir"}, 1, unknown + "--workdir\n"},
      {{"--workdir", work, "stray", "-h"}, 1, unknown + "stray\n"},
      {{"--workdir", work, "--HELP"}, 1, unknown + "--HELP\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    std::string out;
    EXPECT_EQ(RunAgent(c.args, dir.path(), &out), c.exitCode);
    EXPECT_TRUE(std::regex_match(out, std::regex(c.output))) << out;
    EXPECT_FALSE(fs::exists(work));
  }
}

TEST(EntryTest, MissingOrEmptyConfigurationIsFatal) {
  TempDir dir;
  WriteFileAtomic(dir / "empty.json", "", 0600);
  for (const std::string& config : {dir / "none.json", dir / "empty.json"}) {
    SCOPED_TRACE(config);
    const std::string work = dir / ("work-" + fs::path(config).stem().string());
    std::string out;
    EXPECT_EQ(RunAgent({"--config", config, "--workdir", work}, dir.path(), &out), 1);
    const std::string error = "] ERROR Config file was not found or is empty: " + config + "\n";
    EXPECT_NE(out.find(error), std::string::npos) << out;
    auto files = LogFiles(work);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(ReadFile(files[0]).find(error), std::string::npos);
    EXPECT_EQ(ReadFile(files[0]).find(kStopLine), std::string::npos);
  }
}

}  // namespace
}  // namespace larkspire
