// Sessions and login throttling on a clock the test moves.

#include <gtest/gtest.h>

#include "util/file.h"
#include "web/login_throttle.h"
#include "web/raw_http.h"
#include "web/session_store.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

struct FakeClock {
  std::chrono::steady_clock::time_point now{};
  std::function<std::chrono::steady_clock::time_point()> Source() {
    return [this] { return now; };
  }
};

TEST(SessionStoreTest, SessionsEndByIdleTimeAgeLogoutPasswordChangeAndCrowding) {
  FakeClock clock;
  SessionStore store(clock.Source());
  const std::string first = store.Create();
  EXPECT_EQ(first.size(), 64u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(store.Create(), first);
  EXPECT_FALSE(store.Touch(""));
  EXPECT_FALSE(store.Touch(first.substr(0, 63)));

  // Used every 29 minutes it lives, but not past 12 hours.
  for (auto used = 0min; used < 12h - 29min; used += 29min) {
    clock.now += 29min;
    ASSERT_TRUE(store.Touch(first)) << used.count();
  }
  clock.now += 29min;
  EXPECT_FALSE(store.Touch(first));
  const std::string idle = store.Create();
  clock.now += 30min;
  EXPECT_FALSE(store.Touch(idle));

  const std::string mine = store.Create();
  const std::string other = store.Create();
  store.EndAllBut(mine);
  EXPECT_FALSE(store.Touch(other));
  store.End(mine);
  EXPECT_FALSE(store.Touch(mine));

  std::vector<std::string> tokens;
  for (size_t i = 0; i <= SessionStore::kMaxSessions; ++i) {
    tokens.push_back(store.Create());
  }
  EXPECT_FALSE(store.Touch(tokens.front()));
  EXPECT_TRUE(store.Touch(tokens[1]));
  EXPECT_TRUE(store.Touch(tokens.back()));
}

TEST(LoginThrottleTest, WaitsDoubleAfterFiveFailuresAndOneLineAMinuteIsLogged) {
  webtest::TestLogPath();
  FakeClock clock;
  LoginThrottle throttle(clock.Source());
  const std::string address = "192.0.2." + std::to_string(::getpid() % 250);
  auto lock = throttle.Lock();
  std::vector<int> waits;
  for (int failure = 1; failure <= 13; ++failure) {
    ASSERT_EQ(throttle.SecondsToWaitLocked(address), 0) << failure;
    throttle.FailedLocked(address);
    int wait = throttle.SecondsToWaitLocked(address);
    waits.push_back(wait);
    clock.now += std::chrono::seconds(wait);
  }
  EXPECT_EQ(waits, (std::vector<int>{0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 60, 60, 60}));
  EXPECT_EQ(throttle.SecondsToWaitLocked("192.0.2.251"), 0);  // others are not held up

  throttle.FailedLocked(address);
  clock.now += 500ms;
  EXPECT_EQ(throttle.SecondsToWaitLocked(address), 60);  // rounded up
  throttle.SucceededLocked(address);
  EXPECT_EQ(throttle.SecondsToWaitLocked(address), 0);

  // Each failure and each refused try (a wait read above) counts once; the lines come at
  // 0 s, 63 s, 123 s, 183 s and 243 s, never two within a minute.
  const std::string log = ReadFile(g_log.Path());
  const std::string line = "WARN Web login failed from " + address + " (";
  std::vector<std::string> counts;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
    counts.push_back(log.substr(at + line.size(), log.find(" since", at) - at - line.size()));
  }
  EXPECT_EQ(counts, (std::vector<std::string>{"1 attempt", "16 attempts", "2 attempts",
                                              "2 attempts", "2 attempts"}));
}

}  // namespace
}  // namespace larkspire
