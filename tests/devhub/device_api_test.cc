#include "devhub/device_api.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "util/file.h"
#include "util/json.h"
#include "util/text.h"

namespace larkspire {
namespace {

HttpRequest Post(const std::string& path, const std::string& body) {
  HttpRequest request;
  request.method = "POST";
  request.path = path;
  request.target = path;
  request.body = body;
  return request;
}

std::string RegisterBody(const std::string& number, const std::string& secret,
                         const std::string& name, const std::vector<std::string>& networks) {
  // The shape the edge sends, extra members included.
  return "{\"deviceNumber\":" + JsonString(number) + ",\"deviceSecret\":" + JsonString(secret) +
         ",\"deviceName\":" + JsonString(name) + ",\"sharedNetworks\":" + JsonArray(networks) +
         ",\"rustDesk\":{\"enabled\":false,\"message\":\"x\"},\"rustDeskAccessPassword\":\"\"}";
}

struct Assigned {
  std::string number;
  std::string secret;
};

class DeviceApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("ls-devhub-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string DataPath() const { return (dir_ / "devices.json").string(); }

  Assigned Register(DeviceStore& store, const std::string& number, const std::string& secret,
                    const std::string& name = "lab",
                    const std::vector<std::string>& networks = {"10.1.0.0/16"}) {
    const HttpResponse reply =
        HandleRegister(store, Post("/api/devices/register", RegisterBody(number, secret, name, networks)));
    EXPECT_EQ(reply.status, 200) << reply.body;
    const std::string data = JsonFindRaw(reply.body, "data");
    return {JsonStringValue(data, "deviceNumber", ""), JsonStringValue(data, "deviceSecret", "")};
  }

  HttpResponse Heartbeat(DeviceStore& store, const std::string& number, const std::string& secret,
                         const std::string& networks = "[\"10.2.0.0/16\"]") {
    return HandleHeartbeat(store, Post("/api/devices/" + UrlEncode(number) + "/heartbeat",
                                       "{\"deviceSecret\":" + JsonString(secret) +
                                           ",\"sharedNetworks\":" + networks + "}"));
  }

  std::filesystem::path dir_;
};

TEST_F(DeviceApiTest, RegisterKeepsOnlyAMatchingNumberAndSecret) {
  DeviceStore store(DataPath());
  const Assigned first = Register(store, "", "");
  EXPECT_EQ(first.number, "1001");
  EXPECT_EQ(first.secret.size(), 32u);

  const Assigned again = Register(store, first.number, first.secret, "renamed");
  EXPECT_EQ(again.number, first.number);
  EXPECT_EQ(again.secret, first.secret);
  EXPECT_EQ(store.Find(first.number)->name, "renamed");

  const Assigned wrongSecret = Register(store, first.number, "guess");
  EXPECT_EQ(wrongSecret.number, "1002");
  EXPECT_NE(wrongSecret.secret, first.secret);
  EXPECT_EQ(store.Find(first.number)->secret, first.secret);  // the old device is untouched

  const Assigned unknown = Register(store, "9999", first.secret);
  EXPECT_EQ(unknown.number, "1003");
}

TEST_F(DeviceApiTest, RegisterReplyCarriesNameAndNetworks) {
  DeviceStore store("");
  const HttpResponse reply = HandleRegister(
      store, Post("/r", RegisterBody("", "", "", {"192.168.7.0/24", "10.1.0.0/16"})));
  const std::string data = JsonFindRaw(reply.body, "data");
  EXPECT_EQ(JsonFindRaw(reply.body, "success"), "true");
  EXPECT_EQ(JsonStringValue(data, "deviceName", "?"), "edge-1001");  // a blank name gets one
  EXPECT_EQ(JsonStringArrayValue(data, "sharedNetworks"),
            (std::vector<std::string>{"192.168.7.0/24", "10.1.0.0/16"}));
}

TEST_F(DeviceApiTest, HeartbeatChecksNumberAndSecret) {
  DeviceStore store("");
  const Assigned device = Register(store, "", "");

  const HttpResponse ok = Heartbeat(store, device.number, device.secret);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(JsonFindRaw(ok.body, "success"), "true");
  EXPECT_FALSE(store.Find(device.number)->lastHeartbeat.empty());
  EXPECT_EQ(store.Find(device.number)->sharedNetworks, std::vector<std::string>{"10.2.0.0/16"});

  struct Case {
    const char* name;
    std::string number;
    std::string secret;
    int status;
  };
  const Case refused[] = {
      {"wrong secret", device.number, "nope", 403},
      {"empty secret", device.number, "", 403},
      {"unknown number", "4242", device.secret, 404},
      {"number needing encoding", "10 01/x", device.secret, 404},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    const HttpResponse reply = Heartbeat(store, c.number, c.secret);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(JsonFindRaw(reply.body, "success"), "false");
    EXPECT_FALSE(JsonStringValue(reply.body, "message", "").empty());
  }
}

TEST_F(DeviceApiTest, MalformedRequestsGet400) {
  DeviceStore store("");
  const Assigned device = Register(store, "", "");
  const std::string heartbeatPath = "/api/devices/" + device.number + "/heartbeat";
  const struct {
    const char* name;
    std::string path;
    std::string body;
  } cases[] = {
      {"empty body", "/api/devices/register", ""},
      {"not JSON", "/api/devices/register", "deviceName=x"},
      {"array", "/api/devices/register", "[]"},
      {"truncated", "/api/devices/register", "{\"deviceName\":\"x\""},
      {"trailing garbage", "/api/devices/register", "{} {}"},
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
    const HttpResponse reply = c.path.ends_with("/heartbeat")
                                   ? HandleHeartbeat(store, request)
                                   : HandleRegister(store, request);
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(JsonFindRaw(reply.body, "success"), "false");
  }
  EXPECT_EQ(store.List().size(), 1u);
}

TEST_F(DeviceApiTest, ListingShowsDevicesWithoutSecrets) {
  DeviceStore store("");
  const Assigned device = Register(store, "", "", "lab \"west\"");
  Heartbeat(store, device.number, device.secret);
  store.AddToCounter(device.number, "relayBytesIn", 1500);
  store.AddToCounter(device.number, "relayBytesIn", 500);
  store.AddToCounter("nobody", "relayBytesIn", 1);

  const HttpResponse reply = HandleListDevices(store, HttpRequest{});
  EXPECT_EQ(reply.status, 200);
  const std::string data = JsonFindRaw(reply.body, "data");
  EXPECT_EQ(JsonStringValue(data, "deviceNumber", ""), device.number);
  EXPECT_EQ(JsonStringValue(data, "deviceName", ""), "lab \"west\"");
  EXPECT_FALSE(JsonStringValue(data, "lastHeartbeat", "").empty());
  EXPECT_EQ(JsonFindRaw(data, "relayBytesIn"), "2000");
  EXPECT_EQ(reply.body.find(device.secret), std::string::npos);
}

TEST_F(DeviceApiTest, DevicesSurviveARestart) {
  Assigned device;
  {
    DeviceStore store(DataPath());
    device = Register(store, "", "", "persisted", {"10.9.0.0/16"});
    Register(store, "", "", "second");
    Heartbeat(store, device.number, device.secret);
  }
  struct stat info {};
  ASSERT_EQ(::stat(DataPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);  // the file holds secrets

  DeviceStore reloaded(DataPath());
  ASSERT_EQ(reloaded.List().size(), 2u);
  const Device kept = *reloaded.Find(device.number);
  EXPECT_EQ(kept.secret, device.secret);
  EXPECT_EQ(kept.name, "persisted");
  EXPECT_FALSE(kept.lastHeartbeat.empty());
  EXPECT_EQ(Register(reloaded, device.number, device.secret).number, device.number);
  EXPECT_EQ(Register(reloaded, "", "").number, "1003");  // numbers are never reused
}

TEST_F(DeviceApiTest, UnreadableDataFileIsRefusedAndKept) {
  WriteFileAtomic(DataPath(), "{\"devices\":[{\"deviceNumber\":\"1001\",", 0600);
  EXPECT_THROW(DeviceStore store(DataPath()), std::runtime_error);
  EXPECT_EQ(ReadFile(DataPath()), "{\"devices\":[{\"deviceNumber\":\"1001\",");
}

}  // namespace
}  // namespace larkspire
