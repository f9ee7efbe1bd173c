#include "relay/ingress_filter.h"

#include <arpa/inet.h>

#include <algorithm>

#include "relay/byte_order.h"
#include "util/defaults.h"
#include "util/metrics.h"
#include "util/rate_limited_log.h"

namespace larkspire {
namespace {

constexpr size_t kIpv4HeaderMin = 20;

uint32_t ReadAddress(const uint8_t* field) {
  return static_cast<uint32_t>(LoadBigEndian(field, 4));
}

std::string AddressText(const uint8_t* field) {
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, field, text, sizeof text);
  return text;
}

}  // namespace

IngressFilter::IngressFilter(const std::vector<std::string>& sharedNetworks)
    : overlay_(*ParseIpv4Cidr(kOverlayNetwork)),
      tunnelAddress_(ParseIpv4Cidr(std::string(kTunnelAddress) + "/32")->address) {
  for (const std::string& text : sharedNetworks) {
    if (const auto network = ParseIpv4Cidr(text)) {
      sharedNetworks_.push_back(*network);
    }
  }
}

IngressFilter::Verdict IngressFilter::Check(std::span<const uint8_t> packet) const {
  if (packet.size() < kIpv4HeaderMin || packet[0] >> 4 != 4) {
    return Verdict::kNotIpv4;
  }
  if (!overlay_.Contains(ReadAddress(&packet[12]))) {
    return Verdict::kSourceOutsideOverlay;
  }
  const uint32_t destination = ReadAddress(&packet[16]);
  const bool served =
      destination == tunnelAddress_ || std::any_of(sharedNetworks_.begin(), sharedNetworks_.end(),
                                                   [destination](const Ipv4Network& network) {
                                                     return network.Contains(destination);
                                                   });
  return served ? Verdict::kPass : Verdict::kDestinationNotShared;
}

void ReportIngressDrop(IngressFilter::Verdict verdict, std::span<const uint8_t> packet) {
  static RateLimitedLog warnings;
  switch (verdict) {
    case IngressFilter::Verdict::kPass:
      return;
    case IngressFilter::Verdict::kNotIpv4:
      CountUp(g_metrics.hubPacketsRefused.notIpv4);
      warnings.Warn("Dropped a packet from the Hub: not IPv4.");
      return;
    case IngressFilter::Verdict::kSourceOutsideOverlay:
      CountUp(g_metrics.hubPacketsRefused.sourceOutsideOverlay);
      warnings.Warn("Dropped a packet from the Hub: source " + AddressText(&packet[12]) +
                    " is outside " + kOverlayNetwork + ".");
      return;
    case IngressFilter::Verdict::kDestinationNotShared:
      CountUp(g_metrics.hubPacketsRefused.destinationNotShared);
      warnings.Warn("Dropped a packet from the Hub: destination " + AddressText(&packet[16]) +
                    " is not in the shared networks.");
      return;
  }
}

}  // namespace larkspire
