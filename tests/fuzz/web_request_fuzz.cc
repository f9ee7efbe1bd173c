// The web server's request parsing on any bytes, then a running server on them. Without a
// session cookie only the pages, the login and the refusals are reachable: nothing changes.
#include <poll.h>

#include <fstream>

#include "support/fuzz_harness.h"
#include "web/http_request.h"
#include "web/web_server.h"

namespace larkspire {

void CheckParsing(const std::string& raw) {
  const WebRequest request = ParseHttpRequest(raw);
  const bool blank = raw.find("\r\n\r\n") != std::string::npos;
  FUZZ_CHECK(blank ? request.head + "\r\n\r\n" + request.body == raw
                   : request.head == raw && request.body.empty());
  FUZZ_CHECK(request.target.compare(0, request.path.size(), request.path) == 0);
  FUZZ_CHECK(request.path.find('?') == std::string::npos);
  FUZZ_CHECK(LogByteCount(request.target) <= 262144);
  AnnouncedContentLength(request.head);
  for (const std::string& value : RequestHeaderValues(request.head, "Cookie")) {
    FUZZ_CHECK(value.find("\r\n") == std::string::npos);
  }
}

// One server for the whole run, on a loopback port of its own, answering to "fuzz.test".
int ServerPort() {
  static WebConfigServer* server = [] {
    const std::string config = FuzzScratchDir() + "/edge.json";
    std::ofstream(config) << "{\"webUsername\": \"admin\", \"webPassword\": \"fuzz-secret\"}\n";
    auto* created = new WebConfigServer(config);
    created->settings.webBindAddress = "127.0.0.1";
    created->settings.webPort = 0;
    created->settings.webAllowedHosts = {"fuzz.test:80"};
    created->statePath = FuzzScratchDir() + "/state.json";
    created->logPath = [] { return FuzzScratchDir() + "/edge.log"; };
    created->detectInterfaces = [] { return std::vector<InterfaceNetwork>{}; };
    created->Start();
    while (created->BoundPort() == 0) {
    }
    return created;
  }();
  return server->BoundPort();
}

std::string Exchange(const std::string& request) {
  sockaddr_in address;
  const UniqueFd fd = FreshLoopbackSocket(address, false);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(ServerPort()));
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    // Interrupted by the fuzzer's time-out alarm; the connection completes on its own.
    FUZZ_CHECK(errno == EINTR);
    pollfd ready{fd.get(), POLLOUT, 0};
    FUZZ_CHECK(::poll(&ready, 1, -1) == 1);
  }
  bool reset = false;
  const std::string reply = SendThenReceive(fd.get(), request, &reset);
  FUZZ_CHECK(!reset);  // the server dropped input unread
  return reply;
}

// One well-formed reply per request (true body length, security headers) unless nothing was sent.
void FuzzOne(const std::string& raw) {
  CheckParsing(raw);
  const std::string reply = Exchange(raw);
  if (raw.empty() && reply.empty()) {
    return;
  }
  FUZZ_CHECK(reply.rfind("HTTP/1.1 ", 0) == 0 && reply.find("\r\n\r\n") != std::string::npos);
  FUZZ_CHECK(std::string(" 200 400 401 403 404 421 429 500 503 ").find(reply.substr(8, 5)) !=
             std::string::npos);
  const WebRequest split = ParseHttpRequest(reply);  // a reply splits like a request
  for (const char* name : {"X-Content-Type-Options", "Content-Security-Policy"}) {
    FUZZ_CHECK(RequestHeaderValues(split.head, name).size() == 1);
  }
  FUZZ_CHECK((RequestHeaderValues(split.head, "Content-Length") ==
              std::vector{std::to_string(split.body.size())}));
}

}  // namespace larkspire
