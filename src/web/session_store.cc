#include "web/session_store.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <stdexcept>

#include "util/fd.h"
#include "util/text.h"

namespace larkspire {
namespace {

constexpr size_t kTokenBytes = 32;

// Up to 256 bytes, both sources give the whole request in one call, signals or not.
bool FillRandom(unsigned char* bytes, size_t count) {
  if (::getrandom(bytes, count, 0) == static_cast<ssize_t>(count)) {
    return true;
  }
  // For kernels or sandboxes without the getrandom call.
  UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  return fd.valid() && ::read(fd.get(), bytes, count) == static_cast<ssize_t>(count);
}

}  // namespace

std::string RandomToken() {
  unsigned char bytes[kTokenBytes];
  if (!FillRandom(bytes, sizeof(bytes))) {
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

std::string SessionStore::Create() {
  std::string token = RandomToken();
  const Clock::time_point now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  DropExpiredLocked(now);
  if (sessions_.size() >= kMaxSessions) {
    sessions_.erase(sessions_.begin());
  }
  sessions_.push_back(Session{token, now, now});
  return token;
}

bool SessionStore::Touch(const std::string& token) {
  const Clock::time_point now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  DropExpiredLocked(now);
  Session* found = nullptr;
  for (Session& session : sessions_) {
    if (ConstantTimeEquals(session.token, token)) {
      found = &session;
    }
  }
  if (found == nullptr || token.empty()) {
    return false;
  }
  found->lastUsed = now;
  return true;
}

void SessionStore::End(const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(sessions_, [&](const Session& s) { return ConstantTimeEquals(s.token, token); });
}

void SessionStore::EndAllBut(const std::string& keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(sessions_, [&](const Session& s) { return !ConstantTimeEquals(s.token, keep); });
}

void SessionStore::DropExpiredLocked(Clock::time_point now) {
  std::erase_if(sessions_, [&](const Session& s) {
    return now - s.lastUsed >= kIdleLimit || now - s.created >= kTotalLimit;
  });
}

}  // namespace larkspire
