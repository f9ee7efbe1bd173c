#include "devhub/update_api.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "hub/http_client.h"
#include "support/temp_dir.h"
#include "util/file.h"
#include "util/json.h"
#include "util/sha256.h"
#include "util/signature.h"

namespace larkspire {
namespace {

// The update rows served on loopback and spoken to with the edge's own client, so both sides
// of the contract are checked together.
class UpdateApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AddUpdateRoutes(server_, offer_);
    server_.Start();
  }

  HttpClient Client() const {
    return HttpClient("http://127.0.0.1:" + std::to_string(server_.Port()));
  }

  ApiResponse Check() const {
    return Client().Send("GET", "/api/updates/linux-edge?currentVersion=1.0.1", "");
  }

  void OfferPackage(const std::string& name) {
    offer_.version = "1.0.2";
    offer_.force = true;
    offer_.packageFile = dir_ / name;
  }

  TempDir dir_;
  UpdateOffer offer_;
  DevHubServer server_{"127.0.0.1", 0};
};

TEST_F(UpdateApiTest, NothingOnOfferByDefaultAndNoDigestOrDownloadWithoutThePackage) {
  ApiResponse reply = Check();
  ASSERT_TRUE(reply.success);
  EXPECT_FALSE(JsonBoolValue(reply.data, "updateAvailable", true));
  EXPECT_FALSE(JsonBoolValue(reply.data, "force", true));
  EXPECT_EQ(JsonStringValue(reply.data, "version", "x"), "");

  OfferPackage("absent.tar.gz");
  reply = Check();
  EXPECT_TRUE(JsonBoolValue(reply.data, "updateAvailable", false));
  EXPECT_EQ(JsonFindRaw(reply.data, "sha256"), "");
  EXPECT_FALSE(Client().Download(kUpdatePackageUrl, dir_ / "got", kMaxHubReplyBytes));
  EXPECT_FALSE(FileExists(dir_ / "got"));
}

TEST_F(UpdateApiTest, OffersTheConfiguredPackageByteForByte) {
  const std::string package("\x1f\x8b\x08\0binary\r\n\0tail", 17);
  std::ofstream(dir_ / "edge.tar.gz", std::ios::binary) << package;
  OfferPackage("edge.tar.gz");

  ApiResponse reply = Check();
  ASSERT_TRUE(reply.success);
  EXPECT_TRUE(JsonBoolValue(reply.data, "updateAvailable", false));
  EXPECT_TRUE(JsonBoolValue(reply.data, "force", false));
  EXPECT_EQ(JsonStringValue(reply.data, "version", ""), "1.0.2");
  const std::string url = JsonStringValue(reply.data, "downloadUrl", "");
  EXPECT_EQ(url, kUpdatePackageUrl);
  EXPECT_EQ(JsonStringValue(reply.data, "sha256", ""), Sha256Hex(package));
  EXPECT_EQ(JsonFindRaw(reply.data, "signature"), "");  // no signing key: unsigned

  ASSERT_TRUE(Client().Download(url, dir_ / "got", kMaxHubReplyBytes));
  EXPECT_EQ(ReadFile(dir_ / "got"), package);

  // With a signing key the offer carries a signature of the package that the printed public
  // key verifies, as the edge will check it.
  const std::string key = dir_ / "signing.pem";
  ASSERT_EQ(std::system(("openssl genpkey -algorithm ed25519 -out " + key).c_str()), 0);
  std::vector<OptionSpec> table;
  AppendUpdateOptions(table, offer_);
  ASSERT_TRUE(ParseOptions(table, {"--update-signing-key", key}));
  std::filesystem::create_directory(dir_ / "keys");
  WriteFileAtomic(dir_ / "keys/hub.pem", Ed25519PublicKeyPem(ReadFile(key)), 0644);
  const std::string signature = JsonStringValue(Check().data, "signature", "");
  EXPECT_TRUE(TrustedKeys::Load(dir_ / "keys").VerifiesFile(dir_ / "got", signature));
  EXPECT_THROW(ParseOptions(table, {"--update-signing-key", dir_ / "got"}), std::invalid_argument);
}

}  // namespace
}  // namespace larkspire
