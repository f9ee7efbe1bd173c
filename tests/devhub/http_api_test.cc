#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>

#include "devhub/device_api.h"
#include "devhub/frame_stream.h"
#include "devhub/relay_upgrade.h"
#include "devhub/update_api.h"
#include "devhub/ws_handshake.h"
#include "hub/http_client.h"
#include "hub/http_reader.h"
#include "hub/tcp.h"
#include "support/temp_dir.h"
#include "util/file.h"
#include "util/json.h"
#include "util/sha256.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

HttpResponse Text(std::string body) {
  return {200, "text/plain", std::move(body), ""};
}

// The devhub's HTTP side, spoken to with raw requests and with the edge's own client.
class DevHubApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AddDeviceRoutes(server_, store_);
    AddUpdateRoutes(server_, offer_);
    server_.Route("GET", "/a", [](const HttpRequest&, Connection&) { return Text("exact a"); });
    server_.Route("GET", "/a/b/*", [](const HttpRequest&, Connection&) { return Text("ab"); });
    server_.Route("GET", "/a/*", [](const HttpRequest& r, Connection&) {
      return Text(r.path + " " + QueryParam(r.query, "q").value_or("-"));
    });
    server_.Route("POST", "/echo", [](const HttpRequest& r, Connection&) { return Text(r.body); });
    server_.Route("GET", "/boom", [](const HttpRequest&, Connection&) -> HttpResponse {
      throw std::runtime_error("exploded");
    });
    server_.Start();
  }

  HttpClient Client() const {
    return HttpClient("http://127.0.0.1:" + std::to_string(server_.Port()));
  }

  std::pair<std::string, std::string> Register(const std::string& number,
                                               const std::string& secret) {
    const std::string data =
        Client()
            .Send("POST", "/api/devices/register",
                  "{\"deviceNumber\":" + JsonString(number) +
                      ",\"deviceSecret\":" + JsonString(secret) + ",\"sharedNetworks\":[]}")
            .data;
    return {JsonStringValue(data, "deviceNumber", ""), JsonStringValue(data, "deviceSecret", "")};
  }

  int Heartbeat(const std::string& number, const std::string& secret) {
    return Client()
        .Send("POST", "/api/devices/" + number + "/heartbeat",
              "{\"deviceSecret\":" + JsonString(secret) + ",\"sharedNetworks\":[\"10.2.0.0/16\"]}")
        .status;
  }

  TempDir dir_;
  DeviceStore store_{dir_ / "devices.json"};
  UpdateOffer offer_;
  DevHubServer server_{"127.0.0.1", 0};
};

