#include "relay/packet_batch.h"

#include <gtest/gtest.h>

#include <cstring>

namespace larkspire {
namespace {

TEST(PacketBatchTest, SlotsKeepTheirPacketsAndHeaderRoomUntilCleared) {
  PacketBatch batch;
  size_t added = 0;
  while (!batch.full()) {
    uint8_t* slot = batch.NextSlot();
    // Header room in front of each slot is writable and separate from the packet before.
    std::memset(slot - kMaxFrameHeaderSize, 0xEE, kMaxFrameHeaderSize);
    std::memset(slot, static_cast<int>(added), 100 + added);
    batch.Add(100 + added);
    ++added;
  }
  EXPECT_EQ(added, PacketBatch::kMaxPackets);
  ASSERT_EQ(batch.packets().size(), added);
  for (size_t i = 0; i < added; ++i) {
    SCOPED_TRACE(i);
    const std::span<uint8_t> packet = batch.packets()[i];
    ASSERT_EQ(packet.size(), 100 + i);
    EXPECT_EQ(packet.front(), static_cast<uint8_t>(i));
    EXPECT_EQ(packet.back(), static_cast<uint8_t>(i));
  }
  batch.Clear();
  EXPECT_TRUE(batch.empty());
  EXPECT_FALSE(batch.full());

  // A packet of the largest size leaves no room for another one.
  batch.Add(PacketBatch::kMaxPacket);
  EXPECT_TRUE(batch.full());
}

}  // namespace
}  // namespace larkspire
