// Validation of UDP relay datagrams on arbitrary bytes, both ends: what the edge accepts as
// data or as a probe reply, and what the development Hub accepts as a probe. An accepted
// datagram must be exactly what a sender of the format could have written. Of the packets it
// carries (and of the input taken as a WebSocket message) the edge lets into its TUN device
// only IPv4 from the overlay to a shared network or to its tunnel address.
#include <cstring>
#include <span>
#include <vector>

#include "relay/ingress_filter.h"
#include "relay/udp_datagram.h"
#include "support/fuzz_check.h"

namespace larkspire {
namespace {

void CheckIngress(std::span<const uint8_t> packet) {
  static const IngressFilter filter({"192.168.50.0/24"});
  if (filter.Check(packet) == IngressFilter::Verdict::kPass) {
    FUZZ_CHECK(packet.size() >= 20 && packet[0] >> 4 == 4 && packet[12] == 10 && packet[13] == 250);
    const uint8_t* to = packet.data() + 16;
    FUZZ_CHECK((to[0] == 192 && to[1] == 168 && to[2] == 50) ||
               (to[0] == 100 && to[1] == 79 && to[2] == 255 && to[3] == 1));
  }
}

bool Same(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

void CheckDatagram(std::span<const uint8_t> datagram) {
  UdpData data;
  if (ParseUdpData(datagram, data)) {
    FUZZ_CHECK(datagram.size() <= kMaxUdpDatagram && data.channelId != 0);
    FUZZ_CHECK(!data.packet.empty() && data.packet.size() <= kMaxUdpPacket);
    FUZZ_CHECK(data.packet.data() + data.packet.size() == datagram.data() + datagram.size());
    std::vector<uint8_t> rebuilt(kUdpDataHeaderSize);
    WriteUdpDataHeader(rebuilt.data(), data.channelId);
    rebuilt.insert(rebuilt.end(), data.packet.begin(), data.packet.end());
    FUZZ_CHECK(Same(rebuilt, datagram));
    CheckIngress(data.packet);
  }
  if (const uint64_t channelId = ParseUdpProbeReply(datagram); channelId != 0) {
    uint8_t rebuilt[kUdpProbeReplySize];
    WriteUdpProbeReply(rebuilt, channelId);
    FUZZ_CHECK(Same(rebuilt, datagram));
  }
  UdpProbe probe;
  if (ParseUdpProbe(datagram, probe)) {
    // Rebuilding trims the fields, so compare only when they need no trimming.
    const std::vector<uint8_t> rebuilt = BuildUdpProbe(probe.deviceNumber, probe.deviceSecret);
    UdpProbe again;
    FUZZ_CHECK(ParseUdpProbe(rebuilt, again));
    FUZZ_CHECK(again.deviceNumber != probe.deviceNumber ||
               again.deviceSecret != probe.deviceSecret || Same(rebuilt, datagram));
  }
  CheckIngress(datagram);
}

}  // namespace
}  // namespace larkspire

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  larkspire::CheckDatagram({data, size});
  return 0;
}
