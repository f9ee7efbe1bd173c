#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <chrono>
#include <cstddef>

#include "hub/stall_aware_send.h"
#include "util/fd.h"

namespace larkspire {

// A connected byte stream: a plain TCP socket or a TLS session over one. Waits in both kinds
// are bounded alike by the socket's receive time-out (SO_RCVTIMEO; none when zero) and by the
// stall limit of a send, and shutting the socket down wakes a blocked receive in both. One
// thread may receive while another sends; concurrent sends must be serialised by the caller.
class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // Like recv(2): the count received, 0 once the peer closed, -1 with errno on a failure, a
  // time-out (EAGAIN) or a signal (EINTR).
  virtual ssize_t Receive(void* buffer, size_t size) = 0;
  // Sends the parts in order as one stream; `parts` is used up in place.
  virtual SendOutcome Send(iovec* parts, size_t count, std::chrono::milliseconds stallLimit) = 0;
  // The socket underneath, for socket options and shutdown().
  virtual int fd() const = 0;

  // Every byte, or false; a peer that takes nothing for 8 seconds counts as failed.
  bool SendAll(const void* data, size_t size);
};

// A plain socket, owned or borrowed.
class SocketStream final : public ByteStream {
 public:
  explicit SocketStream(UniqueFd socket) : owned_(std::move(socket)), fd_(owned_.get()) {}
  explicit SocketStream(int borrowed) : fd_(borrowed) {}

  ssize_t Receive(void* buffer, size_t size) override;
  SendOutcome Send(iovec* parts, size_t count, std::chrono::milliseconds stallLimit) override;
  int fd() const override { return fd_; }

 private:
  UniqueFd owned_;
  int fd_;
};

}  // namespace larkspire
