#include "devhub/update_api.h"

#include <gtest/gtest.h>

#include "hub/http_client.h"
#include "support/temp_dir.h"
#include "util/file.h"
#include "util/json.h"
#include "util/sha256.h"

namespace larkspire {
namespace {

// The update rows served on loopback and spoken to with the edge's own client, so both sides
// of the contract are checked together: nothing on offer by default, no digest and no
// download without the package file, and with it the package byte for byte and its digest.
TEST(UpdateApi, OffersTheConfiguredPackageWithItsDigest) {
  TempDir dir;
  UpdateOffer offer;
  DevHubServer server("127.0.0.1", 0);
  AddUpdateRoutes(server, offer);
  server.Start();
  const HttpClient client("http://127.0.0.1:" + std::to_string(server.Port()));
  auto check = [&] {
    return client.Send("GET", "/api/updates/linux-edge?currentVersion=1.0.1", "").data;
  };
  EXPECT_FALSE(JsonBoolValue(check(), "updateAvailable", true));

  offer.version = "1.0.2";
  offer.force = true;
  offer.packageFile = dir / "edge.tar.gz";
  EXPECT_EQ(JsonFindRaw(check(), "sha256"), "");
  EXPECT_FALSE(client.Download(kUpdatePackageUrl, dir / "got", kMaxHubReplyBytes));

  const std::string package("\x1f\x8b\x08\0binary\r\n\0tail", 17);
  WriteFileAtomic(offer.packageFile, package, 0644);
  const std::string data = check();
  EXPECT_TRUE(JsonBoolValue(data, "updateAvailable", false) && JsonBoolValue(data, "force", false));
  EXPECT_EQ(JsonStringValue(data, "version", ""), "1.0.2");
  EXPECT_EQ(JsonStringValue(data, "sha256", ""), Sha256Hex(package));
  EXPECT_EQ(JsonFindRaw(data, "signature"), "");  // no signing key: unsigned
  ASSERT_TRUE(client.Download(JsonStringValue(data, "downloadUrl", ""), dir / "got", 100));
  EXPECT_EQ(ReadFile(dir / "got"), package);
}

}  // namespace
}  // namespace larkspire
