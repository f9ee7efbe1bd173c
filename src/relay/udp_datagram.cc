#include "relay/udp_datagram.h"

#include <algorithm>
#include <cstring>

#include "relay/byte_order.h"
#include "util/text.h"

namespace larkspire {
namespace {

constexpr size_t kMaxUdpString = 65535;

bool HasMagicAndType(std::span<const uint8_t> datagram, uint8_t type) {
  return datagram.size() >= 5 && std::memcmp(datagram.data(), kUdpMagic, 4) == 0 &&
         datagram[4] == type;
}

void AppendHeader(std::vector<uint8_t>& datagram, uint8_t type) {
  for (uint8_t byte : kUdpMagic) {
    datagram.push_back(byte);
  }
  datagram.push_back(type);
}

// Reads one UDP string at `offset`, advancing it; false when it runs past the end.
bool ReadUdpString(std::span<const uint8_t> datagram, size_t& offset, std::string& text) {
  if (offset + 2 > datagram.size()) {
    return false;
  }
  const size_t length = LoadBigEndian(datagram.data() + offset, 2);
  offset += 2;
  if (offset + length > datagram.size()) {
    return false;
  }
  text.assign(reinterpret_cast<const char*>(datagram.data() + offset), length);
  offset += length;
  return true;
}

}  // namespace

void WriteUdpString(std::vector<uint8_t>& datagram, const std::string& text) {
  const std::string trimmed = Trim(text);
  const size_t length = std::min(trimmed.size(), kMaxUdpString);
  uint8_t prefix[2];
  StoreBigEndian(prefix, length, 2);
  datagram.insert(datagram.end(), prefix, prefix + 2);
  datagram.insert(datagram.end(), trimmed.begin(), trimmed.begin() + length);
}

std::vector<uint8_t> BuildUdpProbe(const std::string& deviceNumber,
                                   const std::string& deviceSecret) {
  std::vector<uint8_t> probe;
  probe.reserve(9 + deviceNumber.size() + deviceSecret.size());
  AppendHeader(probe, kUdpTypeProbe);
  WriteUdpString(probe, deviceNumber);
  WriteUdpString(probe, deviceSecret);
  return probe;
}

bool ParseUdpProbe(std::span<const uint8_t> datagram, UdpProbe& probe) {
  if (!HasMagicAndType(datagram, kUdpTypeProbe)) {
    return false;
  }
  size_t offset = 5;
  return ReadUdpString(datagram, offset, probe.deviceNumber) &&
         ReadUdpString(datagram, offset, probe.deviceSecret) && offset == datagram.size();
}

void WriteUdpProbeReply(uint8_t* out, uint64_t channelId) {
  std::memcpy(out, kUdpMagic, 4);
  out[4] = kUdpTypeProbeReply;
  out[5] = 0x01;
  StoreBigEndian(out + 6, channelId, 8);
}

uint64_t ParseUdpProbeReply(std::span<const uint8_t> datagram) {
  if (datagram.size() != kUdpProbeReplySize || !HasMagicAndType(datagram, kUdpTypeProbeReply) ||
      datagram[5] != 0x01) {
    return 0;
  }
  return LoadBigEndian(datagram.data() + 6, 8);
}

void WriteUdpDataHeader(uint8_t* out, uint64_t channelId) {
  std::memcpy(out, kUdpMagic, 4);
  out[4] = kUdpTypeData;
  StoreBigEndian(out + 5, channelId, 8);
}

bool ParseUdpData(std::span<const uint8_t> datagram, UdpData& data) {
  if (datagram.size() <= kUdpDataHeaderSize || datagram.size() > kMaxUdpDatagram ||
      !HasMagicAndType(datagram, kUdpTypeData)) {
    return false;
  }
  data.channelId = LoadBigEndian(datagram.data() + 5, 8);
  data.packet = datagram.subspan(kUdpDataHeaderSize);
  return data.channelId != 0;
}

}  // namespace larkspire
