#include "hub/stall_aware_send.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "util/fd.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

// The stall limit counts from the last byte taken: a peer that reads a little every 50 ms
// for about twice the limit gets everything. (Stalled peers and stop requests are met in the
// relay's tests, uneven parts in the TLS session's.)
TEST(SendAllUnlessStalled, ASlowButMovingPeerGetsEverything) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const UniqueFd near(pair[0]);
  const UniqueFd far(pair[1]);
  const int small = 4096;
  ::setsockopt(near.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(far.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::vector<uint8_t> bytes(80000);
  for (size_t at = 0; at < bytes.size(); ++at) {
    bytes[at] = static_cast<uint8_t>(at % 251);
  }
  std::vector<uint8_t> received;
  std::thread reader([&] {
    uint8_t chunk[2048];
    for (ssize_t n; (n = ::read(far.get(), chunk, sizeof chunk)) > 0;) {
      received.insert(received.end(), chunk, chunk + n);
      std::this_thread::sleep_for(50ms);
    }
  });
  EXPECT_EQ(SendAllUnlessStalled(near.get(), bytes.data(), bytes.size(), 1s), SendOutcome::kSent);
  ::shutdown(near.get(), SHUT_WR);
  reader.join();
  EXPECT_EQ(received, bytes);
}

}  // namespace
}  // namespace larkspire
