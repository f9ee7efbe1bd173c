#include "util/ipv4_network.h"

#include <arpa/inet.h>

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

}  // namespace larkspire
