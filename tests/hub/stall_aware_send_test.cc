#include "hub/stall_aware_send.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <thread>
#include <vector>

#include "util/run_flag.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

class StallAwareSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_.data()), 0);
  }
  void TearDown() override {
    g_running = true;
    ::close(pair_[0]);
    ::close(pair_[1]);
  }
  // More than the kernel buffers of a local stream socket pair can hold, to a peer that
  // reads nothing.
  SendOutcome SendLarge(std::chrono::milliseconds stallLimit) {
    const std::vector<uint8_t> data(8 * 1024 * 1024, 0x5A);
    return SendAllUnlessStalled(pair_[0], data.data(), data.size(), stallLimit);
  }

  std::array<int, 2> pair_{-1, -1};
};

TEST_F(StallAwareSendTest, APeerThatStopsReadingIsReportedAsStalled) {
  EXPECT_EQ(SendLarge(300ms), SendOutcome::kStalled);
}

// The limit counts from the last byte taken: a peer that reads a little every 50 ms for
// about three times the limit must get everything.
TEST_F(StallAwareSendTest, ASlowButMovingPeerIsNeverCut) {
  const int small = 4096;
  ::setsockopt(pair_[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(pair_[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::vector<uint8_t> data(96 * 1024);
  for (size_t at = 0; at < data.size(); ++at) {
    data[at] = static_cast<uint8_t>(at % 251);
  }
  std::vector<uint8_t> received;
  std::thread reader([&] {
    uint8_t chunk[2048];
    for (ssize_t n; (n = ::read(pair_[1], chunk, sizeof chunk)) > 0;) {
      received.insert(received.end(), chunk, chunk + n);
      std::this_thread::sleep_for(50ms);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SendAllUnlessStalled(pair_[0], data.data(), data.size(), 500ms), SendOutcome::kSent);
  ::shutdown(pair_[0], SHUT_WR);  // lets the reader end even when the send gave up early
  reader.join();
  EXPECT_GT(std::chrono::steady_clock::now() - start, 1s);  // or the peer was not slow at all
  EXPECT_EQ(received, data);
}

TEST_F(StallAwareSendTest, AStopRequestEndsTheWaitWithoutTheStallLimit) {
  g_running = false;
  // With an hour-long limit only the stop flag can end this send.
  EXPECT_EQ(SendLarge(std::chrono::hours(1)), SendOutcome::kStopped);
}

TEST(VectoredSendTest, EveryByteArrivesInOrderThroughPartialSends) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  // A small send buffer makes the kernel take uneven buffers (one empty) in many pieces
  // that end inside and between them, and makes the sender wait for room again and again.
  const int small = 4096;
  ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::vector<uint8_t> bytes(400000);
  for (size_t at = 0; at < bytes.size(); ++at) {
    bytes[at] = static_cast<uint8_t>(at % 251);  // a piece sent twice or skipped shows
  }
  std::vector<iovec> io;
  size_t total = 0;
  for (size_t i = 0; i < 64; ++i) {
    const size_t size = i == 7 ? 0 : i % 5 == 0 ? 20000 + i : 1000 + i;
    io.push_back({bytes.data() + total, size});
    total += size;
  }
  std::vector<uint8_t> received;
  std::thread reader([&] {
    uint8_t chunk[4096];
    for (ssize_t n; (n = ::read(pair[1], chunk, sizeof chunk)) > 0;) {
      received.insert(received.end(), chunk, chunk + n);
    }
  });
  EXPECT_EQ(SendAllUnlessStalled(pair[0], io.data(), io.size(), 5s), SendOutcome::kSent);
  ::close(pair[0]);
  reader.join();
  ::close(pair[1]);
  EXPECT_EQ(received, std::vector<uint8_t>(bytes.begin(), bytes.begin() + total));
}

// Without MSG_NOSIGNAL the send would raise SIGPIPE and end the test program.
TEST(VectoredSendTest, AClosedPeerIsAFailureWithoutASignal) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ::close(pair[1]);
  uint8_t byte = 1;
  iovec part{&byte, 1};
  EXPECT_EQ(SendAllUnlessStalled(pair[0], &part, 1, 5s), SendOutcome::kFailed);
  ::close(pair[0]);
}

}  // namespace
}  // namespace larkspire
