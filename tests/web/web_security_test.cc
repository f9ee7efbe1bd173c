// Attacks on the login and on the server's resources.

#include <gtest/gtest.h>

#include <algorithm>

#include "web/raw_http.h"
#include "web/session_token.h"

namespace larkspire {
namespace {

using namespace webtest;

class WebSecurityTest : public ::testing::Test, public ServerFixture {
 protected:
  void SetUp() override { StartServer(); }
};

// The spellings of a wrong cookie are checked on HasCookie itself; over the wire it is
// enough that a wrong value or a cookie outside the Cookie header does not log in.
TEST_F(WebSecurityTest, ForgedOrMisplacedCookiesAreRefused) {
  const std::string token = SessionToken();
  std::string previousProcess = token;
  previousProcess[0] = previousProcess[0] == 'a' ? 'b' : 'a';
  const std::string forged = "larkspire_edge=" + previousProcess;
  const std::string pair = "larkspire_edge=" + token;
  const std::string inBody = "POST /api/config HTTP/1.1\r\nX-Note: Cookie: \r\nContent-Length: " +
                             std::to_string(pair.size() + 10) + "\r\n\r\nCookie: " + pair + "\r\n";
  for (const std::string& request : {Get("/api/status", forged), inBody}) {
    SCOPED_TRACE(request);
    EXPECT_EQ(SplitReply(Send(request)).statusLine, "HTTP/1.1 401 OK");
  }
  EXPECT_EQ(LoadSettings(configPath).deviceName, initial.deviceName);
  EXPECT_NE(SplitReply(Send(Get("/", forged))).body.find("<title>LarkSpire Edge</title>"),
            std::string::npos);
  EXPECT_EQ(SplitReply(Send(Get("/api/status", "theme=dark; " + pair))).statusLine,
            "HTTP/1.1 200 OK");
}

TEST_F(WebSecurityTest, IdleConnectionsCannotExhaustTheServer) {
  int threadsBefore = CountEntries("/proc/self/task");
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 200; ++i) {
    idle.push_back(Connect(port));
  }
  // Every connection ends: beyond the limit at once without a reply, the others with the
  // 401 reply when their receive time-out runs out. Meanwhile the number of threads stays
  // within the limit.
  int refused = 0;
  int answered = 0;
  int mostThreads = 0;
  auto allEnded = [&] {
    refused = answered = 0;
    for (const UniqueFd& fd : idle) {
      char byte;
      ssize_t n = ::recv(fd.get(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
      refused += n == 0 ? 1 : 0;
      answered += n > 0 ? 1 : 0;
    }
    mostThreads = std::max(mostThreads, CountEntries("/proc/self/task"));
    return refused + answered == static_cast<int>(idle.size());
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!allEnded() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(refused + answered, 200);
  EXPECT_GT(refused, 0);
  EXPECT_LE(mostThreads, threadsBefore + static_cast<int>(WebConfigServer::kMaxConnections));

  // A normal request is served once the idle ones have timed out; keep trying for a while.
  std::string served;
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (served.empty() && std::chrono::steady_clock::now() < deadline) {
    served = Send(Get("/"));
    if (served.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  EXPECT_EQ(SplitReply(served).statusLine, "HTTP/1.1 200 OK");
}

}  // namespace
}  // namespace larkspire
