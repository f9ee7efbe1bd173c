#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace larkspire {

// The logged-in browsers: each login gets its own random 256-bit token. A session ends after
// kIdleLimit without a request, kTotalLimit after the login, at logout, when the password is
// changed from another session, or when a login beyond kMaxSessions pushes out the oldest.
// Any thread may call; one lock guards the table.
class SessionStore {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxSessions = 16;
  static constexpr std::chrono::minutes kIdleLimit{30};
  static constexpr std::chrono::hours kTotalLimit{12};

  explicit SessionStore(std::function<Clock::time_point()> now = Clock::now)
      : now_(std::move(now)) {}

  // A new session's token (64 hexadecimal digits); throws "random source unavailable".
  std::string Create();
  // True when `token` names a live session, whose idle time then starts again. Every stored
  // token is compared in full, so the time taken tells nothing about near misses.
  bool Touch(const std::string& token);
  void End(const std::string& token);
  // Ends every session except `keep`.
  void EndAllBut(const std::string& keep);

 private:
  struct Session {
    std::string token;
    Clock::time_point created;
    Clock::time_point lastUsed;
  };
  void DropExpiredLocked(Clock::time_point now);

  std::function<Clock::time_point()> now_;
  std::mutex mutex_;
  std::vector<Session> sessions_;  // oldest first
};

// 32 bytes from the kernel's random source as 64 hexadecimal digits; throws "random source
// unavailable" when it gives none.
std::string RandomToken();

}  // namespace larkspire
