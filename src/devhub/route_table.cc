#include "devhub/route_table.h"

#include <algorithm>

namespace larkspire {

std::vector<Ipv4Network> RouteTable::SetDevice(const std::string& deviceNumber,
                                               const std::vector<std::string>& cidrs) {
  RemoveDevice(deviceNumber);
  std::vector<Ipv4Network> accepted;
  for (const std::string& cidr : cidrs) {
    std::optional<Ipv4Network> network = ParseIpv4Cidr(cidr);
    if (network) {
      entries_.push_back({*network, deviceNumber});
      accepted.push_back(*network);
    }
  }
  std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return a.network.prefixLength > b.network.prefixLength;
  });
  return accepted;
}

void RouteTable::RemoveDevice(const std::string& deviceNumber) {
  std::erase_if(entries_, [&](const Entry& e) { return e.deviceNumber == deviceNumber; });
}

const std::string* RouteTable::Lookup(uint32_t destination) const {
  for (const Entry& entry : entries_) {
    if (entry.network.Contains(destination)) {
      return &entry.deviceNumber;
    }
  }
  return nullptr;
}

}  // namespace larkspire
