#include "hub/stall_aware_send.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "util/fd.h"
#include "util/run_flag.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

struct Pair {
  Pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    near.Reset(fds[0]);
    far.Reset(fds[1]);
  }
  UniqueFd near;
  UniqueFd far;
};

// More than a local socket pair buffers, to a peer that reads nothing: the stall limit ends
// the send, and a stop request ends it even with an hour-long limit. A closed peer is a
// failure, not a SIGPIPE that would end the program.
TEST(SendAllUnlessStalled, StalledStoppedAndClosedPeers) {
  const std::vector<uint8_t> data(8 * 1024 * 1024, 0x5A);
  Pair stalled;
  EXPECT_EQ(SendAllUnlessStalled(stalled.near.get(), data.data(), data.size(), 300ms),
            SendOutcome::kStalled);
  Pair stopped;
  g_running = false;
  EXPECT_EQ(SendAllUnlessStalled(stopped.near.get(), data.data(), data.size(), 1h),
            SendOutcome::kStopped);
  g_running = true;
  Pair closed;
  closed.far.Reset();
  EXPECT_EQ(SendAllUnlessStalled(closed.near.get(), data.data(), 1, 5s), SendOutcome::kFailed);
}

// The limit counts from the last byte taken: a peer reading a little every 50 ms for about
// three times the limit gets everything, in order, through uneven parts (one empty) that the
// small buffers cut inside and between them.
TEST(SendAllUnlessStalled, ASlowButMovingPeerGetsEveryPartInOrder) {
  Pair pair;
  const int small = 4096;
  ::setsockopt(pair.near.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(pair.far.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::vector<uint8_t> bytes(80000);
  for (size_t at = 0; at < bytes.size(); ++at) {
    bytes[at] = static_cast<uint8_t>(at % 251);  // a piece sent twice or skipped shows
  }
  std::vector<iovec> parts;
  size_t total = 0;
  for (size_t i = 0; i < 24; ++i) {
    const size_t size = i == 7 ? 0 : i % 5 == 0 ? 9000 + i : 1000 + i;
    parts.push_back({bytes.data() + total, size});
    total += size;
  }
  std::vector<uint8_t> received;
  std::thread reader([&] {
    uint8_t chunk[2048];
    for (ssize_t n; (n = ::read(pair.far.get(), chunk, sizeof chunk)) > 0;) {
      received.insert(received.end(), chunk, chunk + n);
      std::this_thread::sleep_for(50ms);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SendAllUnlessStalled(pair.near.get(), parts.data(), parts.size(), 500ms),
            SendOutcome::kSent);
  ::shutdown(pair.near.get(), SHUT_WR);
  reader.join();
  EXPECT_GT(std::chrono::steady_clock::now() - start, 1s);  // or the peer was not slow at all
  EXPECT_EQ(received, std::vector<uint8_t>(bytes.begin(), bytes.begin() + total));
}

}  // namespace
}  // namespace larkspire
