#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "util/command.h"

namespace larkspire {

// Test double for the shell: while alive it is the runner behind RunCommand. It keeps every
// command line in order and answers with `decide` (0 when none); nothing reaches the real
// shell. The destructor puts back the runner installed before. Any thread.
class CommandRecorder {
 public:
  explicit CommandRecorder(CommandRunner decide = nullptr)
      : decide_(std::move(decide)), previous_(ReplaceCommandRunner([this](const std::string& c) {
          {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(c);
          }
          return decide_ ? decide_(c) : 0;
        })) {}
  CommandRecorder(const CommandRecorder&) = delete;
  CommandRecorder& operator=(const CommandRecorder&) = delete;
  ~CommandRecorder() { ReplaceCommandRunner(std::move(previous_)); }

  std::vector<std::string> Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }

 private:
  CommandRunner decide_;
  CommandRunner previous_;
  mutable std::mutex mutex_;
  std::vector<std::string> commands_;
};

}  // namespace larkspire
