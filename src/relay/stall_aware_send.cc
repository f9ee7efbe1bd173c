#include "relay/stall_aware_send.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "util/run_flag.h"

namespace larkspire {
namespace {

// How often a waiting sender looks at the stop flag.
constexpr std::chrono::milliseconds kWaitSlice{200};

}  // namespace

SendOutcome SendAllUnlessStalled(int fd, const void* data, size_t size,
                                 std::chrono::milliseconds stallLimit) {
  using Clock = std::chrono::steady_clock;
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  Clock::time_point lastProgress = Clock::now();
  while (done < size) {
    const ssize_t n = ::send(fd, bytes + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      lastProgress = Clock::now();
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      return SendOutcome::kFailed;
    }
    if (!g_running.load()) {
      return SendOutcome::kStopped;
    }
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastProgress);
    if (waited >= stallLimit) {
      return SendOutcome::kStalled;
    }
    // Errors and hang-ups also wake the poll; the next send reports them.
    pollfd room{fd, POLLOUT, 0};
    ::poll(&room, 1, static_cast<int>(std::min(kWaitSlice, stallLimit - waited).count()));
  }
  return SendOutcome::kSent;
}

}  // namespace larkspire
