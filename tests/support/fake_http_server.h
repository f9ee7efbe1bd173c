#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/fd.h"

namespace larkspire::testing {

// A one-thread HTTP peer on 127.0.0.1 (port chosen by the kernel) for transport tests.
// For every connection it records the raw request bytes (header block plus a
// Content-Length body), then writes the scripted reply bytes and closes, or, when told to
// stall, keeps the connection open without another byte until the server is destroyed.
// Sending only part of a body and closing is simply a script that stops early.
class FakeHttpServer {
 public:
  explicit FakeHttpServer(std::string reply, bool stallAfterReply = false);
  ~FakeHttpServer();
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  int Port() const { return port_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Raw bytes of each request received so far, in arrival order.
  std::vector<std::string> Requests() const;

 private:
  void Serve();

  std::string reply_;
  bool stall_;
  int port_ = 0;
  UniqueFd listener_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<UniqueFd> stalled_;  // only the server thread touches it
  std::thread thread_;
};

// A port on 127.0.0.1 on which nothing listens (bound once, then released).
int UnusedLoopbackPort();

}  // namespace larkspire::testing
