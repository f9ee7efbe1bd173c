#include "relay/stall_aware_send.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "util/run_flag.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

// More than the kernel buffers of a local stream socket pair can hold.
constexpr size_t kLargeSend = 8 * 1024 * 1024;

class StallAwareSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_.data()), 0);
  }
  void TearDown() override {
    g_running = true;
    for (int fd : pair_) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  }
  SendOutcome SendLarge(std::chrono::milliseconds stallLimit) {
    return SendAllUnlessStalled(pair_[0], data_.data(), data_.size(), stallLimit);
  }

  std::array<int, 2> pair_{-1, -1};
  std::vector<uint8_t> data_ = std::vector<uint8_t>(kLargeSend, 0x5A);
};

TEST_F(StallAwareSendTest, APeerThatStopsReadingIsReportedAsStalled) {
  EXPECT_EQ(SendLarge(300ms), SendOutcome::kStalled);
}

TEST_F(StallAwareSendTest, AStopRequestEndsTheWaitWithoutTheStallLimit) {
  g_running = false;
  // With an hour-long limit only the stop flag can end this send.
  EXPECT_EQ(SendLarge(std::chrono::hours(1)), SendOutcome::kStopped);
}

TEST_F(StallAwareSendTest, AClosedPeerIsAFailure) {
  ::close(pair_[1]);
  pair_[1] = -1;
  EXPECT_EQ(SendLarge(std::chrono::hours(1)), SendOutcome::kFailed);
}

TEST_F(StallAwareSendTest, ASlowButMovingPeerGetsEveryByte) {
  std::atomic<size_t> received{0};
  std::thread reader([&] {
    std::vector<uint8_t> chunk(64 * 1024);
    while (received < kLargeSend) {
      std::this_thread::sleep_for(5ms);
      const ssize_t n = ::read(pair_[1], chunk.data(), chunk.size());
      if (n <= 0) {
        break;
      }
      received += static_cast<size_t>(n);
    }
  });
  EXPECT_EQ(SendLarge(5s), SendOutcome::kSent);
  reader.join();
  EXPECT_EQ(received, kLargeSend);
}

TEST_F(StallAwareSendTest, SeveralBuffersArriveWholeAndInOrder) {
  // Uneven parts (one empty) that the kernel takes in pieces cutting across them.
  std::vector<std::vector<uint8_t>> parts;
  for (size_t size : {size_t{3}, size_t{0}, size_t{700000}, size_t{1}, size_t{300000}}) {
    parts.emplace_back(size, static_cast<uint8_t>(parts.size() + 1));
  }
  std::vector<iovec> io;
  std::vector<uint8_t> expected;
  for (auto& part : parts) {
    io.push_back({part.data(), part.size()});
    expected.insert(expected.end(), part.begin(), part.end());
  }
  std::vector<uint8_t> received;
  std::thread reader([&] {
    std::vector<uint8_t> chunk(4096);
    while (received.size() < expected.size()) {
      const ssize_t n = ::read(pair_[1], chunk.data(), chunk.size());
      if (n <= 0) {
        break;
      }
      received.insert(received.end(), chunk.begin(), chunk.begin() + n);
    }
  });
  EXPECT_EQ(SendAllUnlessStalled(pair_[0], io.data(), io.size(), 5s), SendOutcome::kSent);
  reader.join();
  EXPECT_EQ(received, expected);
}

}  // namespace
}  // namespace larkspire
