#include "util/command.h"

#include <cstdlib>
#include <mutex>

#include "util/logger.h"

namespace larkspire {
namespace {

std::mutex g_runner_mutex;
CommandRunner g_runner;

int RunThroughShell(const std::string& command) {
  return std::system(command.c_str());
}

CommandRunner CurrentRunner() {
  std::lock_guard<std::mutex> lock(g_runner_mutex);
  return g_runner ? g_runner : CommandRunner(RunThroughShell);
}

}  // namespace

CommandRunner ReplaceCommandRunner(CommandRunner runner) {
  std::lock_guard<std::mutex> lock(g_runner_mutex);
  CommandRunner previous = std::move(g_runner);
  g_runner = std::move(runner);
  return previous;
}

int RunCommand(const std::string& command) {
  g_log.Write("INFO", "exec: " + command);
  int status = CurrentRunner()(command);
  if (status != 0) {
    g_log.Write("WARN", "command failed with code " + std::to_string(status) + ": " + command);
  }
  return status;
}

int RunCommandQuiet(const std::string& command) {
  return CurrentRunner()(command);
}

}  // namespace larkspire
