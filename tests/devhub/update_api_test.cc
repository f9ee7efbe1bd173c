#include "devhub/update_api.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "hub/http_client.h"
#include "util/file.h"
#include "util/json.h"
#include "util/sha256.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;

// The update rows served on loopback and spoken to with the edge's own client, so both sides
// of the contract are checked together.
class UpdateApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("ls-devhub-update-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    AddUpdateRoutes(server_, offer_);
    server_.Start();
  }
  void TearDown() override {
    server_.Stop();
    fs::remove_all(dir_);
  }

  HttpClient Client() const {
    return HttpClient("http://127.0.0.1:" + std::to_string(server_.Port()));
  }

  ApiResponse Check() const {
    return Client().Send("GET", "/api/updates/linux-edge?currentVersion=1.0.1", "");
  }

  UpdateOffer offer_;
  DevHubServer server_{"127.0.0.1", 0};
  fs::path dir_;
};

TEST_F(UpdateApiTest, NothingOnOfferByDefault) {
  ApiResponse reply = Check();
  ASSERT_TRUE(reply.success);
  EXPECT_FALSE(JsonBoolValue(reply.data, "updateAvailable", true));
  EXPECT_FALSE(JsonBoolValue(reply.data, "force", true));
  EXPECT_EQ(JsonStringValue(reply.data, "version", "x"), "");
  EXPECT_FALSE(Client().Download(kUpdatePackageUrl, (dir_ / "got").string()));
}

TEST_F(UpdateApiTest, OffersTheConfiguredPackageByteForByte) {
  const std::string package("\x1f\x8b\x08\0binary\r\n\0tail", 17);
  std::ofstream(dir_ / "edge.tar.gz", std::ios::binary) << package;
  offer_ = {"1.0.2", true, (dir_ / "edge.tar.gz").string(), ""};

  ApiResponse reply = Check();
  ASSERT_TRUE(reply.success);
  EXPECT_TRUE(JsonBoolValue(reply.data, "updateAvailable", false));
  EXPECT_TRUE(JsonBoolValue(reply.data, "force", false));
  EXPECT_EQ(JsonStringValue(reply.data, "version", ""), "1.0.2");
  const std::string url = JsonStringValue(reply.data, "downloadUrl", "");
  EXPECT_EQ(url, kUpdatePackageUrl);
  EXPECT_EQ(JsonStringValue(reply.data, "sha256", ""), Sha256Hex(package));

  ASSERT_TRUE(Client().Download(url, (dir_ / "got").string()));
  EXPECT_EQ(ReadFile((dir_ / "got").string()), package);
}

TEST_F(UpdateApiTest, AMissingPackageFileIsNotFound) {
  offer_ = {"1.0.2", true, (dir_ / "absent.tar.gz").string(), ""};
  EXPECT_TRUE(JsonBoolValue(Check().data, "updateAvailable", false));
  EXPECT_EQ(JsonFindRaw(Check().data, "sha256"), "") << "no digest without a package";
  EXPECT_FALSE(Client().Download(kUpdatePackageUrl, (dir_ / "got").string()));
  EXPECT_FALSE(fs::exists(dir_ / "got"));
}

}  // namespace
}  // namespace larkspire