// Bad requests get an error envelope; a request goes to the exact route, else the longest
// prefix.
TEST_F(DevHubApiTest, RoutesByMethodAndLongestPatternAndRefusesBadRequests) {
  const std::pair<std::string, std::string> cases[] = {
      {"HELLO\r\n\r\n", "400"},
      {"GET a HTTP/1.1\r\n\r\n", "400"},
      {"POST /echo HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", "400"},
      {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "400"},
      {"POST /echo HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n", "413"},
      {"POST /echo HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n", "413"},
      {"GET /a HTTP/1.1\r\nX: " + std::string(70000, 'x') + "\r\n\r\n", "413"},
      {"POST /a HTTP/1.1\r\n\r\n", "405"},
      {"GET /nowhere HTTP/1.1\r\n\r\n", "404"},
      {"GET /boom HTTP/1.1\r\n\r\n", "500"},
      {"GET /a HTTP/1.1\r\n\r\n", "200 exact a"},
      {"GET /a/x?q=1%202 HTTP/1.1\r\n\r\n", "200 /a/x 1 2"},
      {"GET /a/b/c HTTP/1.1\r\n\r\n", "200 ab"},
      {"POST /echo HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", "200 {}"},
  };
  for (const auto& [request, expected] : cases) {
    SCOPED_TRACE(request.substr(0, 40));
    const int fd = ConnectTcp("127.0.0.1", server_.Port());
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

TEST(RelayUpgrade, TakesOnlyAWebSocketUpgradeOfOneDevice) {
  const std::string key = "Sec-WebSocket-Key: k\r\n";
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"/api/relay/edge/7?secret=x", "Host: a\r\n" + key, ""},
      {"/api/relay/edge/7?secret=x", "Upgrade: websocket\r\n", ""},
      {"/api/relay/edge/?secret=x", "Upgrade: WebSocket\r\n" + key, ""},
      {"/api/relay/edge/7/x?secret=x", "Upgrade: WebSocket\r\n" + key, ""},
      {"/api/relay/edge/%zz?secret=x", "Upgrade: WebSocket\r\n" + key, ""},
      {"/api/relay/edge/%37?secret=a%20b%2Bc+d&x=1", "Upgrade: WebSocket\r\n" + key, "7|a b+c+d"},
  };
  for (const auto& [target, headers, expected] : cases) {
    HttpRequest request;
    request.headers = "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n";
    ASSERT_TRUE(ParseRequestLine(request.headers, request));
    std::string error;
    const std::optional<RelayUpgradeRequest> parsed = ParseRelayUpgrade(request, error);
    EXPECT_EQ(parsed ? parsed->deviceNumber + "|" + parsed->deviceSecret : "", expected) << target;
  }
  EXPECT_NE(BuildUpgradeReply("dGhlIHNhbXBsZSBub25jZQ==")
                .find("\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
            std::string::npos);
  FrameStream frames;  // no frame over the largest packet
  const uint8_t oversize[] = {kFinBit | kOpcodeBinary, 127, 0, 0, 0, 0, 0, 1, 0, 0};
  std::copy(std::begin(oversize), std::end(oversize), frames.FreeSpace());
  frames.Commit(sizeof oversize);
  EXPECT_EQ(frames.Next(), FrameStream::Event::kViolation);
}

// Only a matching number and secret keep a device's identity; devices survive a restart in a
// file only root reads, and a damaged file is refused rather than started empty.
TEST_F(DevHubApiTest, NumberAndSecretMustMatchAndSurviveARestart) {
  const auto [number, secret] = Register("", "");
  EXPECT_EQ(number, "1001");
  EXPECT_EQ(secret.size(), 32u);
  EXPECT_EQ(Register(number, secret), std::pair(number, secret));
  EXPECT_EQ(Register(number, "guess").first, "1002");
  EXPECT_EQ(Register("9999", secret).first, "1003");
  EXPECT_EQ(store_.Find(number)->name, "edge-1001");
  EXPECT_EQ(Heartbeat(number, secret + "x"), 403);
  EXPECT_EQ(Heartbeat(number, ""), 403);
  EXPECT_EQ(Heartbeat("4242", secret), 404);
  EXPECT_EQ(store_.Find(number)->lastHeartbeat, "");
  EXPECT_EQ(Heartbeat(number, secret), 200);
  EXPECT_EQ(store_.Find(number)->sharedNetworks, std::vector<std::string>{"10.2.0.0/16"});
  EXPECT_EQ(Client().Send("GET", "/api/devices", "").body.find(secret), std::string::npos);
  const std::string register_ = "/api/devices/register";
  const std::pair<std::string, std::string> malformed[] = {
      {register_, "deviceName=x"},
      {register_, "{\"deviceNumber\":1001}"},
      {register_, "{\"sharedNetworks\":[\"a\",1]}"},
      {register_, "{\"deviceName\":\"" + std::string(257, 'n') + "\"}"},
      {register_, "{\"x\":" + std::string(100000, '[') + std::string(100000, ']') + "}"},
      {"/api/devices/1001/heartbeat", "{\"deviceSecret\":true}"},
      {"/api/devices/%zz/heartbeat", "{}"},
  };
  for (const auto& [path, body] : malformed) {
    EXPECT_EQ(Client().Send("POST", path, body).status, 400) << path << " " << body.substr(0, 40);
  }
  EXPECT_EQ(FileMode(dir_ / "devices.json"), 0600);
  DeviceStore reloaded(dir_ / "devices.json");
  EXPECT_EQ(reloaded.List().size(), 3u);
  EXPECT_EQ(reloaded.Find(number)->secret, secret);
  const std::string truncated = "{\"devices\":[{\"deviceNumber\":\"1001\",";
  WriteFileAtomic(dir_ / "devices.json", truncated, 0600);
  EXPECT_THROW(DeviceStore store(dir_ / "devices.json"), std::runtime_error);
  EXPECT_EQ(ReadFile(dir_ / "devices.json"), truncated);
}

// No offer by default, none without the package file, then the package and its digest.
TEST_F(DevHubApiTest, OffersTheConfiguredPackageWithItsDigest) {
  auto check = [&] {
    return Client().Send("GET", "/api/updates/linux-edge?currentVersion=1.0.1", "").data;
  };
  EXPECT_FALSE(JsonBoolValue(check(), "updateAvailable", true));
  offer_.version = "1.0.2";
  offer_.force = true;
  offer_.packageFile = dir_ / "edge.tar.gz";
  EXPECT_EQ(JsonFindRaw(check(), "sha256"), "");
  EXPECT_FALSE(Client().Download(kUpdatePackageUrl, dir_ / "got", kMaxHubReplyBytes));
  const std::string package("\x1f\x8b\x08\0binary\r\n\0tail", 17);
  WriteFileAtomic(offer_.packageFile, package, 0644);
  const std::string data = check();
  EXPECT_TRUE(JsonBoolValue(data, "updateAvailable", false) && JsonBoolValue(data, "force", false));
  EXPECT_EQ(JsonStringValue(data, "version", ""), "1.0.2");
  EXPECT_EQ(JsonStringValue(data, "sha256", ""), Sha256Hex(package));
  EXPECT_EQ(JsonFindRaw(data, "signature"), "");  // no signing key: unsigned
  ASSERT_TRUE(Client().Download(JsonStringValue(data, "downloadUrl", ""), dir_ / "got", 100));
  EXPECT_EQ(ReadFile(dir_ / "got"), package);
}

}  // namespace
}  // namespace larkspire
