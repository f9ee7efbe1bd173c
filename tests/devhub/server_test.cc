#include "devhub/server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <stdexcept>

#include "devhub/device_api.h"
#include "hub/http_client.h"
#include "hub/http_reader.h"
#include "hub/tcp.h"
#include "support/resource_count.h"
#include "util/json.h"
#include "util/socket_io.h"
#include "util/text.h"

namespace larkspire {
namespace {

HttpResponse Text(const std::string& body) {
  HttpResponse response;
  response.contentType = "text/plain";
  response.body = body;
  return response;
}

// Sends raw bytes and returns the whole raw reply.
std::string Exchange(int port, const std::string& bytes) {
  const int fd = ConnectTcp("127.0.0.1", port);
  SendAll(fd, bytes.data(), bytes.size());
  std::string headers;
  std::string body;
  SocketStream stream(fd);
  try {
    headers = ReadHttpHeaders(stream);
    body = ReadHttpBody(stream, headers, kMaxHubReplyBytes);
  } catch (const std::exception&) {
  }
  ::close(fd);
  return headers + body;
}

class DevHubServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Route("GET", "/a", [](const HttpRequest&, Connection&) { return Text("exact a"); });
    server_.Route("GET", "/a/*", [](const HttpRequest& r, Connection&) {
      return Text("prefix a " + r.path + " " + QueryParam(r.query, "q").value_or("-"));
    });
    server_.Route("GET", "/a/b/*",
                  [](const HttpRequest&, Connection&) { return Text("prefix ab"); });
    server_.Route("POST", "/echo", [](const HttpRequest& r, Connection&) { return Text(r.body); });
    server_.Route("GET", "/boom", [](const HttpRequest&, Connection&) -> HttpResponse {
      throw std::runtime_error("exploded");
    });
    server_.Route("GET", "/upgrade", [](const HttpRequest&, Connection& c) {
      c.TakeOver();
      const std::string raw = "HTTP/1.1 101 Switching Protocols\r\n\r\nframes";
      SendAll(c.Fd(), raw.data(), raw.size());
      // Hold the connection like a relay would, until the server stops.
      char byte;
      while (!c.Stopping() && ::recv(c.Fd(), &byte, 1, 0) > 0) {
      }
      return HttpResponse{};
    });
    server_.Start();
  }

  DevHubServer server_{"127.0.0.1", 0};
};

TEST_F(DevHubServerTest, RoutesByMethodAndLongestPatternAndRefusesBadRequests) {
  const struct {
    const char* name;
    std::string request;
    const char* status;
    const char* body;  // nullptr: an error envelope
  } cases[] = {
      {"garbage request line", "HELLO\r\n\r\n", "400", nullptr},
      {"target without slash", "GET a HTTP/1.1\r\n\r\n", "400", nullptr},
      {"non-numeric length", "POST /echo HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", "400", nullptr},
      {"chunked body", "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "400",
       nullptr},
      {"body too large", "POST /echo HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n", "413",
       nullptr},
      {"headers too large", "GET /a HTTP/1.1\r\nX: " + std::string(70000, 'x') + "\r\n\r\n", "413",
       nullptr},
      {"wrong method", "POST /a HTTP/1.1\r\n\r\n", "405", nullptr},
      {"unknown path", "GET /nowhere HTTP/1.1\r\n\r\n", "404", nullptr},
      {"handler throws", "GET /boom HTTP/1.1\r\n\r\n", "500", nullptr},
      // Still serving after all of that.
      {"exact", "GET /a HTTP/1.1\r\n\r\n", "200", "exact a"},
      {"prefix", "GET /a/x?q=1%202 HTTP/1.1\r\n\r\n", "200", "prefix a /a/x 1 2"},
      {"longer prefix", "GET /a/b/c HTTP/1.1\r\n\r\n", "200", "prefix ab"},
      {"body", "POST /echo HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", "200", "{}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string reply = Exchange(server_.Port(), c.request);
    EXPECT_TRUE(reply.starts_with(std::string("HTTP/1.1 ") + c.status)) << reply.substr(0, 40);
    if (c.body != nullptr) {
      EXPECT_TRUE(reply.ends_with(std::string("\r\n\r\n") + c.body)) << reply;
    } else {
      EXPECT_EQ(JsonFindRaw(reply, "success"), "false");
      EXPECT_FALSE(JsonStringValue(reply, "message", "").empty());
    }
  }
}

TEST_F(DevHubServerTest, TakenOverConnectionGetsNoReplyAndStopEndsIt) {
  const int before = testing::OpenDescriptors();
  const int fd = ConnectTcp("127.0.0.1", server_.Port());
  const std::string request = "GET /upgrade HTTP/1.1\r\n\r\n";
  SendAll(fd, request.data(), request.size());
  SocketStream stream(fd);
  EXPECT_EQ(ReadHttpHeaders(stream), "HTTP/1.1 101 Switching Protocols\r\n\r\n");
  char frames[6];
  ASSERT_TRUE(RecvExact(stream, frames, sizeof(frames)));
  EXPECT_EQ(std::string(frames, 6), "frames");

  server_.Stop();  // must not hang on the held connection
  char byte;
  EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // the server closed its side
  ::close(fd);
  EXPECT_EQ(testing::OpenDescriptors(), before - 3);  // the listener and the wake pipe are gone too
}

TEST(DevHubEndToEnd, EdgeClientRegistersAndBeats) {
  DeviceStore store("");
  DevHubServer server("127.0.0.1", 0);
  AddDeviceRoutes(server, store);
  server.Start();
  const HttpClient client("127.0.0.1:" + std::to_string(server.Port()) + "/");

  const ApiResponse registered =
      client.Send("POST", "/api/devices/register",
                  "{\"deviceNumber\":\"\",\"deviceSecret\":\"\",\"deviceName\":\"lab\","
                  "\"sharedNetworks\":[\"10.1.0.0/16\"]}");
  ASSERT_TRUE(registered.success) << registered.body;
  const std::string number = JsonStringValue(registered.data, "deviceNumber", "");
  const std::string secret = JsonStringValue(registered.data, "deviceSecret", "");

  const std::string path = "/api/devices/" + UrlEncode(number) + "/heartbeat";
  EXPECT_TRUE(client.Send("POST", path, "{\"deviceSecret\":" + JsonString(secret) + "}").success);
  const ApiResponse refused = client.Send("POST", path, "{\"deviceSecret\":\"x\"}");
  EXPECT_FALSE(refused.success);
  EXPECT_EQ(refused.message, "Device secret does not match.");

  const ApiResponse listing = client.Send("GET", "/api/devices", "");
  EXPECT_EQ(JsonStringValue(listing.data, "deviceNumber", ""), number);
}

}  // namespace
}  // namespace larkspire
