#pragma once

#include <cstddef>

namespace larkspire {

// Sends every byte with MSG_NOSIGNAL (a closed peer must not raise SIGPIPE), resuming after
// partial sends and EINTR. False when a send returns 0 or fails.
bool SendAll(int fd, const void* data, size_t size);

}  // namespace larkspire
