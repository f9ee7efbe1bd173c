#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace larkspire {

struct Ipv4Network {
  uint32_t address = 0;  // host byte order, host bits cleared
  int prefixLength = 0;

  uint32_t Mask() const { return prefixLength == 0 ? 0 : ~uint32_t{0} << (32 - prefixLength); }
  bool Contains(uint32_t host) const { return (host & Mask()) == address; }
};

// "a.b.c.d/n" (host bits are cleared); nothing for anything else.
std::optional<Ipv4Network> ParseIpv4Cidr(const std::string& text);

}  // namespace larkspire
