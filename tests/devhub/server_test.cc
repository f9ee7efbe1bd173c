#include "devhub/server.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <stdexcept>
#include <thread>

#include "devhub/device_api.h"
#include "hub/http_client.h"
#include "hub/http_reader.h"
#include "hub/tcp.h"
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
  try {
    headers = ReadHttpHeaders(fd);
    body = ReadHttpBody(fd, headers);
  } catch (const std::exception&) {
  }
  ::close(fd);
  return headers + body;
}

int OpenDescriptors() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (::readdir(dir) != nullptr) {
    ++count;
  }
  ::closedir(dir);
  return count;
}

class DevHubServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Route("GET", "/a", [](const HttpRequest&, Connection&) { return Text("exact a"); });
    server_.Route("GET", "/a/*", [](const HttpRequest& r, Connection&) {
      return Text("prefix a " + r.path + " " + QueryParam(r.query, "q").value_or("-"));
    });
    server_.Route("GET", "/a/b/*", [](const HttpRequest&, Connection&) { return Text("prefix ab"); });
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

TEST_F(DevHubServerTest, RoutesByMethodAndLongestPattern) {
  const HttpClient client("http://127.0.0.1:" + std::to_string(server_.Port()));
  struct Case {
    const char* method;
    const char* path;
    int status;
    const char* body;
  };
  const Case cases[] = {
      {"GET", "/a", 200, "exact a"},
      {"GET", "/a/x?q=1%202", 200, "prefix a /a/x 1 2"},
      {"GET", "/a/b/c", 200, "prefix ab"},
      {"POST", "/echo", 200, "{}"},
      {"POST", "/a", 405, nullptr},
      {"GET", "/nowhere", 404, nullptr},
      {"GET", "/boom", 500, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const ApiResponse reply = client.Send(c.method, c.path, "{}");
    EXPECT_EQ(reply.status, c.status);
    if (c.body != nullptr) {
      EXPECT_EQ(reply.body, c.body);
    } else {
      EXPECT_EQ(JsonFindRaw(reply.body, "success"), "false");
      EXPECT_FALSE(reply.message.empty());
    }
  }
}

TEST_F(DevHubServerTest, BadRequestsGetAnErrorEnvelope) {
  const struct {
    const char* name;
    std::string request;
    const char* status;
  } cases[] = {
      {"garbage request line", "HELLO\r\n\r\n", "HTTP/1.1 400"},
      {"target without slash", "GET a HTTP/1.1\r\n\r\n", "HTTP/1.1 400"},
      {"non-numeric length", "POST /echo HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", "HTTP/1.1 400"},
      {"chunked body", "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400"},
      {"body too large", "POST /echo HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n",
       "HTTP/1.1 413"},
      {"headers too large", "GET /a HTTP/1.1\r\nX: " + std::string(70000, 'x') + "\r\n\r\n",
       "HTTP/1.1 413"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string reply = Exchange(server_.Port(), c.request);
    EXPECT_TRUE(reply.starts_with(c.status)) << reply.substr(0, 40);
    EXPECT_NE(reply.find("\"success\":false"), std::string::npos);
  }
  // Still serving after all of that.
  EXPECT_TRUE(Exchange(server_.Port(), "GET /a HTTP/1.1\r\n\r\n").ends_with("exact a"));
}

TEST_F(DevHubServerTest, TakenOverConnectionGetsNoReplyAndStopEndsIt) {
  const int before = OpenDescriptors();
  const int fd = ConnectTcp("127.0.0.1", server_.Port());
  const std::string request = "GET /upgrade HTTP/1.1\r\n\r\n";
  SendAll(fd, request.data(), request.size());
  EXPECT_EQ(ReadHttpHeaders(fd), "HTTP/1.1 101 Switching Protocols\r\n\r\n");
  char frames[6];
  ASSERT_TRUE(RecvExact(fd, frames, sizeof(frames)));
  EXPECT_EQ(std::string(frames, 6), "frames");

  server_.Stop();  // must not hang on the held connection
  char byte;
  EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // the server closed its side
  ::close(fd);
  EXPECT_EQ(OpenDescriptors(), before - 3);  // the listener and the wake pipe are gone too
}

TEST(DevHubServer, RefusesBadListenAddresses) {
  DevHubServer bad("not-an-address", 0);
  EXPECT_THROW(bad.Start(), std::runtime_error);
  DevHubServer first("127.0.0.1", 0);
  first.Start();
  DevHubServer second("127.0.0.1", first.Port());
  try {
    second.Start();
    FAIL() << "second listener on the same port";
  } catch (const std::runtime_error& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("Cannot listen on 127.0.0.1:")) << e.what();
  }
}

TEST(DevHubEndToEnd, EdgeClientRegistersAndBeats) {
  DeviceStore store("");
  DevHubServer server("127.0.0.1", 0);
  AddDeviceRoutes(server, store);
  server.Start();
  const HttpClient client("127.0.0.1:" + std::to_string(server.Port()) + "/");

  const ApiResponse registered = client.Send(
      "POST", "/api/devices/register",
      "{\"deviceNumber\":\"\",\"deviceSecret\":\"\",\"deviceName\":\"lab\","
      "\"sharedNetworks\":[\"10.1.0.0/16\"]}");
  ASSERT_TRUE(registered.success) << registered.body;
  const std::string number = JsonStringValue(registered.data, "deviceNumber", "");
  const std::string secret = JsonStringValue(registered.data, "deviceSecret", "");

  const std::string path = "/api/devices/" + UrlEncode(number) + "/heartbeat";
  EXPECT_TRUE(client.Send("POST", path, "{\"deviceSecret\":" + JsonString(secret) + "}").success);
  const ApiResponse refused = client.Send("POST", path, "{\"deviceSecret\":\"x\"}");
  EXPECT_FALSE(refused.success);
  EXPECT_GE(refused.status, 400);
  EXPECT_EQ(refused.message, "Device secret does not match.");

  const ApiResponse listing = client.Send("GET", "/api/devices", "");
  EXPECT_EQ(JsonStringValue(listing.data, "deviceNumber", ""), number);
}

}  // namespace
}  // namespace larkspire
