#pragma once

#include <sys/uio.h>

#include <chrono>
#include <cstddef>

namespace larkspire {

enum class SendOutcome {
  kSent,     // every byte was handed to the kernel
  kFailed,   // the connection broke or was shut down
  kStalled,  // the peer took nothing for the whole stall limit
  kStopped,  // the program is stopping; the rest of the bytes were abandoned
};

// Sends every byte with MSG_NOSIGNAL, waiting for room in short slices instead of blocking
// in send(): a peer that keeps its connection open but stops reading would otherwise hold
// the caller (and a stop request) for as long as the connection lives. The stall limit
// counts from the last byte the kernel accepted, so a slow but moving peer is never cut.
SendOutcome SendAllUnlessStalled(int fd, const void* data, size_t size,
                                 std::chrono::milliseconds stallLimit);
// The same for several buffers sent as one stream, in order; `parts` is used up in place.
SendOutcome SendAllUnlessStalled(int fd, iovec* parts, size_t count,
                                 std::chrono::milliseconds stallLimit);

}  // namespace larkspire
