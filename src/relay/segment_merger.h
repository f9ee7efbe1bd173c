#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace larkspire {

// The header a TUN device opened with offload headers expects in front of every packet
// (struct virtio_net_hdr, native byte order).
struct OffloadHeader {
  uint8_t flags;
  uint8_t gsoType;
  uint16_t headerLength;
  uint16_t segmentSize;
  uint16_t checksumStart;
  uint16_t checksumOffset;
};
static_assert(sizeof(OffloadHeader) == 10);

// Joins consecutive IPv4 TCP segments of one connection, or equal-sized IPv4 UDP datagrams
// of one flow (identification numbers counting up by one, as senders number them), into one large
// packet with an offload header, so the kernel forwards and translates them once and splits them
// again only where they leave. What leaves is exactly what would have left packet by packet: the
// same payloads, headers and order; the kernel fills in the checksums. Only packets whose checksums
// are right are joined, so a damaged packet is never given a fresh, valid checksum; it travels
// alone and is dropped as before. Pure logic: TunWriter does the writing.
class SegmentMerger {
 public:
  enum class Kind { kTcp, kUdp };
  static constexpr size_t kMaxSegments = 64;
  static constexpr size_t kMaxPacket = 65535;
  static constexpr size_t kIpHeaderLength = 20;

  SegmentMerger() : buffer_(sizeof(OffloadHeader) + kMaxPacket) {}

  // Starts a new packet with `packet`; false (and nothing held) when it cannot be joined
  // with anything and should be written on its own.
  bool Start(std::span<const uint8_t> packet);
  // Appends `packet` to the one held; false when it does not continue it.
  bool Append(std::span<const uint8_t> packet);

  // A kind the device cannot take merged is only ever written packet by packet.
  void Refuse(Kind kind) { (kind == Kind::kTcp ? mergeTcp_ : mergeUdp_) = false; }

  bool holding() const { return segments_ > 0; }
  size_t segments() const { return segments_; }
  Kind kind() const { return first_.kind; }
  // The bytes of the packets held, as they came.
  size_t packetBytes() const {
    return length_ + (segments_ - 1) * (kIpHeaderLength + first_.transportHeaderLength);
  }
  // The held packet with its offload header in front, ready for one write; empties the
  // merger. A single packet goes out byte for byte as it came.
  std::span<const uint8_t> Finish();

 private:
  struct Segment {
    Kind kind;
    size_t transportHeaderLength;
    size_t payloadLength;
    uint32_t sequence;  // TCP only
    bool push;          // TCP only: the sender's burst ends here
  };

  static bool Parse(std::span<const uint8_t> packet, Segment& segment);
  bool Continues(std::span<const uint8_t> packet, const Segment& segment) const;
  bool Merges(std::span<const uint8_t> packet, Segment& segment) const;
  uint8_t* packet() { return buffer_.data() + sizeof(OffloadHeader); }

  std::vector<uint8_t> buffer_;
  size_t length_ = 0;  // bytes of the held packet
  size_t segments_ = 0;
  Segment first_{};
  uint32_t nextSequence_ = 0;
  bool closed_ = false;  // a short or pushed segment ends the packet
  bool mergeTcp_ = true;
  bool mergeUdp_ = true;
};

// Cuts a write that Finish produced back into the packets it was made of, exactly as the
// kernel cuts it, for a device that refused it whole. Each piece is handed to `write` as a
// device write of its own: a zero offload header, then the packet, built in `scratch`.
void SplitMergedWrite(std::span<const uint8_t> merged, std::vector<uint8_t>& scratch,
                      const std::function<void(std::span<const uint8_t> write)>& write);

}  // namespace larkspire
