// The TUN writer's merging: each packet leaves as it came, alone or merged and cut again. Input:
// a flag byte (low bit: fix checksums, to get past the refusals), then 16-bit-length packets.
#include <sys/uio.h>

#include <algorithm>

#include "relay/packet_fields.h"
#include "relay/test_packets.h"
#include "relay/tun_writer.h"
#include "support/fuzz_harness.h"

namespace larkspire {

std::vector<std::vector<uint8_t>> g_writes;

void FuzzOne(const std::string& input) {
  if (input.empty()) {
    return;
  }
  std::vector<std::vector<uint8_t>> packets;
  for (auto rest = Bytes(input).subspan(1); rest.size() >= 2;) {
    const size_t length = std::min<size_t>(rest[0] << 8 | rest[1], rest.size() - 2);
    std::vector<uint8_t>& p =
        packets.emplace_back(rest.begin() + 2, rest.begin() + 2 + static_cast<long>(length));
    const bool tcp = p.size() >= 40 && p[9] == kProtocolTcp;
    if ((input[0] & 1) != 0 && p.size() >= 28 && p[0] == 0x45 && (tcp || p[9] == kProtocolUdp)) {
      testing::FixChecksums(p, tcp ? 36 : 26);
    }
    rest = rest.subspan(2 + length);
  }
  g_writes.clear();
  size_t reported = 0;
  TunWriter writer(
      PacketDevice(-1, true, true), [&](bool, size_t count, size_t) { reported += count; },
      [](int, const iovec* parts, int count) {  // the TUN device, keeping every write
        std::vector<uint8_t>& write = g_writes.emplace_back();
        for (const iovec& part : std::span(parts, static_cast<size_t>(count))) {
          const auto* bytes = static_cast<const uint8_t*>(part.iov_base);
          write.insert(write.end(), bytes, bytes + part.iov_len);
        }
        return static_cast<ssize_t>(write.size());
      });
  for (const std::vector<uint8_t>& packet : packets) {
    writer.Write(packet);
  }
  writer.Flush();
  FUZZ_CHECK(reported == packets.size());

  std::vector<std::vector<uint8_t>> leaving;
  std::vector<uint8_t> scratch;
  for (const std::vector<uint8_t>& write : g_writes) {
    FUZZ_CHECK(write.size() >= sizeof(OffloadHeader));
    FUZZ_CHECK(write.size() <= sizeof(OffloadHeader) + SegmentMerger::kMaxPacket ||
               write[1] == kVirtioGsoNone);
    SplitMergedWrite(write, scratch, [&](std::span<const uint8_t> piece) {
      leaving.emplace_back(piece.begin() + sizeof(OffloadHeader), piece.end());
    });
  }
  FUZZ_CHECK(leaving == packets);
}

}  // namespace larkspire
