#include "support/iptables_model.h"

#include <algorithm>
#include <regex>

namespace larkspire {

IptablesModel::Chains IptablesModel::Rules() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Chains nonEmpty = rules_;
  std::erase_if(nonEmpty, [](const auto& chain) { return chain.second.empty(); });
  return nonEmpty;
}

void IptablesModel::SetRules(Chains rules) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_ = std::move(rules);
}

void IptablesModel::RefuseAdditions(bool refuse) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuseAdditions_ = refuse;
}

int IptablesModel::Run(const std::string& command) {
  constexpr int kFailed = 256;  // exit code 1, as system() reports it
  // Only the lock-waiting form is taken: -w [seconds], then an optional table.
  static const std::regex form(
      R"(iptables -w(?: \d+)? (?:-t (\S+) )?-([CAID]) (\S+) (.*?)(?: 2>/dev/null)?)");
  std::smatch parts;
  if (!command.starts_with("iptables")) {
    return RunIp(command);
  }
  if (!std::regex_match(command, parts, form)) {
    return kFailed;
  }
  const char action = parts[2].str()[0];
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string>& rules =
      rules_[(parts[1].matched ? parts[1].str() : "filter") + " " + parts[3].str()];
  const auto found = std::find(rules.begin(), rules.end(), parts[4].str());
  if (action == 'C' || action == 'D') {
    if (found != rules.end() && action == 'D') {
      rules.erase(found);
      return 0;
    }
    return found == rules.end() ? kFailed : 0;
  }
  if (refuseAdditions_) {
    return kFailed;
  }
  rules.insert(action == 'I' ? rules.begin() : rules.end(), parts[4].str());
  return 0;
}

// Routes and addresses as "<network> dev <device>" in the "route" and "address" chains.
int IptablesModel::RunIp(const std::string& command) {
  static const std::regex form(R"(ip (route|addr) (replace|del|flush) (?:(\S+) )?dev (\S+))");
  std::smatch parts;
  if (!std::regex_match(command, parts, form)) {
    return 0;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string>& entries = rules_[parts[1] == "route" ? "route" : "address"];
  const std::string entry = parts[3].str() + " dev " + parts[4].str();
  const auto found = std::find(entries.begin(), entries.end(), entry);
  if (parts[2] == "replace" && found == entries.end()) {
    entries.push_back(entry);
  } else if (parts[2] == "del") {
    return found == entries.end() ? 2 << 8 : (entries.erase(found), 0);
  } else if (parts[2] == "flush") {
    std::erase_if(entries,
                  [&](const std::string& e) { return e.ends_with(" dev " + parts[4].str()); });
  }
  return 0;
}

}  // namespace larkspire
