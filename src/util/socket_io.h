#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace larkspire {

// What the relay sockets ask the kernel for on each side (capped by net.core.rmem_max and
// wmem_max): enough that a burst at full speed waits in the kernel rather than being dropped.
inline constexpr int kSocketBufferBytes = 4 * 1024 * 1024;

// Sends every byte with MSG_NOSIGNAL (a closed peer must not raise SIGPIPE), resuming after
// partial sends and EINTR. False when a send returns 0 or fails.
bool SendAll(int fd, const void* data, size_t size);

// Socket options are tuning: a kernel that refuses one still carries the traffic, so these
// never fail.
void SetIntOption(int fd, int level, int name, int value);
void SetSocketBuffers(int fd, int bytes = kSocketBufferBytes);
// `name` is SO_RCVTIMEO or SO_SNDTIMEO; zero waits forever. On Linux the send time-out also
// bounds a blocking connect.
void SetTimeout(int fd, int name, std::chrono::milliseconds timeout);
void SetNonBlocking(int fd);

// True when a receive on `fd` would return at once (data, end of stream or an error): a
// reader that holds packets back until it would wait asks this instead of waiting to find out.
bool ReadableNow(int fd);

// "a.b.c.d:port", for log lines.
std::string AddressText(const sockaddr_in& address);

}  // namespace larkspire
