// UDP relay datagrams at both ends: an accepted one is what the writer makes of its fields, and
// the edge lets into its TUN only IPv4 from the overlay to a shared network or its own address.
#include <algorithm>

#include "relay/ingress_filter.h"
#include "relay/udp_datagram.h"
#include "support/fuzz_harness.h"

namespace larkspire {

void CheckIngress(std::span<const uint8_t> packet) {
  static const IngressFilter filter({"192.168.50.0/24"});
  if (filter.Check(packet) == IngressFilter::Verdict::kPass) {
    FUZZ_CHECK(packet.size() >= 20 && packet[0] >> 4 == 4 && packet[12] == 10 && packet[13] == 250);
    const uint8_t* to = packet.data() + 16;
    FUZZ_CHECK((to[0] == 192 && to[1] == 168 && to[2] == 50) ||
               (to[0] == 100 && to[1] == 79 && to[2] == 255 && to[3] == 1));
  }
}

void FuzzOne(const std::string& input) {
  const std::span<const uint8_t> datagram = Bytes(input);
  UdpData data;
  if (ParseUdpData(datagram, data)) {
    FUZZ_CHECK(datagram.size() <= kMaxUdpDatagram && data.channelId != 0);
    FUZZ_CHECK(!data.packet.empty() && data.packet.size() <= kMaxUdpPacket);
    FUZZ_CHECK(data.packet.data() == datagram.data() + kUdpDataHeaderSize &&
               data.packet.size() == datagram.size() - kUdpDataHeaderSize);
    uint8_t header[kUdpDataHeaderSize];
    WriteUdpDataHeader(header, data.channelId);
    FUZZ_CHECK(std::ranges::equal(header, datagram.first(kUdpDataHeaderSize)));
    CheckIngress(data.packet);
  }
  if (const uint64_t channelId = ParseUdpProbeReply(datagram); channelId != 0) {
    uint8_t reply[kUdpProbeReplySize];
    WriteUdpProbeReply(reply, channelId);
    FUZZ_CHECK(std::ranges::equal(reply, datagram));
  }
  UdpProbe probe;
  if (ParseUdpProbe(datagram, probe)) {
    // Rebuilding trims the fields, so compare only when they need no trimming.
    const std::vector<uint8_t> rebuilt = BuildUdpProbe(probe.deviceNumber, probe.deviceSecret);
    UdpProbe again;
    FUZZ_CHECK(ParseUdpProbe(rebuilt, again));
    FUZZ_CHECK(again.deviceNumber != probe.deviceNumber ||
               again.deviceSecret != probe.deviceSecret || std::ranges::equal(rebuilt, datagram));
  }
  CheckIngress(datagram);
}

}  // namespace larkspire
