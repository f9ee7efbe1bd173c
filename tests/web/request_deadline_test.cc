#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>

#include "web/raw_http.h"
#include "web/web_server.h"

namespace larkspire {
namespace {

using namespace webtest;
using namespace std::chrono_literals;

// A client that sends one byte every 50 ms never lets a single read time out; only the
// deadline on the whole request frees its slot.
TEST(WebRequestDeadlineTest, ATricklingClientIsAnsweredAndLetGoAtTheDeadline) {
  ServerFixture fixture;
  WebConfigServer server(fixture.configPath);
  server.settings = LoadSettings(fixture.configPath);
  server.settings.webPort = 0;
  server.requestDeadline = 300ms;
  server.Start();
  ASSERT_TRUE(WaitFor([&] { return server.BoundPort() != 0; }));

  UniqueFd client = Connect(server.BoundPort());
  SendText(client.get(), "GET / HTTP/1.1\r\nX-Slow: ");
  auto start = std::chrono::steady_clock::now();
  pollfd reply{client.get(), POLLIN, 0};
  while (::poll(&reply, 1, 50) == 0 && std::chrono::steady_clock::now() - start < 5s) {
    ::send(client.get(), "x", 1, MSG_NOSIGNAL);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(ReadAll(client.get()).rfind("HTTP/1.1 ", 0), 0u);
}

}  // namespace
}  // namespace larkspire
