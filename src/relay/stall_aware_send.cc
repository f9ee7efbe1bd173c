#include "relay/stall_aware_send.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "util/run_flag.h"

namespace larkspire {
namespace {

// How often a waiting sender looks at the stop flag.
constexpr std::chrono::milliseconds kWaitSlice{200};

// Drops `sent` bytes from the front of the remaining parts; returns the parts left.
size_t Consume(iovec*& parts, size_t count, size_t sent) {
  while (count > 0 && sent >= parts->iov_len) {
    sent -= parts->iov_len;
    ++parts;
    --count;
  }
  if (count > 0) {
    parts->iov_base = static_cast<char*>(parts->iov_base) + sent;
    parts->iov_len -= sent;
  }
  return count;
}

}  // namespace

SendOutcome SendAllUnlessStalled(int fd, const void* data, size_t size,
                                 std::chrono::milliseconds stallLimit) {
  iovec part{const_cast<void*>(data), size};
  return SendAllUnlessStalled(fd, &part, 1, stallLimit);
}

SendOutcome SendAllUnlessStalled(int fd, iovec* parts, size_t count,
                                 std::chrono::milliseconds stallLimit) {
  using Clock = std::chrono::steady_clock;
  count = Consume(parts, count, 0);  // skips empty parts
  Clock::time_point lastProgress = Clock::now();
  while (count > 0) {
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = std::min<size_t>(count, IOV_MAX);
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      count = Consume(parts, count, static_cast<size_t>(n));
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
