// The merging of packets from the Hub into offloaded TUN writes, on arbitrary packets. Every
// packet must leave exactly as it came: a packet written alone byte for byte, a merged run,
// once cut the way the kernel cuts it (here by the product's own cutting of offloaded reads,
// which the writer also uses for a device that refuses a merged write), as the very packets
// that went in, in order.
//
// Input: a flag byte, then packets, each a 2-byte big-endian length and that many bytes.
// With the flag's low bit set the packets' IPv4 and TCP/UDP checksums are filled in first, so
// the fuzzer reaches the merging itself and not only the refusal of damaged packets.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "relay/segment_merger.h"
#include "support/fuzz_check.h"
#include "support/kernel_segmenter.h"

namespace larkspire {
namespace {

std::vector<std::vector<uint8_t>> SplitPackets(std::span<const uint8_t> input) {
  std::vector<std::vector<uint8_t>> packets;
  while (input.size() >= 2) {
    const size_t length = std::min<size_t>(input[0] << 8 | input[1], input.size() - 2);
    packets.emplace_back(input.begin() + 2, input.begin() + 2 + static_cast<long>(length));
    input = input.subspan(2 + length);
  }
  return packets;
}

void FixChecksums(std::vector<uint8_t>& packet) {
  if (packet.size() < 20 || packet[0] != 0x45) {
    return;
  }
  testing::FixIpChecksum(packet);
  if (packet[9] == 6 && packet.size() >= 40) {
    testing::FixTransportChecksum(packet, 36);
  } else if (packet[9] == 17 && packet.size() >= 28) {
    testing::FixTransportChecksum(packet, 26);
  }
}

}  // namespace
}  // namespace larkspire

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  if (size == 0) {
    return 0;
  }
  std::vector<std::vector<uint8_t>> packets = SplitPackets({data + 1, size - 1});
  if ((data[0] & 1) != 0) {
    for (std::vector<uint8_t>& packet : packets) {
      FixChecksums(packet);
    }
  }
  std::vector<std::vector<uint8_t>> leaving;
  for (const std::vector<uint8_t>& written : testing::MergeLikeTheWriter(packets)) {
    FUZZ_CHECK(written.size() >= sizeof(OffloadHeader));
    FUZZ_CHECK(written.size() <= sizeof(OffloadHeader) + SegmentMerger::kMaxPacket ||
               written[1] == 0);
    const std::vector<std::vector<uint8_t>> pieces = testing::CutLikeTheKernel(written);
    leaving.insert(leaving.end(), pieces.begin(), pieces.end());
  }
  FUZZ_CHECK(leaving == packets);
  return 0;
}
