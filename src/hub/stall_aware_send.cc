#include "hub/stall_aware_send.h"

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

}  // namespace

size_t ConsumeParts(iovec*& parts, size_t count, size_t sent) {
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

SendOutcome SendUnlessStalled(int fd, const std::function<SendTry()>& attempt,
                              std::chrono::milliseconds stallLimit) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point lastProgress = Clock::now();
  while (true) {
    const SendTry result = attempt();
    if (result.finished) {
      return SendOutcome::kSent;
    }
    if (result.bytes > 0) {
      lastProgress = Clock::now();
      continue;
    }
    if (result.bytes < 0) {
      return SendOutcome::kFailed;
    }
    if (result.waitFor == 0) {
      continue;
    }
    if (!g_running.load()) {
      return SendOutcome::kStopped;
    }
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastProgress);
    if (waited >= stallLimit) {
      return SendOutcome::kStalled;
    }
    // Errors and hang-ups also wake the poll; the next attempt reports them.
    pollfd room{fd, result.waitFor, 0};
    ::poll(&room, 1, static_cast<int>(std::min(kWaitSlice, stallLimit - waited).count()));
  }
}

SendOutcome SendAllUnlessStalled(int fd, const void* data, size_t size,
                                 std::chrono::milliseconds stallLimit) {
  iovec part{const_cast<void*>(data), size};
  return SendAllUnlessStalled(fd, &part, 1, stallLimit);
}

SendOutcome SendAllUnlessStalled(int fd, iovec* parts, size_t count,
                                 std::chrono::milliseconds stallLimit) {
  count = ConsumeParts(parts, count, 0);  // skips empty parts
  return SendUnlessStalled(
      fd,
      [&]() -> SendTry {
        if (count == 0) {
          return {0, 0, true};
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = std::min<size_t>(count, IOV_MAX);
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          count = ConsumeParts(parts, count, static_cast<size_t>(n));
          return {n, 0};
        }
        if (n < 0 && errno == EINTR) {
          return {0, 0};
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          return {0, POLLOUT};
        }
        return {-1, 0};
      },
      stallLimit);
}

}  // namespace larkspire
