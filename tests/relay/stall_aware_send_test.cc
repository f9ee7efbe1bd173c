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

}  // namespace
}  // namespace larkspire
