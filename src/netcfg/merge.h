#pragma once

#include <string>
#include <vector>

namespace larkspire {

// Trimmed, non-empty, textually distinct entries of `first` then `second`, in first-seen order.
std::vector<std::string> MergeNetworks(const std::vector<std::string>& first,
                                       const std::vector<std::string>& second);

}  // namespace larkspire
