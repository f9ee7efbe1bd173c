#include "relay/packet_batch.h"

namespace larkspire {

PacketBatch::PacketBatch() : arena_(kTargetBytes + kMaxFrameHeaderSize + kMaxPacket) {
  // Room for every packet in either list: the pump never allocates.
  packets_.reserve(kMaxPackets);
  datagrams_.reserve(kMaxPackets);
}

void PacketBatch::Add(size_t length, Channel channel) {
  (channel == Channel::kUdp ? datagrams_ : packets_).emplace_back(NextSlot(), length);
  used_ += kMaxFrameHeaderSize + length;
}

void PacketBatch::Clear() {
  packets_.clear();
  datagrams_.clear();
  used_ = 0;
}

}  // namespace larkspire
