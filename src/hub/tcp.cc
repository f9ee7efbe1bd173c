#include "hub/tcp.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "util/fd.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

constexpr std::chrono::seconds kTimeout{8};

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

void SetTimeouts(int fd) {
  SetTimeout(fd, SO_RCVTIMEO, kTimeout);
  SetTimeout(fd, SO_SNDTIMEO, kTimeout);  // also bounds a blocking connect
}

}  // namespace

int ConnectTcp(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &raw) != 0 || raw == nullptr) {
    if (raw != nullptr) {
      freeaddrinfo(raw);
    }
    throw std::runtime_error("getaddrinfo failed for " + host);
  }
  AddrInfoList list(raw);

  int lastError = 0;
  for (addrinfo* address = list.get(); address != nullptr; address = address->ai_next) {
    UniqueFd fd(
        ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol));
    if (!fd.valid()) {
      lastError = errno;
      continue;
    }
    SetTimeouts(fd.get());
    if (::connect(fd.get(), address->ai_addr, address->ai_addrlen) == 0) {
      return fd.Release();
    }
    lastError = errno;
  }
  throw std::runtime_error("TCP connect failed to " + host + ":" + std::to_string(port) + ": " +
                           std::strerror(lastError));
}

}  // namespace larkspire
