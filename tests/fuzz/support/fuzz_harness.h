#pragma once

// What the fuzz targets share: each defines FuzzOne and states its invariants with FUZZ_CHECK.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>

#include "util/fd.h"
#include "util/socket_io.h"

// A broken invariant is a finding: say where, then abort so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

namespace larkspire {

void FuzzOne(const std::string& input);

inline std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Two texts in one input: what precedes the first NUL byte (empty without one), what follows.
inline std::pair<std::string, std::string> SplitAtNul(const std::string& input) {
  const size_t nul = input.find('\0');
  const bool found = nul != std::string::npos;
  return {found ? input.substr(0, nul) : "", found ? input.substr(nul + 1) : input};
}

// A private directory for the whole run, removed at exit. libFuzzer may exit without running
// destructors, so scripts/fuzz names a parent that it removes itself.
inline const std::string& FuzzScratchDir() {
  static const struct Scratch {
    std::string path;
    ~Scratch() { std::filesystem::remove_all(path); }
  } scratch{[] {
    const char* parent = std::getenv("LARKSPIRE_FUZZ_TMPDIR");
    std::string path = parent != nullptr && *parent != '\0' ? parent : "/tmp";
    path += "/larkspire-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(path.data()) != nullptr);
    return path;
  }()};
  return scratch.path;
}

// A TCP socket on a loopback address of its own (in `address`): with TIME_WAIT, one address's
// ports would run out within a minute of fuzzing, and loopback has millions of addresses.
inline UniqueFd FreshLoopbackSocket(sockaddr_in& address, bool listening) {
  static uint32_t sockets = 0;
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  address = {.sin_family = AF_INET, .sin_port = 0, .sin_addr = {}, .sin_zero = {}};
  address.sin_addr.s_addr = htonl(0x7F000002u + sockets++ % 0xFFFFu);
  socklen_t length = sizeof address;
  FUZZ_CHECK(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) == 0);
  FUZZ_CHECK(!listening || ::listen(fd.get(), 4) == 0);
  FUZZ_CHECK(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0);
  return fd;
}

// Sends `bytes` on `fd`, shuts its sending side and returns all that arrives until the close,
// sitting out libFuzzer's time-out alarm (EINTR); a reset sets `reset` and keeps what came.
inline std::string SendThenReceive(int fd, const std::string& bytes, bool* reset = nullptr) {
  SendAll(fd, bytes.data(), bytes.size());
  ::shutdown(fd, SHUT_WR);
  std::string received;
  char buffer[4096];
  while (true) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      received.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      if (reset != nullptr) {
        *reset = n < 0;
      }
      return received;
    }
  }
}

}  // namespace larkspire
