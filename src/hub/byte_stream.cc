#include "hub/byte_stream.h"

#include <sys/socket.h>

namespace larkspire {
namespace {

// The same bound a plain socket's send time-out gave the Hub requests.
constexpr std::chrono::seconds kSendAllStallLimit{8};

}  // namespace

bool ByteStream::SendAll(const void* data, size_t size) {
  iovec part{const_cast<void*>(data), size};
  return Send(&part, 1, kSendAllStallLimit) == SendOutcome::kSent;
}

ssize_t SocketStream::Receive(void* buffer, size_t size) {
  return ::recv(fd_, buffer, size, 0);
}

SendOutcome SocketStream::Send(iovec* parts, size_t count, std::chrono::milliseconds stallLimit) {
  return SendAllUnlessStalled(fd_, parts, count, stallLimit);
}

}  // namespace larkspire
