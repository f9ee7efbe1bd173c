#include "devhub/server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>

#include "hub/http_reader.h"
#include "hub/tcp.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

HttpResponse Text(const std::string& body) {
  HttpResponse response;
  response.contentType = "text/plain";
  response.body = body;
  return response;
}

// The server answers malformed or oversize requests with an error and keeps serving; a
// request goes to its method's exact route, else its longest matching prefix.
TEST(DevHubServer, RoutesByMethodAndLongestPatternAndRefusesBadRequests) {
  DevHubServer server("127.0.0.1", 0);
  server.Route("GET", "/a", [](const HttpRequest&, Connection&) { return Text("exact a"); });
  server.Route("GET", "/a/*", [](const HttpRequest& r, Connection&) {
    return Text("prefix a " + r.path + " " + QueryParam(r.query, "q").value_or("-"));
  });
  server.Route("GET", "/a/b/*", [](const HttpRequest&, Connection&) { return Text("prefix ab"); });
  server.Route("POST", "/echo", [](const HttpRequest& r, Connection&) { return Text(r.body); });
  server.Route("GET", "/boom", [](const HttpRequest&, Connection&) -> HttpResponse {
    throw std::runtime_error("exploded");
  });
  server.Start();
  const std::pair<std::string, std::string> cases[] = {
      {"HELLO\r\n\r\n", "400"},
      {"GET a HTTP/1.1\r\n\r\n", "400"},
      {"POST /echo HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", "400"},
      {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "400"},
      {"POST /echo HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n", "413"},
      {"GET /a HTTP/1.1\r\nX: " + std::string(70000, 'x') + "\r\n\r\n", "413"},
      {"POST /a HTTP/1.1\r\n\r\n", "405"},
      {"GET /nowhere HTTP/1.1\r\n\r\n", "404"},
      {"GET /boom HTTP/1.1\r\n\r\n", "500"},
      {"GET /a HTTP/1.1\r\n\r\n", "200 exact a"},
      {"GET /a/x?q=1%202 HTTP/1.1\r\n\r\n", "200 prefix a /a/x 1 2"},
      {"GET /a/b/c HTTP/1.1\r\n\r\n", "200 prefix ab"},
      {"POST /echo HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", "200 {}"},
  };
  for (const auto& [request, expected] : cases) {
    SCOPED_TRACE(request.substr(0, 40));
    const int fd = ConnectTcp("127.0.0.1", server.Port());
    SendAll(fd, request.data(), request.size());
    SocketStream stream(fd);
    const std::string headers = ReadHttpHeaders(stream);
    const std::string body = ReadHttpBody(stream, headers, 4096);
    ::close(fd);
    const std::string status = std::to_string(ParseHttpStatus(headers));
    EXPECT_EQ(status + (status == "200" ? " " + body : ""), expected);
    EXPECT_EQ(body.find("\"success\":false") != std::string::npos, status != "200") << body;
  }
}

}  // namespace
}  // namespace larkspire
