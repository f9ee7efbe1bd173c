#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "util/ipv4_network.h"

namespace larkspire {

// Which packets from the Hub may enter the TUN device, and so the machine and its networks:
// IPv4 from the overlay, to one of the shared networks or to the edge's own tunnel address.
// Anything else (a forged source, a destination this edge does not serve, IPv6, debris) is
// refused whatever the Hub claims. Immutable after construction, so the reader threads share it.
class IngressFilter {
 public:
  enum class Verdict { kPass, kNotIpv4, kSourceOutsideOverlay, kDestinationNotShared };

  // Entries of `sharedNetworks` that are not "a.b.c.d/n" serve nothing.
  explicit IngressFilter(const std::vector<std::string>& sharedNetworks);

  Verdict Check(std::span<const uint8_t> packet) const;

 private:
  Ipv4Network overlay_;
  uint32_t tunnelAddress_ = 0;
  std::vector<Ipv4Network> sharedNetworks_;
};

// Counts a refused packet and warns of it (rate-limited) with its addresses.
void ReportIngressDrop(IngressFilter::Verdict verdict, std::span<const uint8_t> packet);

}  // namespace larkspire
