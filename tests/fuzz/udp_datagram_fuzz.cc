// Validation of UDP relay datagrams on arbitrary bytes, both ends: what the edge accepts as
// data or as a probe reply, and what the development Hub accepts as a probe. An accepted
// datagram must be exactly what a sender of the format could have written. Of the packets it
// carries (and of the input taken as a WebSocket message) the edge lets into its TUN device
// only IPv4 from the overlay to a shared network or to its tunnel address.
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "relay/ingress_filter.h"
#include "relay/udp_datagram.h"
#include "support/fuzz_check.h"

namespace larkspire {
namespace {

uint64_t BigEndian(const uint8_t* bytes) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    value = value << 8 | bytes[i];
  }
  return value;
}

void CheckIngress(std::span<const uint8_t> packet) {
  static const IngressFilter filter({"192.168.50.0/24"});
  if (filter.Check(packet) != IngressFilter::Verdict::kPass) {
    return;
  }
  FUZZ_CHECK(packet.size() >= 20 && packet[0] >> 4 == 4 && packet[12] == 10 && packet[13] == 250);
  const uint8_t* to = packet.data() + 16;
  const bool lan = to[0] == 192 && to[1] == 168 && to[2] == 50;
  const bool tunnel = to[0] == 100 && to[1] == 79 && to[2] == 255 && to[3] == 1;
  FUZZ_CHECK(lan || tunnel);
}

void CheckData(std::span<const uint8_t> datagram) {
  UdpData data;
  if (!ParseUdpData(datagram, data)) {
    return;
  }
  FUZZ_CHECK(datagram.size() > kUdpDataHeaderSize && datagram.size() <= kMaxUdpDatagram);
  FUZZ_CHECK(data.channelId != 0 && data.channelId == BigEndian(datagram.data() + 5));
  FUZZ_CHECK(!data.packet.empty() && data.packet.size() <= kMaxUdpPacket);
  FUZZ_CHECK(data.packet.data() == datagram.data() + kUdpDataHeaderSize);
  FUZZ_CHECK(data.packet.data() + data.packet.size() == datagram.data() + datagram.size());

  std::vector<uint8_t> rebuilt(kUdpDataHeaderSize);
  WriteUdpDataHeader(rebuilt.data(), data.channelId);
  rebuilt.insert(rebuilt.end(), data.packet.begin(), data.packet.end());
  FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), datagram.begin(), datagram.end()));
  CheckIngress(data.packet);
}

void CheckProbeReply(std::span<const uint8_t> datagram) {
  const uint64_t channelId = ParseUdpProbeReply(datagram);
  if (channelId == 0) {
    return;
  }
  uint8_t rebuilt[kUdpProbeReplySize];
  WriteUdpProbeReply(rebuilt, channelId);
  FUZZ_CHECK(datagram.size() == kUdpProbeReplySize);
  FUZZ_CHECK(std::memcmp(rebuilt, datagram.data(), kUdpProbeReplySize) == 0);
}

void CheckProbe(std::span<const uint8_t> datagram) {
  UdpProbe probe;
  if (!ParseUdpProbe(datagram, probe)) {
    return;
  }
  // Rebuilding trims the fields, so compare only when they need no trimming.
  const std::vector<uint8_t> rebuilt = BuildUdpProbe(probe.deviceNumber, probe.deviceSecret);
  UdpProbe again;
  FUZZ_CHECK(ParseUdpProbe(rebuilt, again));
  if (again.deviceNumber == probe.deviceNumber && again.deviceSecret == probe.deviceSecret) {
    FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), datagram.begin(), datagram.end()));
  }
}

}  // namespace
}  // namespace larkspire

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> datagram(data, size);
  larkspire::CheckData(datagram);
  larkspire::CheckProbeReply(datagram);
  larkspire::CheckProbe(datagram);
  larkspire::CheckIngress(datagram);
  return 0;
}
