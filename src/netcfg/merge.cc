#include "netcfg/merge.h"

#include <algorithm>

#include "util/text.h"

namespace larkspire {

std::vector<std::string> MergeNetworks(const std::vector<std::string>& first,
                                       const std::vector<std::string>& second) {
  std::vector<std::string> merged;
  auto add = [&merged](const std::string& entry) {
    std::string text = Trim(entry);
    if (!text.empty() && std::find(merged.begin(), merged.end(), text) == merged.end()) {
      merged.push_back(std::move(text));
    }
  };
  std::for_each(first.begin(), first.end(), add);
  std::for_each(second.begin(), second.end(), add);
  return merged;
}

}  // namespace larkspire
