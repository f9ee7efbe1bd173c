#include "relay/packet_batch.h"

namespace larkspire {

PacketBatch::PacketBatch() : arena_(kTargetBytes + kMaxFrameHeaderSize + kMaxPacket) {
  packets_.reserve(kMaxPackets);
}

void PacketBatch::Add(size_t length) {
  packets_.emplace_back(NextSlot(), length);
  used_ += kMaxFrameHeaderSize + length;
}

void PacketBatch::Clear() {
  packets_.clear();
  used_ = 0;
}

}  // namespace larkspire
