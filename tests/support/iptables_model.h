#pragma once

#include <algorithm>
#include <map>
#include <mutex>
#include <regex>
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
  Chains Rules() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Chains nonEmpty = rules_;
    std::erase_if(nonEmpty, [](const auto& chain) { return chain.second.empty(); });
    return nonEmpty;
  }
  void SetRules(Chains rules) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_ = std::move(rules);
  }
  // While set, every -A and -I fails, as when the kernel lacks a module the rule needs.
  void RefuseAdditions(bool refuse) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuseAdditions_ = refuse;
  }

 private:
  static constexpr int kFailed = 256;  // exit code 1, as system() reports it

  int Run(const std::string& command) {
    static const std::regex iptables(
        R"(iptables -w(?: \d+)? (?:-t (\S+) )?-([CAID]) (\S+) (.*?)(?: 2>/dev/null)?)");
    static const std::regex ip(R"(ip (route|addr) (replace|del|flush) (?:(\S+) )?dev (\S+))");
    std::smatch parts;
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::regex_match(command, parts, ip)) {
      return RunIpLocked(parts[1] == "route" ? "route" : "address", parts[2].str()[0],
                         parts[3].str() + " dev " + parts[4].str());
    }
    if (!command.starts_with("iptables")) {
      return 0;
    }
    if (!std::regex_match(command, parts, iptables)) {
      return kFailed;
    }
    const char action = parts[2].str()[0];
    std::vector<std::string>& rules =
        rules_[(parts[1].matched ? parts[1].str() : "filter") + " " + parts[3].str()];
    const auto found = std::find(rules.begin(), rules.end(), parts[4].str());
    if (action == 'C' || action == 'D') {
      if (found == rules.end()) {
        return kFailed;
      }
      if (action == 'D') {
        rules.erase(found);
      }
      return 0;
    }
    if (refuseAdditions_) {
      return kFailed;
    }
    rules.insert(action == 'I' ? rules.begin() : rules.end(), parts[4].str());
    return 0;
  }

  // `action` is the first letter of replace, del or flush.
  int RunIpLocked(const std::string& chain, char action, const std::string& entry) {
    std::vector<std::string>& entries = rules_[chain];
    const auto found = std::find(entries.begin(), entries.end(), entry);
    if (action == 'r' && found == entries.end()) {
      entries.push_back(entry);
    } else if (action == 'd') {
      return found == entries.end() ? 2 << 8 : (entries.erase(found), 0);
    } else if (action == 'f') {
      const std::string device = entry.substr(entry.find(" dev "));
      std::erase_if(entries, [&](const std::string& e) { return e.ends_with(device); });
    }
    return 0;
  }

  mutable std::mutex mutex_;
  Chains rules_;
  bool refuseAdditions_ = false;
  CommandRecorder recorder_{[this](const std::string& command) { return Run(command); }};
};

}  // namespace larkspire
