#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "util/ipv4_network.h"

namespace larkspire {

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
