#include "devhub/route_table.h"

#include <arpa/inet.h>

#include <algorithm>

namespace larkspire {

std::optional<Ipv4Network> ParseIpv4Cidr(const std::string& text) {
  size_t slash = text.find('/');
  if (slash == std::string::npos || slash + 1 >= text.size() || text.size() - slash > 3) {
    return std::nullopt;
  }
  in_addr address{};
  if (inet_pton(AF_INET, text.substr(0, slash).c_str(), &address) != 1) {
    return std::nullopt;
  }
  int prefix = 0;
  for (size_t i = slash + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return std::nullopt;
    }
    prefix = prefix * 10 + (text[i] - '0');
  }
  if (prefix > 32) {
    return std::nullopt;
  }
  Ipv4Network network;
  network.prefixLength = prefix;
  network.address = ntohl(address.s_addr) & network.Mask();
  return network;
}

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
