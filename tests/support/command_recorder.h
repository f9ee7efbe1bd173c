#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "util/command.h"

namespace larkspire {

// Test double for the shell: while alive it is the runner behind RunCommand. It keeps every
// command line in order and answers 0 unless a rule says otherwise; nothing reaches the real
// shell. The destructor puts back whatever runner was installed before. Any thread may run
// commands through it; the queries take the same lock.
class CommandRecorder {
 public:
  CommandRecorder();
  CommandRecorder(const CommandRecorder&) = delete;
  CommandRecorder& operator=(const CommandRecorder&) = delete;
  ~CommandRecorder();

  // Commands containing `fragment` return `status` (a raw wait status: exit code 1 is 256).
  // The first matching rule wins, so add the narrowest rules first.
  void FailWhenContains(std::string fragment, int status = 256);
  // Decides the status of every command not matched by a FailWhenContains rule.
  void SetDefault(std::function<int(const std::string& command)> decide);

  // Every command line so far, in the order they ran.
  std::vector<std::string> Commands() const;
  // The command lines that contain `fragment`.
  std::vector<std::string> CommandsContaining(const std::string& fragment) const;
  bool Ran(const std::string& fragment) const { return !CommandsContaining(fragment).empty(); }
  void Clear();

 private:
  int Run(const std::string& command);

  struct Rule {
    std::string fragment;
    int status;
  };

  mutable std::mutex mutex_;
  std::vector<std::string> commands_;
  std::vector<Rule> rules_;
  std::function<int(const std::string&)> decide_;
  CommandRunner previous_;
};

}  // namespace larkspire
