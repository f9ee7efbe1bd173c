#include "web/session_token.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "util/fd.h"

namespace larkspire {
namespace {

constexpr size_t kTokenBytes = 32;

// Calls `read` until `count` bytes have come, retrying after interruptions.
template <typename Reader>
bool FillFrom(Reader read, unsigned char* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = read(bytes + done, count - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool FillFromGetrandom(unsigned char* bytes, size_t count) {
  return FillFrom([](void* to, size_t size) { return ::getrandom(to, size, 0); }, bytes, count);
}

// For kernels or sandboxes without the getrandom call.
bool FillFromUrandom(unsigned char* bytes, size_t count) {
  UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  return fd.valid() &&
         FillFrom([&](void* to, size_t size) { return ::read(fd.get(), to, size); }, bytes, count);
}

std::string MakeToken() {
  unsigned char bytes[kTokenBytes];
  if (!FillFromGetrandom(bytes, sizeof(bytes)) && !FillFromUrandom(bytes, sizeof(bytes))) {
    throw std::runtime_error("random source unavailable");
  }
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : bytes) {
    token += kHex[byte >> 4];
    token += kHex[byte & 0x0F];
  }
  return token;
}

}  // namespace

const std::string& SessionToken() {
  // If MakeToken throws, the next call tries again.
  static const std::string token = MakeToken();
  return token;
}

}  // namespace larkspire
