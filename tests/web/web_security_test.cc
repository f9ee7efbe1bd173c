// Attacks on the login and on the server's resources.

#include <gtest/gtest.h>

#include <algorithm>

#include "web/http_request.h"
#include "web/raw_http.h"
#include "web/session_token.h"

namespace larkspire {
namespace {

using namespace webtest;

class WebSecurityTest : public ::testing::Test, public ServerFixture {
 protected:
  void SetUp() override { StartServer(); }
};

TEST_F(WebSecurityTest, ForgedOrOldCookiesAreRefused) {
  std::string token = SessionToken();
  std::string previousProcess = token;
  previousProcess[0] = previousProcess[0] == 'a' ? 'b' : 'a';
  for (std::string cookie :
       {std::string("larkspire_edge=1"), std::string("larkspire_edge=0"),
        "larkspire_edge=" + previousProcess, "larkspire_edge=" + token.substr(0, 32),
        "larkspire_edge=" + token + "0", "LARKSPIRE_EDGE=" + token}) {
    SCOPED_TRACE(cookie);
    EXPECT_EQ(SplitReply(Send(Get("/api/status", cookie))).statusLine, "HTTP/1.1 401 OK");
    EXPECT_NE(SplitReply(Send(Get("/", cookie))).body.find("<title>LarkSpire Edge</title>"),
              std::string::npos);
  }
  EXPECT_EQ(SplitReply(Send(Get("/api/status", "theme=dark; larkspire_edge=" + token))).statusLine,
            "HTTP/1.1 200 OK");
}

TEST_F(WebSecurityTest, CookieTextOutsideACookieHeaderIsRefused) {
  std::string pair = "larkspire_edge=" + SessionToken();
  std::string inBody = "POST /api/config HTTP/1.1\r\nX-Note: Cookie: \r\nContent-Length: " +
                       std::to_string(pair.size() + 10) + "\r\n\r\nCookie: " + pair + "\r\n";
  std::string inTarget = "GET /api/status?Cookie:%20" + pair + " HTTP/1.1\r\nHost: x\r\n\r\n";
  std::string inOtherHeader = "GET /api/status HTTP/1.1\r\nX-Cookie: " + pair + "\r\n\r\n";
  for (const std::string& request : {inBody, inTarget, inOtherHeader}) {
    SCOPED_TRACE(request);
    EXPECT_EQ(SplitReply(Send(request)).statusLine, "HTTP/1.1 401 OK");
  }
  EXPECT_EQ(LoadSettings(configPath).deviceName, initial.deviceName);
}

TEST_F(WebSecurityTest, HugeAnnouncedBodyIsRefusedWithoutWaitingForIt) {
  std::string cookie = Login();
  UniqueFd fd = Connect(port);
  SendText(fd.get(), "POST /api/config HTTP/1.1\r\nCookie: " + cookie +
                         "\r\nContent-Length: 104857600\r\n\r\n{\"deviceName\":\"x\"}");
  // The body is never sent; the reply comes anyway, and nothing was saved.
  Reply reply = SplitReply(ReadAll(fd.get()));
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 500 OK");
  EXPECT_EQ(reply.body, R"({"success":false,"message":"request too large"})");
  EXPECT_EQ(LoadSettings(configPath).deviceName, initial.deviceName);

  // Exactly at the limit is still accepted.
  std::string head = "POST /api/test HTTP/1.1\r\nCookie: " + cookie + "\r\nContent-Length: ";
  std::string sized = head + std::to_string(kMaxRequestBytes) + "\r\n\r\n";
  std::string body = "{\"ip\":\"\"}";
  size_t bodySize = kMaxRequestBytes - sized.size();
  std::string request = head + std::to_string(bodySize) + "\r\n\r\n" + body +
                        std::string(bodySize - body.size(), ' ');
  // The digits of the two lengths have the same count, so the request is exactly 1 MiB.
  ASSERT_EQ(request.size(), kMaxRequestBytes);
  EXPECT_EQ(SplitReply(Send(request)).body, R"({"success":false,"message":"invalid ip"})");
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
