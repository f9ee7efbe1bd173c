#include "service/shared_networks.h"

#include "netcfg/merge.h"

namespace larkspire {
namespace {

constexpr const char* kPlaceholderNetwork = "192.168.1.0/24";

bool IsOperatorList(const std::vector<std::string>& shared,
                    const std::vector<std::string>& additional) {
  bool placeholder = shared.size() == 1 && shared.front() == kPlaceholderNetwork;
  return !shared.empty() && !placeholder && additional.empty();
}

}  // namespace

SharedNetworkResolution ResolveSharedNetworks(const std::vector<std::string>& detected,
                                              const std::vector<std::string>& shared,
                                              const std::vector<std::string>& additional) {
  SharedNetworkResolution result{shared, additional, false, false};
  std::vector<std::string> effective = MergeNetworks(detected, additional);
  if (shared == effective) {
    return result;
  }
  if (IsOperatorList(shared, additional)) {
    result.additionalSharedNetworks = shared;
    result.treatedAsAdditional = true;
    effective = MergeNetworks(detected, result.additionalSharedNetworks);
  }
  result.sharedNetworks = std::move(effective);
  result.changed = true;
  return result;
}

}  // namespace larkspire
