#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <functional>

namespace larkspire {

enum class SendOutcome {
  kSent,     // every byte was handed to the kernel
  kFailed,   // the connection broke or was shut down
  kStalled,  // the peer took nothing for the whole stall limit
  kStopped,  // the program is stopping; the rest of the bytes were abandoned
};

// One non-blocking try to send more: `bytes` > 0 were taken; 0 means none could be taken now
// and `waitFor` names the poll events to wait for (0: try again at once); < 0 means the
// connection is broken. `finished` once everything was handed to the kernel.
struct SendTry {
  ssize_t bytes = 0;
  short waitFor = 0;
  bool finished = false;
};

// Calls `attempt` until it reports the send finished, waiting for room in short slices
// instead of blocking: a peer that keeps its connection open but stops reading would
// otherwise hold the caller (and a stop request) for as long as the connection lives. The
// stall limit counts from the last byte taken, so a slow but moving peer is never cut.
SendOutcome SendUnlessStalled(int fd, const std::function<SendTry()>& attempt,
                              std::chrono::milliseconds stallLimit);

// The same with sendmsg(MSG_NOSIGNAL | MSG_DONTWAIT) on a socket.
SendOutcome SendAllUnlessStalled(int fd, const void* data, size_t size,
                                 std::chrono::milliseconds stallLimit);
// The same for several buffers sent as one stream, in order; `parts` is used up in place.
SendOutcome SendAllUnlessStalled(int fd, iovec* parts, size_t count,
                                 std::chrono::milliseconds stallLimit);
// Drops `sent` bytes from the front of the parts; returns how many parts are left.
size_t ConsumeParts(iovec*& parts, size_t count, size_t sent);

}  // namespace larkspire
