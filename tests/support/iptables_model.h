#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/command_recorder.h"

namespace larkspire {

// Test double for the kernel's firewall: while alive it is the runner behind RunCommand and
// answers iptables -C, -A, -I and -D as the real tool does, keeping the rules of each chain
// in order ("filter INPUT" -> the rule texts after the chain name, as the command wrote
// them). It keeps the routes and addresses that ip replaces, deletes and flushes as well
// ("route" and "address" -> "<network> dev <device>"); every other command (sysctl, ip link)
// succeeds without effect. An iptables command that does not wait for the xtables lock (-w)
// is refused, as it would race other tools. Any thread; a lock guards the state.
class IptablesModel {
 public:
  using Chains = std::map<std::string, std::vector<std::string>>;

  explicit IptablesModel(Chains initial = {}) : rules_(std::move(initial)) {}

  // The chains that hold a rule.
  Chains Rules() const;
  void SetRules(Chains rules);
  // While set, every -A and -I fails, as when the kernel lacks a module the rule needs.
  void RefuseAdditions(bool refuse);

 private:
  int Run(const std::string& command);
  int RunIp(const std::string& command);

  mutable std::mutex mutex_;
  Chains rules_;
  bool refuseAdditions_ = false;
  CommandRecorder recorder_{[this](const std::string& command) { return Run(command); }};
};

}  // namespace larkspire
