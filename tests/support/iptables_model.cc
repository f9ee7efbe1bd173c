#include "support/iptables_model.h"

#include <algorithm>
#include <cctype>
#include <sstream>

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
  std::istringstream stream(command);
  std::vector<std::string> words;
  for (std::string word; stream >> word && word != "2>/dev/null";) {
    words.push_back(word);
  }
  if (words.empty() || words[0] != "iptables") {
    return 0;
  }
  bool waits = false;
  std::string table = "filter";
  size_t at = 1;
  for (; at + 1 < words.size() && (words[at] == "-w" || words[at] == "-t"); ++at) {
    if (words[at] == "-t") {
      table = words[++at];
    } else {
      waits = true;
      at += std::isdigit(static_cast<unsigned char>(words[at + 1][0])) ? 1 : 0;
    }
  }
  if (!waits || at + 1 >= words.size()) {
    return kFailed;
  }
  const std::string action = words[at];
  std::string rule;
  for (size_t i = at + 2; i < words.size(); ++i) {
    rule += (rule.empty() ? "" : " ") + words[i];
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string>& rules = rules_[table + " " + words[at + 1]];
  const auto found = std::find(rules.begin(), rules.end(), rule);
  if (action == "-C" || action == "-D") {
    if (found == rules.end()) {
      return kFailed;
    }
    if (action == "-D") {
      rules.erase(found);
    }
    return 0;
  }
  if (refuseAdditions_ || (action != "-A" && action != "-I")) {
    return kFailed;
  }
  rules.insert(action == "-I" ? rules.begin() : rules.end(), rule);
  return 0;
}

}  // namespace larkspire
