#include "support/command_recorder.h"

#include <utility>

namespace larkspire {

CommandRecorder::CommandRecorder() {
  previous_ = ReplaceCommandRunner([this](const std::string& command) { return Run(command); });
}

CommandRecorder::~CommandRecorder() { ReplaceCommandRunner(std::move(previous_)); }

void CommandRecorder::FailWhenContains(std::string fragment, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back({std::move(fragment), status});
}

void CommandRecorder::SetDefault(std::function<int(const std::string& command)> decide) {
  std::lock_guard<std::mutex> lock(mutex_);
  decide_ = std::move(decide);
}

std::vector<std::string> CommandRecorder::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::vector<std::string> CommandRecorder::CommandsContaining(const std::string& fragment) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> matching;
  for (const auto& command : commands_) {
    if (command.find(fragment) != std::string::npos) {
      matching.push_back(command);
    }
  }
  return matching;
}

void CommandRecorder::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.clear();
}

int CommandRecorder::Run(const std::string& command) {
  std::function<int(const std::string&)> decide;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(command);
    for (const auto& rule : rules_) {
      if (command.find(rule.fragment) != std::string::npos) {
        return rule.status;
      }
    }
    decide = decide_;
  }
  // Called outside the lock so a default may itself query the recorder.
  return decide ? decide(command) : 0;
}

}  // namespace larkspire
