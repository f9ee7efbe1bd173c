#include "config/settings.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "util/file.h"
#include "util/test_errors.h"

namespace larkspire {
namespace {

using Strings = std::vector<std::string>;

// The file's text shows every field, so equal texts mean equal records.
void ExpectSameSettings(const Settings& a, const Settings& b) {
  EXPECT_EQ(FormatSettings(a), FormatSettings(b));
}

Settings LoadText(const std::string& text) {
  TempDir dir;
  WriteFileAtomic(dir / "edge.json", text, 0600);
  return LoadSettings(dir / "edge.json");
}

// The shipped default file pins the layout; here every missing key takes its default.
TEST(SettingsTest, MissingKeysTakeTheirDefaults) {
  ExpectSameSettings(LoadText("{}"), Settings());
}

TEST(SettingsTest, MissingOrEmptyFileIsFatal) {
  TempDir dir;
  const std::string path = dir / "edge.json";
  for (bool createEmpty : {false, true}) {
    SCOPED_TRACE(createEmpty);
    if (createEmpty) {
      WriteFileAtomic(path, "", 0600);
    }
    EXPECT_EQ(testing::ErrorOf<std::runtime_error>([&] { LoadSettings(path); }),
              "Config file was not found or is empty: " + path);
  }
}

TEST(SettingsTest, SaveThenLoadGivesTheSameRecord) {
  TempDir dir;
  const std::string path = dir / "etc/larkspire/edge.json";
  Settings original;
  original.serverUrl = "http://10.0.0.1:31080/base";
  // Values that spell later key names must not take those keys' places on the next load.
  original.deviceNumber = "webPassword";
  original.deviceSecret = "s3cr\"et\\with\ttab";
  original.deviceName = "Lab \xE4\xB8\xAD\xE6\x96\x87 edge\x01";
  original.networkInterfaceName = "x\"sharedNetworks";
  original.sharedNetworks = {"192.168.1.0/24", "10.0.0.0/8"};
  original.additionalSharedNetworks = {"webPort", "", "q\"]\\ line\nbreak \xF0\x9F\x98\x80"};
  original.webUsername = "root";
  original.webPassword = "pa ss\r\nword";
  original.webBindAddress = "0.0.0.0";
  original.webPort = 8443;
  original.hubCaFile = "/etc/larkspire/hub-ca.pem";
  original.hubCertSha256 = "ab12";
  original.webAllowedHosts = {"edge.lab"};
  original.overlayCanReachEdge = true;
  SaveSettings(path, original);
  ExpectSameSettings(LoadSettings(path), original);

  std::string text = ReadFile(path);
  EXPECT_EQ(FileMode(path), 0600);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_NE(text.find("\n  \"sharedNetworks\": [\"192.168.1.0/24\",\"10.0.0.0/8\"],\n"),
            std::string::npos);
  EXPECT_TRUE(text.ends_with("\n  \"overlayCanReachEdge\": true\n}\n"));
}

TEST(SettingsTest, BadPortsFallBackTo18080) {
  struct Case {
    const char* raw;
    int expected;
  } cases[] = {
      {"0", 18080},       {"-1", 18080},    {"70000", 18080},         {"\"8080\"", 18080},
      {"abc", 18080},     {"null", 18080},  {"99999999999", 18080},   {"8080 comment", 8080},
      {"+8081", 8081},    {"1", 1},         {"65535", 65535},         {"65536", 18080},
      {"8082.5", 8082},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    EXPECT_EQ(LoadText(std::string("{\"webPort\": ") + c.raw + "}").webPort, c.expected);
  }
}

TEST(SettingsTest, PresentKeysWithOtherTypesReadAsEmptyAndEscapesAreDecoded) {
  Settings s = LoadText(
      "{\"deviceName\": \"\", \"deviceNumber\": 12, \"webUsername\": null,"
      " \"sharedNetworks\": [\"10.1.0.0/16\", 5, null],"
      " \"networkInterfaceName\": \"\\u4e2d\\u6587\"}");
  EXPECT_EQ(s.deviceName, "");
  EXPECT_EQ(s.deviceNumber, "");
  EXPECT_EQ(s.webUsername, "");
  EXPECT_EQ(s.webPassword, kDefaultWebPassword);
  EXPECT_EQ(s.sharedNetworks, Strings{"10.1.0.0/16"});
  EXPECT_EQ(s.networkInterfaceName, "\xE4\xB8\xAD\xE6\x96\x87");
}

TEST(SettingsTest, SharedNetworksTextIsReadOnlyWhenTheListIsEmpty) {
  const std::string text = "\"sharedNetworksText\": \"192.168.1.0/24\\n   \\n10.0.0.0/8\\r\\n\"";
  const Strings fromText = {"192.168.1.0/24", "10.0.0.0/8"};
  EXPECT_EQ(LoadText("{" + text + "}").sharedNetworks, fromText);
  EXPECT_EQ(LoadText("{\"sharedNetworks\": [], " + text + "}").sharedNetworks, fromText);
  EXPECT_EQ(LoadText("{\"sharedNetworks\": [\"1.2.3.0/24\"], " + text + "}").sharedNetworks,
            Strings{"1.2.3.0/24"});
  // Lines are kept whole and duplicates stay.
  EXPECT_EQ(LoadText("{\"sharedNetworksText\": \"a, b\\na, b\"}").sharedNetworks,
            (Strings{"a, b", "a, b"}));

  // The fall-back key is never written back.
  TempDir dir;
  WriteFileAtomic(dir / "edge.json", "{" + text + "}", 0600);
  SaveSettings(dir / "edge.json", LoadSettings(dir / "edge.json"));
  EXPECT_EQ(ReadFile(dir / "edge.json").find("sharedNetworksText"), std::string::npos);
}

}  // namespace
}  // namespace larkspire
