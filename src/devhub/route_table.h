#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace larkspire {

struct Ipv4Network {
  uint32_t address = 0;  // host byte order, host bits cleared
  int prefixLength = 0;

  uint32_t Mask() const { return prefixLength == 0 ? 0 : ~uint32_t{0} << (32 - prefixLength); }
  bool Contains(uint32_t host) const { return (host & Mask()) == address; }
};

// "a.b.c.d/n" (host bits are cleared); nothing for anything else.
std::optional<Ipv4Network> ParseIpv4Cidr(const std::string& text);

// Which device serves a destination address: each device announces its shared networks and
// the most specific network containing the address wins (the device added first on a tie).
// Not thread-safe: the owner locks around it.
class RouteTable {
 public:
  // Replaces the device's networks; malformed entries are skipped. Returns the accepted ones.
  std::vector<Ipv4Network> SetDevice(const std::string& deviceNumber,
                                     const std::vector<std::string>& cidrs);
  void RemoveDevice(const std::string& deviceNumber);

  // The device number for a destination (host byte order), or nullptr.
  const std::string* Lookup(uint32_t destination) const;

 private:
  struct Entry {
    Ipv4Network network;
    std::string deviceNumber;
  };
  std::vector<Entry> entries_;  // most specific first
};

}  // namespace larkspire
