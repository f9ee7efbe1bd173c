#include "devhub/device_api.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "util/file.h"
#include "util/json.h"

namespace larkspire {
namespace {

HttpResponse Post(DeviceStore& store, const std::string& path, const std::string& body) {
  HttpRequest request;
  request.method = "POST";
  request.path = request.target = path;
  request.body = body;
  return path.ends_with("/heartbeat") ? HandleHeartbeat(store, request)
                                      : HandleRegister(store, request);
}

// The number and secret the Hub answered a registration with.
std::pair<std::string, std::string> Register(DeviceStore& store, const std::string& number,
                                             const std::string& secret) {
  const std::string data = JsonFindRaw(
      Post(store, "/api/devices/register",
           "{\"deviceNumber\":" + JsonString(number) + ",\"deviceSecret\":" + JsonString(secret) +
               ",\"deviceName\":\"\",\"sharedNetworks\":[\"10.1.0.0/16\"],\"extra\":{}}")
          .body,
      "data");
  return {JsonStringValue(data, "deviceNumber", ""), JsonStringValue(data, "deviceSecret", "")};
}

int Heartbeat(DeviceStore& store, const std::string& number, const std::string& secret) {
  return Post(store, "/api/devices/" + number + "/heartbeat",
              "{\"deviceSecret\":" + JsonString(secret) + ",\"sharedNetworks\":[\"10.2.0.0/16\"]}")
      .status;
}

// Only a matching number and secret keep a device's identity; anything else gets a new
// device and leaves the old one untouched. A blank name gets one, and the listing never
// shows a secret.
TEST(DeviceApi, NumberAndSecretMustMatch) {
  DeviceStore store("");
  const auto [number, secret] = Register(store, "", "");
  EXPECT_EQ(number, "1001");
  EXPECT_EQ(secret.size(), 32u);
  EXPECT_EQ(Register(store, number, secret), std::pair(number, secret));
  EXPECT_EQ(Register(store, number, "guess").first, "1002");
  EXPECT_EQ(Register(store, "9999", secret).first, "1003");
  EXPECT_EQ(store.Find(number)->secret, secret);
  EXPECT_EQ(store.Find(number)->name, "edge-1001");
  EXPECT_EQ(Heartbeat(store, number, "nope"), 403);
  EXPECT_EQ(Heartbeat(store, number, ""), 403);
  EXPECT_EQ(Heartbeat(store, "4242", secret), 404);
  EXPECT_EQ(store.Find(number)->lastHeartbeat, "");
  EXPECT_EQ(Heartbeat(store, number, secret), 200);
  EXPECT_EQ(store.Find(number)->sharedNetworks, std::vector<std::string>{"10.2.0.0/16"});
  EXPECT_EQ(HandleListDevices(store, HttpRequest{}).body.find(secret), std::string::npos);
}

TEST(DeviceApi, MalformedRequestsGet400AndChangeNothing) {
  DeviceStore store("");
  const std::string heartbeat = "/api/devices/" + Register(store, "", "").first + "/heartbeat";
  const std::string register_ = "/api/devices/register";
  const std::pair<std::string, std::string> cases[] = {
      {register_, "deviceName=x"},
      {register_, "{\"deviceNumber\":1001}"},
      {register_, "{\"sharedNetworks\":\"10.0.0.0/8\"}"},
      {register_, "{\"sharedNetworks\":[\"a\",1]}"},
      {register_, "{\"deviceName\":\"" + std::string(257, 'n') + "\"}"},
      {register_, "{\"x\":" + std::string(100000, '[') + std::string(100000, ']') + "}"},
      {heartbeat, "{\"deviceSecret\":true}"},
      {"/api/devices/%zz/heartbeat", "{}"},
  };
  for (const auto& [path, body] : cases) {
    EXPECT_EQ(Post(store, path, body).status, 400) << path << " " << body.substr(0, 40);
  }
  EXPECT_EQ(store.List().size(), 1u);
}

// Devices keep their numbers and secrets across a restart; a damaged file is refused
// rather than started empty, so it never costs the devices.
TEST(DeviceApi, DevicesSurviveARestartAndADamagedFileIsKept) {
  TempDir dir;
  const std::string path = dir / "devices.json";
  std::pair<std::string, std::string> device;
  {
    DeviceStore store(path);
    device = Register(store, "", "");
    Register(store, "", "");
  }
  EXPECT_EQ(FileMode(path), 0600);  // the file holds secrets
  DeviceStore reloaded(path);
  EXPECT_EQ(Register(reloaded, device.first, device.second), device);
  EXPECT_EQ(Register(reloaded, "", "").first, "1003");  // numbers are never reused
  const std::string truncated = "{\"devices\":[{\"deviceNumber\":\"1001\",";
  WriteFileAtomic(path, truncated, 0600);
  EXPECT_THROW(DeviceStore store(path), std::runtime_error);
  EXPECT_EQ(ReadFile(path), truncated);
}

}  // namespace
}  // namespace larkspire
