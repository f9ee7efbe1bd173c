#pragma once

#include <string>
#include <vector>

namespace larkspire {

// Networks shared by an edge whose old configuration holds `shared` and `additional`, now
// that `detected` networks were found. The flags say which start-up log lines apply.
struct SharedNetworkResolution {
  std::vector<std::string> sharedNetworks;
  std::vector<std::string> additionalSharedNetworks;
  bool treatedAsAdditional = false;  // an operator's list moved to the additional networks
  bool changed = false;              // sharedNetworks differs from the stored list
};

// The shared list becomes the detected networks merged with the additional ones. A stored
// list that is neither empty nor the old placeholder 192.168.1.0/24, in a configuration
// without additional networks, was written by an operator before additional networks
// existed: it is kept as the additional networks rather than dropped.
SharedNetworkResolution ResolveSharedNetworks(const std::vector<std::string>& detected,
                                              const std::vector<std::string>& shared,
                                              const std::vector<std::string>& additional);

}  // namespace larkspire
