#include "hub/http_client.h"

#include <gtest/gtest.h>

#include "support/fake_http_server.h"
#include "support/temp_dir.h"
#include "util/file.h"
#include "util/test_errors.h"

namespace larkspire {
namespace {

using testing::ErrorOf;
using testing::FakeHttpServer;

std::string Reply(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// The body's own verdict wins over the status class; only "POST" carries a body.
TEST(HttpClient, SendsTheRequestAsWrittenAndReadsTheEnvelope) {
  FakeHttpServer server(Reply("200 OK", "{\"success\":true}"));
  EXPECT_TRUE(HttpClient(server.Url() + "/prefix/").Send("POST", "api/x", "{\"a\":1}").success);
  EXPECT_EQ(server.Requests(),
            std::vector<std::string>{"POST /api/x HTTP/1.1\r\nHost: " + server.Url().substr(7) +
                                     "\r\nContent-Type: application/json\r\nContent-Length: "
                                     "7\r\nConnection: close\r\n\r\n{\"a\":1}"});
  EXPECT_EQ(BuildApiRequest("post", "hub", 80, "/a", "{}"),
            "post /a HTTP/1.1\r\nHost: hub\r\nConnection: close\r\n\r\n");
  const std::pair<int, const char*> verdicts[] = {{500, "{\"success\":true}"},
                                                  {200, ""},
                                                  {204, "{\"success\":\"yes\"}"},
                                                  {404, "<html>Not Found</html>"},
                                                  {200, "{\"success\":false}"},
                                                  {0, ""},
                                                  {302, ""}};
  for (size_t i = 0; i < std::size(verdicts); ++i) {
    EXPECT_EQ(MakeApiResponse(verdicts[i].first, verdicts[i].second).success, i < 3) << i;
  }
  const ApiResponse full = MakeApiResponse(
      400, "{\"success\":false,\"code\":\"E1\",\"message\":\"no\",\"data\":{\"a\":1}}");
  EXPECT_EQ(full.code + " " + full.message + " " + full.data, "E1 no {\"a\":1}");
}

// Replies are bounded at 1 MiB, stalled Hubs time out, and a download takes only a 2xx body
// as well guarded as the Hub link.
TEST(HttpClient, RefusesOversizeRepliesStalledHubsAndUnsafeDownloads) {
  const std::string mebibyte(1 << 20, 'x');
  FakeHttpServer fits(Reply("200 OK", mebibyte));
  EXPECT_EQ(HttpClient(fits.Url()).Send("GET", "/", "").body, mebibyte);
  FakeHttpServer over(Reply("200 OK", mebibyte + "x"));
  EXPECT_EQ(ErrorOf([&] { HttpClient(over.Url()).Send("GET", "/", ""); }), "Hub reply too large.");
  FakeHttpServer stalled("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", /*stall=*/true);
  EXPECT_EQ(ErrorOf([&] { HttpClient(stalled.Url()).Send("GET", "/", ""); }),
            "HTTP body receive failed.");

  TempDir dir;
  const std::string payload("\x1f\x8b\0binary\r\n\r\n", 14);
  FakeHttpServer server(Reply("200 OK", payload));
  ASSERT_TRUE(HttpClient(server.Url() + "/").Download("/p?v=1", dir / "a", kMaxHubReplyBytes));
  EXPECT_EQ(ReadFile(dir / "a"), payload);
  EXPECT_EQ(server.Requests()[0], "GET /p?v=1 HTTP/1.1\r\nHost: " + server.Url().substr(7) +
                                      "\r\nConnection: close\r\n\r\n");
  for (const char* status : {"302 Found", "404 Not Found"}) {
    FakeHttpServer refused(Reply(status, "not a package"));
    EXPECT_FALSE(HttpClient(refused.Url()).Download("/pkg", dir / "refused", kMaxHubReplyBytes));
    EXPECT_FALSE(FileExists(dir / "refused")) << status;
  }
  EXPECT_EQ(ErrorOf([&] {
              HttpClient("https://hub.example")
                  .Download(server.Url() + "/p", dir / "b", kMaxHubReplyBytes);
            }),
            "Download refused: the Hub link is https but the package URL is not.");
}

}  // namespace
}  // namespace larkspire
