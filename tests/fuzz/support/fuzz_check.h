#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// A broken invariant is a finding: print where and why, then abort so libFuzzer keeps the
// input as a crash reproducer.
#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

namespace larkspire {

// A private directory for the whole run, removed at exit. libFuzzer may exit without running
// destructors, so scripts/fuzz names a parent that it removes itself; memory-backed otherwise,
// because the atomic file writes sync every file they replace.
inline const std::string& FuzzScratchDir() {
  struct Scratch {
    std::string path;
    ~Scratch() { std::filesystem::remove_all(path); }
  };
  static const Scratch scratch{[] {
    const char* given = std::getenv("LARKSPIRE_FUZZ_TMPDIR");
    std::string pattern = given != nullptr && *given != '\0'          ? given
                          : std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                                      : "/tmp";
    pattern += "/larkspire-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    return pattern;
  }()};
  return scratch.path;
}

inline sockaddr_in LoopbackAddress(int port, uint32_t host = INADDR_LOOPBACK) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(host);
  return address;
}

// Everything `fd` receives until the peer closes, sitting out libFuzzer's time-out alarm
// (EINTR). False when the connection was reset; what came before is kept.
inline bool ReceiveToEnd(int fd, std::string& received) {
  char buffer[4096];
  while (true) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EINTR)) {
      return n == 0;
    }
    received.append(buffer, static_cast<size_t>(n > 0 ? n : 0));
  }
}

}  // namespace larkspire
