#include "devhub/device_api.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "util/file.h"
#include "util/json.h"
#include "util/text.h"

namespace larkspire {
namespace {

HttpRequest Post(const std::string& path, const std::string& body) {
  HttpRequest request;
  request.method = "POST";
  request.path = request.target = path;
  request.body = body;
  return request;
}

struct Assigned {
  std::string number;
  std::string secret;
  std::string data;  // the whole data object of the reply
};

// Registers in the shape the edge sends, extra members included.
Assigned Register(DeviceStore& store, const std::string& number, const std::string& secret,
                  const std::string& name = "lab",
                  const std::vector<std::string>& networks = {"10.1.0.0/16"}) {
  const std::string body =
      "{\"deviceNumber\":" + JsonString(number) + ",\"deviceSecret\":" + JsonString(secret) +
      ",\"deviceName\":" + JsonString(name) + ",\"sharedNetworks\":" + JsonArray(networks) +
      ",\"rustDesk\":{\"enabled\":false,\"message\":\"x\"},\"rustDeskAccessPassword\":\"\"}";
  const HttpResponse reply = HandleRegister(store, Post("/api/devices/register", body));
  EXPECT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(JsonFindRaw(reply.body, "success"), "true");
  const std::string data = JsonFindRaw(reply.body, "data");
  return {JsonStringValue(data, "deviceNumber", ""), JsonStringValue(data, "deviceSecret", ""),
          data};
}

HttpResponse Heartbeat(DeviceStore& store, const std::string& number, const std::string& secret) {
  return HandleHeartbeat(store, Post("/api/devices/" + UrlEncode(number) + "/heartbeat",
                                     "{\"deviceSecret\":" + JsonString(secret) +
                                         ",\"sharedNetworks\":[\"10.2.0.0/16\"]}"));
}

TEST(DeviceApi, RegisterKeepsOnlyAMatchingNumberAndSecret) {
  DeviceStore store("");
  const Assigned first = Register(store, "", "", "", {"192.168.7.0/24", "10.1.0.0/16"});
  EXPECT_EQ(first.number, "1001");
  EXPECT_EQ(first.secret.size(), 32u);
  EXPECT_EQ(JsonStringValue(first.data, "deviceName", "?"), "edge-1001");  // a blank name gets one
  EXPECT_EQ(JsonStringArrayValue(first.data, "sharedNetworks"),
            (std::vector<std::string>{"192.168.7.0/24", "10.1.0.0/16"}));

  const Assigned again = Register(store, first.number, first.secret, "renamed");
  EXPECT_EQ(again.number, first.number);
  EXPECT_EQ(again.secret, first.secret);
  EXPECT_EQ(store.Find(first.number)->name, "renamed");

  const Assigned wrongSecret = Register(store, first.number, "guess");
  EXPECT_EQ(wrongSecret.number, "1002");
  EXPECT_NE(wrongSecret.secret, first.secret);
  EXPECT_EQ(store.Find(first.number)->secret, first.secret);  // the old device is untouched

  EXPECT_EQ(Register(store, "9999", first.secret).number, "1003");
}

TEST(DeviceApi, HeartbeatChecksTheSecretAndTheListingNeverShowsIt) {
  DeviceStore store("");
  const Assigned device = Register(store, "", "", "lab \"west\"");
  const HttpResponse ok = Heartbeat(store, device.number, device.secret);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(store.Find(device.number)->sharedNetworks, std::vector<std::string>{"10.2.0.0/16"});

  const HttpResponse listing = HandleListDevices(store, HttpRequest{});
  const std::string data = JsonFindRaw(listing.body, "data");
  EXPECT_EQ(JsonStringValue(data, "deviceNumber", ""), device.number);
  EXPECT_EQ(JsonStringValue(data, "deviceName", ""), "lab \"west\"");
  EXPECT_FALSE(JsonStringValue(data, "lastHeartbeat", "").empty());
  EXPECT_EQ(listing.body.find(device.secret), std::string::npos);

  const struct {
    const char* name;
    std::string number;
    std::string secret;
    int status;
  } refused[] = {
      {"wrong secret", device.number, "nope", 403},
      {"empty secret", device.number, "", 403},
      {"unknown number", "4242", device.secret, 404},
      {"number needing encoding", "10 01/x", device.secret, 404},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    const HttpResponse reply = Heartbeat(store, c.number, c.secret);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(JsonFindRaw(reply.body, "success"), "false");
    EXPECT_FALSE(JsonStringValue(reply.body, "message", "").empty());
  }
}

// The parser's own strictness is tested with ParseJsonObject; here the handlers' checks.
TEST(DeviceApi, MalformedRequestsGet400) {
  DeviceStore store("");
  const std::string heartbeatPath = "/api/devices/" + Register(store, "", "").number + "/heartbeat";
  const struct {
    const char* name;
    std::string path;
    std::string body;
  } cases[] = {
      {"not JSON", "/api/devices/register", "deviceName=x"},
      {"number as number", "/api/devices/register", "{\"deviceNumber\":1001}"},
      {"networks as string", "/api/devices/register", "{\"sharedNetworks\":\"10.0.0.0/8\"}"},
      {"network not a string", "/api/devices/register", "{\"sharedNetworks\":[\"a\",1]}"},
      {"huge name", "/api/devices/register", "{\"deviceName\":\"" + std::string(300, 'n') + "\"}"},
      {"deep nesting", "/api/devices/register",
       "{\"x\":" + std::string(100000, '[') + std::string(100000, ']') + "}"},
      {"heartbeat not JSON", heartbeatPath, "secret"},
      {"heartbeat secret not a string", heartbeatPath, "{\"deviceSecret\":true}"},
      {"bad escape in path", "/api/devices/%zz/heartbeat", "{}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const HttpRequest request = Post(c.path, c.body);
    const HttpResponse reply = c.path.ends_with("/heartbeat") ? HandleHeartbeat(store, request)
                                                              : HandleRegister(store, request);
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(JsonFindRaw(reply.body, "success"), "false");
  }
  EXPECT_EQ(store.List().size(), 1u);
}

TEST(DeviceApi, DevicesSurviveARestartAndAnUnreadableFileIsKept) {
  TempDir dir;
  const std::string path = dir / "devices.json";
  Assigned device;
  {
    DeviceStore store(path);
    device = Register(store, "", "", "persisted");
    Register(store, "", "", "second");
    Heartbeat(store, device.number, device.secret);
  }
  EXPECT_EQ(FileMode(path), 0600);  // the file holds secrets

  DeviceStore reloaded(path);
  ASSERT_EQ(reloaded.List().size(), 2u);
  const Device kept = *reloaded.Find(device.number);
  EXPECT_EQ(kept.secret, device.secret);
  EXPECT_EQ(kept.name, "persisted");
  EXPECT_EQ(kept.sharedNetworks, std::vector<std::string>{"10.2.0.0/16"});
  EXPECT_FALSE(kept.lastHeartbeat.empty());
  EXPECT_EQ(Register(reloaded, device.number, device.secret).number, device.number);
  EXPECT_EQ(Register(reloaded, "", "").number, "1003");  // numbers are never reused

  // Refused rather than started empty, so a damaged file never costs the devices.
  const std::string truncated = "{\"devices\":[{\"deviceNumber\":\"1001\",";
  WriteFileAtomic(path, truncated, 0600);
  EXPECT_THROW(DeviceStore store(path), std::runtime_error);
  EXPECT_EQ(ReadFile(path), truncated);
}

}  // namespace
}  // namespace larkspire
