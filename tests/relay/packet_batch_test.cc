#include "relay/packet_batch.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

namespace larkspire {
namespace {

std::vector<uint8_t> ReadUntilClosed(int fd) {
  std::vector<uint8_t> all;
  uint8_t chunk[4096];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
    all.insert(all.end(), chunk, chunk + n);
  }
  return all;
}

TEST(SendAllVectoredTest, ResumesAfterPartialSendsInsideAndBetweenBuffers) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  // A small send buffer forces many partial sends that end in the middle of a buffer.
  const int small = 4096;
  ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

  std::vector<std::vector<uint8_t>> pieces;
  for (size_t i = 0; i < 64; ++i) {
    pieces.emplace_back(i == 7 ? 0 : 1000 + i, static_cast<uint8_t>(i));
  }
  std::vector<iovec> buffers;
  std::vector<uint8_t> expected;
  for (auto& piece : pieces) {
    buffers.push_back({piece.data(), piece.size()});
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  std::vector<uint8_t> received;
  std::thread reader([&] { received = ReadUntilClosed(pair[1]); });
  EXPECT_TRUE(SendAllVectored(pair[0], buffers.data(), buffers.size()));
  ::close(pair[0]);
  reader.join();
  ::close(pair[1]);
  EXPECT_EQ(received, expected);
}

TEST(SendAllVectoredTest, FailsWithoutSignalWhenThePeerIsGone) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ::close(pair[1]);
  uint8_t byte = 1;
  iovec buffer{&byte, 1};
  EXPECT_FALSE(SendAllVectored(pair[0], &buffer, 1));
  ::close(pair[0]);
}

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

TEST(PacketBatchTest, ClearingKeepsAPacketAlreadyReadIntoTheNextSlot) {
  PacketBatch batch;
  std::memset(batch.NextSlot(), 1, 500);
  batch.Add(500);
  std::memset(batch.NextSlot(), 2, 300);
  batch.Clear(300);
  batch.Add(300);
  ASSERT_EQ(batch.packets().size(), 1u);
  EXPECT_EQ(std::vector<uint8_t>(batch.packets()[0].begin(), batch.packets()[0].end()),
            std::vector<uint8_t>(300, 2));
}

}  // namespace
}  // namespace larkspire
