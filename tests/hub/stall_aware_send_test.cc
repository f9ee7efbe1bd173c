#include "hub/stall_aware_send.h"

#include <gtest/gtest.h>
#include <poll.h>

namespace larkspire {
namespace {

using namespace std::chrono_literals;

// The stall limit counts from the last byte taken: a peer that takes a byte after each wait of
// 200 ms is never stalled at a limit of 300 ms, however long the whole send lasts.
TEST(SendUnlessStalled, CountsTheLimitFromTheLastProgress) {
  int calls = 0;
  const auto slowPeer = [&calls]() -> SendTry {
    ++calls;
    return calls == 12 ? SendTry{0, 0, true} : calls % 2 ? SendTry{0, POLLOUT} : SendTry{1, 0};
  };
  EXPECT_EQ(SendUnlessStalled(-1, slowPeer, 300ms), SendOutcome::kSent);
}

}  // namespace
}  // namespace larkspire
