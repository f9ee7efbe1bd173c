#include "hub/http_client.h"

#include <gtest/gtest.h>

#include "hub/tcp.h"
#include "support/fake_http_server.h"
#include "support/temp_dir.h"
#include "util/file.h"
#include "util/json.h"
#include "util/test_errors.h"
#include "util/text.h"

namespace larkspire {
namespace {

using testing::ErrorOf;
using testing::FakeHttpServer;

const char kOkReply[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 16\r\n\r\n"
    "{\"success\":true}";

TEST(HttpClientSend, PostsTheBodyByteForByteOnTheGivenPath) {
  FakeHttpServer server(kOkReply);
  const std::string body = "{\"deviceNumber\":" + JsonString("") +
                           ",\"deviceSecret\":\"\",\"deviceName\":\"edge \\\"one\\\"\","
                           "\"sharedNetworks\":" + JsonArray({"192.168.7.0/24", "10.1.0.0/16"}) +
                           "}";
  HttpClient client(server.Url() + "/prefix/");
  const ApiResponse reply = client.Send("POST", "api/devices/register", body);
  EXPECT_EQ(reply.status, 200);
  EXPECT_TRUE(reply.success);
  // An encoded device number reaches the wire unchanged.
  client.Send("POST", "/api/devices/" + UrlEncode("edge 7/ü?x") + "/heartbeat", "{}");

  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[0],
            "POST /api/devices/register HTTP/1.1\r\n"
            "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"
            "Content-Type: application/json\r\n"
            "Content-Length: " + std::to_string(body.size()) + "\r\n"
            "Connection: close\r\n\r\n" + body);
  EXPECT_TRUE(server.Requests()[1].starts_with(
      "POST /api/devices/edge%207%2F%C3%BC%3Fx/heartbeat HTTP/1.1\r\n"));
}

TEST(BuildApiRequest, HostHeaderNamesThePortOnlyWhenNot80) {
  // Requests to other ports are checked byte for byte above and in the download test.
  EXPECT_EQ(BuildApiRequest("GET", "hub", 80, "", "x"),
            "GET / HTTP/1.1\r\nHost: hub\r\nConnection: close\r\n\r\n");
  // Only the exact method "POST" carries a body.
  EXPECT_EQ(BuildApiRequest("post", "hub", 80, "/a", "{}"),
            "post /a HTTP/1.1\r\nHost: hub\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(BuildDownloadRequest("hub", 80, "/pkg.tar.gz?v=2"),
            "GET /pkg.tar.gz?v=2 HTTP/1.1\r\nHost: hub\r\nConnection: close\r\n\r\n");
}

TEST(MakeApiResponse, BodyVerdictWinsOverStatus) {
  struct Case {
    int status;
    const char* body;
    bool success;
  };
  const Case cases[] = {
      {500, "{\"success\":true}", true},  {200, "", true}, {404, "<html>Not Found</html>", false},
      {200, "{\"success\":false}", false}, {204, "{\"success\":\"yes\"}", true}, {0, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(MakeApiResponse(c.status, c.body).success, c.success);
  }
  const ApiResponse full = MakeApiResponse(
      400, "{\"success\":false,\"code\":\"E1\",\"message\":\"no\",\"data\":{\"a\":1}}");
  EXPECT_EQ(full.code, "E1");
  EXPECT_EQ(full.message, "no");
  EXPECT_EQ(full.data, "{\"a\":1}");
  EXPECT_EQ(full.status, 400);
}

TEST(HttpClientSend, ErrorStatusIsDataNotAnException) {
  FakeHttpServer server(
      "HTTP/1.1 403 Forbidden\r\nTransfer-Encoding: chunked\r\n\r\n"
      "1f\r\n{\"success\":false,\"message\":\"no\"\r\n1\r\n}\r\n0\r\n\r\n");
  const ApiResponse reply = HttpClient(server.Url()).Send("POST", "/h", "{}");
  EXPECT_EQ(reply.status, 403);
  EXPECT_FALSE(reply.success);
  EXPECT_EQ(reply.message, "no");
  EXPECT_EQ(reply.body, "{\"success\":false,\"message\":\"no\"}");
}

TEST(HttpClient, AnHttpsHubsPackageMustComeOverHttpsToo) {
  EXPECT_EQ(ErrorOf([&] {
              HttpClient("https://hub.example")
                  .Download("http://hub.example/p", "/nonexistent/x", kMaxHubReplyBytes);
            }),
            "Download refused: the Hub link is https but the package URL is not.");
}

TEST(ConnectTcp, ReportsRefusedConnectionsAndUnknownHosts) {
  const int port = testing::UnusedLoopbackPort();
  EXPECT_EQ(ErrorOf([&] { ConnectTcp("127.0.0.1", port); }),
            "TCP connect failed to 127.0.0.1:" + std::to_string(port) + ": Connection refused");
  EXPECT_EQ(ErrorOf([&] { ConnectTcp("no-such-host.invalid", 80); }),
            "getaddrinfo failed for no-such-host.invalid");
}

TEST(HttpClientDownload, WritesOnlyA2xxBodyFromAHubPathOrAFullUrl) {
  TempDir dir;
  const std::string payload("\x1f\x8b\0binary\r\n\r\n", 14);
  FakeHttpServer server("HTTP/1.1 200 OK\r\nContent-Length: 14\r\n\r\n" + payload);
  HttpClient client(server.Url() + "/");
  ASSERT_TRUE(client.Download("/files/pkg.tar.gz?v=1.0.2", dir / "a", kMaxHubReplyBytes));
  EXPECT_EQ(ReadFile(dir / "a"), payload);
  ASSERT_TRUE(
      HttpClient("http://unused:1").Download(server.Url() + "/p", dir / "b", kMaxHubReplyBytes));
  EXPECT_EQ(ReadFile(dir / "b"), payload);
  EXPECT_EQ(server.Requests()[0],
            "GET /files/pkg.tar.gz?v=1.0.2 HTTP/1.1\r\nHost: 127.0.0.1:" +
                std::to_string(server.Port()) + "\r\nConnection: close\r\n\r\n");
  EXPECT_FALSE(client.Download("/pkg", dir / "missing-dir/pkg", kMaxHubReplyBytes));

  FakeHttpServer moved("HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\n\r\n");
  EXPECT_FALSE(HttpClient(moved.Url()).Download("/pkg", dir / "moved", kMaxHubReplyBytes));
  EXPECT_FALSE(FileExists(dir / "moved"));
}

TEST(HttpClientSend, StalledHubGivesUpAfterTheSocketTimeOut) {
  // Headers promise a body that never comes; the 8-second receive time-out ends the wait.
  FakeHttpServer server("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", /*stall=*/true);
  EXPECT_EQ(ErrorOf([&] { HttpClient(server.Url()).Send("GET", "/", ""); }),
            "HTTP body receive failed.");
}

}  // namespace
}  // namespace larkspire
